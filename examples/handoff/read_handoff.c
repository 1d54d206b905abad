/* read_handoff RECORD [ARGUMENT]: what a main program started by the Lumivora
 * launcher reads from its command line (docs/handoff.md).
 *
 * The launcher starts the main program with the enciphered hand-off record as
 * its first argument and the user's first argument, when there is one, as its
 * second. This program deciphers the record (Base64 of AES-128-CBC with the
 * launcher's fixed key and IV, zero padding), checks its form, and prints
 *     Starter=PATH       the launcher that started it
 *     argument=TEXT      the user's argument, when given
 * It exits 0, or says why the record is refused and exits 1 (2: no record).
 *
 * Build: cc -std=c11 read_handoff.c -lcrypto   (Debian: libssl-dev)
 */
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>

enum { kBlock = 16, kMaxRecord = 16384 };

/* The configuration cipher's fixed key ("lamp_and_moss" and three zero
 * bytes) and IV ("046" and thirteen zero bytes). */
static const unsigned char kKey[kBlock] = "lamp_and_moss";
static const unsigned char kIv[kBlock] = "046";

static int refuse(const char* why) {
  fprintf(stderr, "read_handoff: not a hand-off record: %s\n", why);
  return 1;
}

static int base64_value(char c) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const char* at = c == '\0' ? NULL : strchr(kAlphabet, c);
  return at == NULL ? -1 : (int)(at - kAlphabet);
}

/* Strict Base64 (RFC 4648, "=" only at the end): the number of bytes, or -1. */
static long decode_base64(const char* text, unsigned char* out, size_t room) {
  const size_t length = strlen(text);
  size_t n = 0;
  if (length == 0 || length % 4 != 0 || length / 4 * 3 > room) {
    return -1;
  }
  for (size_t i = 0; i < length; i += 4) {
    size_t pad = 0;
    if (i + 4 == length && text[i + 3] == '=') {
      pad = text[i + 2] == '=' ? 2 : 1;
    }
    unsigned long group = 0;
    for (size_t j = 0; j < 4; ++j) {
      const int value = j + pad >= 4 ? 0 : base64_value(text[i + j]);
      if (value < 0) {
        return -1;
      }
      group = group << 6 | (unsigned long)value;
    }
    out[n++] = (unsigned char)(group >> 16);
    if (pad < 2) {
      out[n++] = (unsigned char)(group >> 8 & 0xFF);
    }
    if (pad < 1) {
      out[n++] = (unsigned char)(group & 0xFF);
    }
  }
  return (long)n;
}

/* AES-128-CBC without padding (the record is padded with zero bytes). */
static int decipher(const unsigned char* in, int length, unsigned char* out) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int written = 0;
  int tail = 0;
  const int ok = context != NULL &&
                 EVP_DecryptInit_ex(context, EVP_aes_128_cbc(), NULL, kKey, kIv) == 1 &&
                 EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
                 EVP_DecryptUpdate(context, out, &written, in, length) == 1 &&
                 EVP_DecryptFinal_ex(context, out + written, &tail) == 1;
  EVP_CIPHER_CTX_free(context);
  return ok && written + tail == length;
}

enum { kMalformed, kComma, kEnd };

/* Reads the comma-text item at *text into item (an item in double quotes has
 * its doubled quotes made single) and moves past it: kComma when a comma
 * follows it, kEnd when the text ends there, kMalformed otherwise. */
static int next_item(const char** text, char* item) {
  const char* at = *text;
  if (*at == '"') {
    for (++at; *at != '"' || at[1] == '"'; ++at) {
      if (*at == '\0') {
        return kMalformed;
      }
      at += *at == '"';
      *item++ = *at;
    }
    ++at;
  } else {
    while (*at != ',' && *at != '\0') {
      *item++ = *at++;
    }
  }
  *item = '\0';
  *text = at + (*at == ',');
  return *at == ',' ? kComma : *at == '\0' ? kEnd : kMalformed;
}

int main(int argc, char** argv) {
  static unsigned char cipher[kMaxRecord];
  static unsigned char plain[kMaxRecord + 1];
  static char item[kMaxRecord + 1];
  static char starter[kMaxRecord + 1];
  if (argc < 2) {
    fprintf(stderr, "usage: read_handoff RECORD [ARGUMENT]\n");
    return 2;
  }
  const long length = decode_base64(argv[1], cipher, sizeof cipher);
  if (length <= 0 || length % kBlock != 0) {
    return refuse("not Base64 of whole 16-byte blocks");
  }
  if (!decipher(cipher, (int)length, plain)) {
    return refuse("cannot be deciphered");
  }
  /* The text, then zero bytes up to the end of its last block (none when the
   * text fills it). */
  plain[length] = '\0';
  const size_t text_length = strlen((const char*)plain);
  const size_t padded = (text_length + kBlock - 1) / kBlock * kBlock;
  if (text_length == 0 || padded != (size_t)length) {
    return refuse("not a text padded with zero bytes to whole blocks");
  }
  /* Comma text of the INI lines: "[Start]", "Starter=PATH" (and any other
   * key), then an empty item for the empty line that ends the section. */
  const char* text = (const char*)plain;
  if (next_item(&text, item) != kComma || strcmp(item, "[Start]") != 0) {
    return refuse("no [Start] section");
  }
  starter[0] = '\0';
  for (;;) {
    const int end = next_item(&text, item);
    if (end == kMalformed) {
      return refuse("a malformed item");
    }
    if (end == kEnd) {
      if (item[0] != '\0') {
        return refuse("no empty item at the end");
      }
      break;
    }
    if (strncmp(item, "Starter=", 8) == 0) {
      memcpy(starter, item + 8, strlen(item + 8) + 1);
    }
  }
  if (starter[0] == '\0') {
    return refuse("no Starter");
  }
  printf("Starter=%s\n", starter);
  if (argc > 2) {
    printf("argument=%s\n", argv[2]);
  }
  return 0;
}
