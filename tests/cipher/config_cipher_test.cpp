// EncipherConfigText / DecipherConfigText: lengths and padding, the tail
// rule, short texts, a cross-check against the openssl command line, the
// lumivora-tool commands and the constants that lumivora-configgen generates.
#include "cipher/config_cipher.h"

#include <gtest/gtest.h>

#include <string>

#include "cipher/base64.h"
#include "launcher/config_constants.h"
#include "tests/cipher/hex.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace lumivora::cipher {
namespace {

using namespace std::string_literals;
using lumivora::testing::ReadFile;
using lumivora::testing::Shell;
using lumivora::testing::ShellResult;
using lumivora::testing::TempDir;
using test::FromHex;
using test::ToHex;

// The fixed key (the passphrase "lamp_and_moss" with three zero bytes) and IV
// ("046" with thirteen zero bytes), as the openssl command line takes them.
constexpr const char* kKeyHex = "6c616d705f616e645f6d6f7373000000";
constexpr const char* kIvHex = "30343600000000000000000000000000";

std::string Pattern(std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(static_cast<char>(i * 7 + 3));
  }
  return text;
}

TEST(ConfigCipherTest, Lengths) {
  struct Row {
    std::string plain;
    std::size_t encodedLength;
    std::size_t equalSigns;
    const char* knownAnswer;  // from the openssl command line, or nullptr
  };
  const std::string url = "http://127.0.0.1:8808/lumivora/update.ini";
  const Row rows[] = {
      {"", 24, 2, "YwCHmYkkZs6REXr+jN5HEA=="},
      {"0123456789abcdef", 24, 2, "8gJyH4n9pEXSv6Ok7kzkEg=="},
      {"0123456789abcdefg", 44, 1, nullptr},
      {std::string(48, 'x'), 64, 0, nullptr},
      {std::string(16, '\0'), 24, 2, "YwCHmYkkZs6REXr+jN5HEA=="},  // same as ""
      {url, 64, 0, "qq+NEjdWSdJMn+DCea58Ip/F9wGDkObfQBhqWoQSF4qRTcBU7yC9nGr4Mpj3EFwL"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(ToHex(row.plain));
    const std::string before = row.plain;
    const std::string encoded = EncipherConfigText(row.plain);
    EXPECT_EQ(row.plain, before);
    EXPECT_EQ(encoded.size(), row.encodedLength);
    const std::size_t lastNonPad = encoded.find_last_not_of('=');
    EXPECT_EQ(encoded.size() - lastNonPad - 1, row.equalSigns);
    if (row.knownAnswer != nullptr) {
      EXPECT_EQ(encoded, row.knownAnswer);
    }
  }
}

// Deciphering gives back the text followed by its padding zeros; trailing
// zeros of the text itself cannot be told from padding.
TEST(ConfigCipherTest, RoundTripKeepsPadding) {
  for (std::size_t length = 0; length <= 50; ++length) {
    const std::string plain = Pattern(length);
    const std::string back = DecipherConfigText(EncipherConfigText(plain));
    EXPECT_EQ(ToHex(back), ToHex(PadWithZeros(plain, 16))) << length;
  }
  const std::string withZeros = "a\0b\0\0"s;
  EXPECT_EQ(DecipherConfigText(EncipherConfigText(withZeros)), PadWithZeros(withZeros, 16));
  // Equal texts give equal ciphertexts: the chaining starts from the fixed IV.
  EXPECT_EQ(EncipherConfigText("same"), EncipherConfigText("same"));
}

TEST(ConfigCipherTest, ShortAndMalformedTexts) {
  struct Row {
    std::string encoded;
    std::size_t decipheredLength;
  };
  const std::string good = EncipherConfigText("0123456789abcdef");  // 24 characters
  const Row rows[] = {
      {"", 0},
      {"Y", 0},
      {"Yw=", 0},
      {"YwC", 0},
      {"YwCH", 3},                        // one group: tail rule only
      {good + "xy", 16},                  // characters after the last group are ignored
      {good.substr(0, 22), 15},           // two characters after the last group are ignored
      {good.substr(0, 20) + "Eg=x", 16},  // "=" in the third place: one byte from the group
      {std::string(24, '!'), 18},         // foreign characters count as 0
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.encoded);
    EXPECT_EQ(DecipherConfigText(row.encoded).size(), row.decipheredLength);
  }
  EXPECT_EQ(DecipherConfigText(good + "xy"), DecipherConfigText(good));
}

// Base64 that decodes to 20 bytes: the first 16 deciphered in CBC, the last 4
// XORed with the first 4 bytes of the encipherment of the first ciphertext
// block. The expected bytes were computed with the openssl command line:
//   openssl enc -d -aes-128-cbc -K KEY -iv IV -nopad   (the first 16)
//   openssl enc -aes-128-ecb -K KEY -nopad             (3efe082e... XOR deadbeef)
TEST(ConfigCipherTest, TwentyByteTailRule) {
  const std::string cipherBytes = FromHex("00112233445566778899aabbccddeeffdeadbeef");
  EXPECT_EQ(ToHex(DecipherConfigText(ToBase64(cipherBytes))),
            "e7963c38aa00ec6abd296264ffa3f3f3e053b6c1");
}

// A damaged text deciphers to wrong bytes of the same length, without error.
TEST(ConfigCipherTest, DamagedTextIsNotDetected) {
  const std::string plain = "http://example.invalid/update.ini";
  std::string encoded = EncipherConfigText(plain);
  encoded[5] = encoded[5] == 'A' ? 'B' : 'A';
  const std::string back = DecipherConfigText(encoded);
  EXPECT_EQ(back.size(), 48U);
  EXPECT_NE(back, PadWithZeros(plain, 16));
}

bool HaveOpenssl() {
  return Shell("openssl version >/dev/null 2>&1").exitCode == 0;
}

std::string OpensslAes(const std::string& input, const std::string& extra) {
  const TempDir dir;
  const ShellResult result = Shell("openssl enc -aes-128-cbc -K "s + kKeyHex + " -iv " + kIvHex +
                                   " -nopad " + extra + " -in '" + dir.Write("in", input) + "'");
  EXPECT_EQ(result.exitCode, 0);
  return result.output;
}

// An independent implementation: openssl enc over the zero-padded text.
TEST(ConfigCipherTest, MatchesOpenssl) {
  if (!HaveOpenssl()) {
    GTEST_SKIP() << "openssl is not installed";
  }
  const std::string rows[] = {
      "",
      "a",
      "0123456789abcdef",
      "0123456789abcdefg",
      std::string(48, 'm'),
      "[Start]\r\nPath=\"C:\\Program Files\\Lumivora\\\",Launcher=x,y"s,
      "\0\xff\x80 zero and high bytes \0"s,
      Pattern(1000),
  };
  for (const std::string& plain : rows) {
    SCOPED_TRACE(ToHex(plain.substr(0, 40)));
    const std::string padded = PadWithZeros(plain, 16);
    const std::string encoded = EncipherConfigText(plain);
    EXPECT_EQ(encoded, OpensslAes(padded, "-a -A"));
    EXPECT_EQ(ToHex(DecipherConfigText(encoded)), ToHex(OpensslAes(FromBase64(encoded), "-d")));
  }
}

// The tool's quoted path and a blank, ready for its arguments.
#define TOOL "'" LUMIVORA_BIN_DIR "/lumivora-tool' "
std::string Tool() {
  return TOOL;
}

TEST(CipherToolTest, EncipherAndDecipher) {
  const std::string url = "http://127.0.0.1:8808/lumivora/update.ini";
  const ShellResult encipher = Shell(Tool() + "encipher '" + url + "'");
  EXPECT_EQ(encipher.exitCode, 0);
  EXPECT_EQ(encipher.output, EncipherConfigText(url) + "\n");

  // The padding zeros come out unchanged.
  const ShellResult decipher = Shell(Tool() + "decipher '" + EncipherConfigText(url) + "'");
  EXPECT_EQ(decipher.exitCode, 0);
  EXPECT_EQ(ToHex(decipher.output), ToHex(url + std::string(7, '\0')));

  const ShellResult empty = Shell(Tool() + "encipher ''");
  EXPECT_EQ(empty.output, "YwCHmYkkZs6REXr+jN5HEA==\n");
}

// The tool's conventions, each row run in a folder holding a program "main"
// (and "main-link" to it), a text "notes", the demo-only secret key
// "root.key", a copy "signing.key", the public key "root.pub", the pack
// "pack" of "main" with the built-in password, another secret key
// "other.key" and the release "rel" of "main" packed with another password,
// expiring in 30 days, its update.ini of mode 640: help and version on standard output
// with exit 0; a usage error with the usage on standard error and exit 2; a
// refused value or file named on one line of standard error, exit 1, and
// nothing in the folder written.
TEST(CipherToolTest, HelpVersionUsageErrorsAndRefusals) {
  struct Row {
    const char* arguments;
    int exitCode;
    const char* out;          // the beginning of standard output
    const char* err;          // the beginning of standard error
    const char* shows = "";   // further on in standard output
    const char* listed = "";  // in the folder's listing afterwards
  };
  const std::string demoRelease =
      "lumivora-tool release: warning: made for the demo identity \"" LUMIVORA_PRODUCT_IDENTITY
      "\"";
  const char* verifyRel = "verify rel/update.ini rel/p --root-keys \"$(cat root.pub)\"";
  const std::string statement =
      "statement: product " LUMIVORA_PRODUCT_IDENTITY ", version 1.1, size ";
  const Row rows[] = {
      {"--help", 0, "usage: lumivora-tool COMMAND [ARGUMENTS]\n", ""},
      {"-h", 0, "usage: lumivora-tool COMMAND [ARGUMENTS]\n", ""},
      {"help", 0, "usage: lumivora-tool COMMAND [ARGUMENTS]\n", ""},
      {"encipher --help", 0, "usage: lumivora-tool encipher TEXT\n", ""},
      {"help decipher", 0, "usage: lumivora-tool decipher BASE64\n", ""},
      {"list -h", 0, "usage: lumivora-tool list ARCHIVE\n", ""},
      {"--version", 0,
       "lumivora-tool " LUMIVORA_VERSION " (product " LUMIVORA_PRODUCT_NAME
       ", identity " LUMIVORA_PRODUCT_IDENTITY ")\n",
       ""},
      // Every option of every command in its usage.
      {"help certify", 0,
       "usage: lumivora-tool certify --root SECRET_KEY_FILE --key PUBLIC_KEY --serial N -o "
       "CERT_FILE [--product P]\n",
       ""},
      {"verify --help", 0,
       "usage: lumivora-tool verify INFO_FILE FILE --root-keys KEYS [--serial N] [--product P] "
       "[-P PASSWORD] [--platform linux|windows]\n",
       ""},
      {"release -h", 0,
       "usage: lumivora-tool release MAIN_PROGRAM --version V --url URL [--url MIRROR]... "
       "--key SECRET_KEY_FILE [--cert CERT_FILE] [--client-name NAME] [-P PASSWORD] [--product P] "
       "[--platform linux|windows] [--expires DAYS] [--previous OLD_PACK]... -o DIR\n",
       ""},
      {"help refresh", 0,
       "usage: lumivora-tool refresh INFO_FILE --key SECRET_KEY_FILE [--cert CERT_FILE] "
       "--expires DAYS [--product P]\n",
       ""},
      // test and extract read with the built-in pack password, as pack writes.
      {"test pack", 0, "pack: no errors in 1 entries\n", ""},
      {"test rel/p", 1, "", "Lumivoramain: skipped (wrong password or damaged)\n"},
      // verify checks the pack as the launcher does: its password, its program.
      {verifyRel, 1, statement.c_str(), "",
       "refused: a linux launcher would say: The download is not encrypted with the pack "
       "password.\n"},
      {"verify rel/update.ini rel/p --root-keys \"$(cat root.pub)\" -P other", 0, statement.c_str(),
       "", "rel/p: a pack that a linux launcher starts\n"},
      {"verify rel/update.ini rel/p --root-keys \"$(cat root.pub)\" -P other", 0, statement.c_str(),
       "", "\nexpires: 20"},
      // refresh re-signs the statement in place with a new expiry: the file
      // replaced with its mode, the pack untouched (below).
      {"refresh rel/update.ini --key root.key --expires 90", 0, "rel/update.ini re-signed by ", "",
       "version=1.1\nsize=", "./rel/update.ini -rw-r----- "},
      {"refresh notes --key root.key --expires 30", 1, "",
       "lumivora-tool refresh: notes: holds no signed statement"},
      {"refresh rel/update.ini --key other.key --expires 30", 1, "",
       "lumivora-tool refresh: rel/update.ini: is signed by "},
      {"refresh rel/update.ini --key root.key --expires 0", 1, "",
       "lumivora-tool refresh: --expires \"0\" is not a number of days from 1 to 3650\n"},
      {"verify rel/update.ini rel/p --root-keys \"$(cat root.pub)\" -P other --platform windows", 1,
       statement.c_str(), "",
       "refused: a windows launcher would say: The main program in the download is not a "
       "program for this system.\n"},
      // release refuses a pack its launcher would refuse, writing nothing.
      {"release notes --version 1.1 --url http://h/p --key root.key -o out", 1, "",
       "lumivora-tool release: out/p: a linux launcher would refuse this pack, so nothing is "
       "written: The main program in the download is not a program for this system.\n"},
      {"release main --version 1.1 --url http://h/p --key root.key --platform windows -o out", 1,
       "",
       "lumivora-tool release: out/p: a windows launcher would refuse this pack, so nothing is "
       "written: The main program in the download is not a program for this system.\n"},
      {"release main --version 1.1 --url http://h/p --key root.key --platform mac -o out", 1, "",
       "lumivora-tool release: --platform \"mac\" is not linux or windows\n"},
      // A patch of the main program per earlier release, offered beside the
      // pack; the earlier pack is checked, and its version must be earlier.
      {"pack main -o old --version 1.0 >/dev/null && " TOOL "release main --version 1.1 --url "
       "http://h/d/p --key root.key --previous old -o out >/dev/null && grep ^Patch out/update.ini",
       0, "Patch1=http://h/d/p-from-1.0.patch\r\n", ""},
      {"pack main -o old --version 1.0 >/dev/null && " TOOL "release main --version 1.1 --url "
       "http://h/d/p --key root.key --previous old -o out >/dev/null 2>&1 && " TOOL
       "verify out/update.ini out/p --root-keys \"$(cat root.pub)\"",
       0, statement.c_str(), "", "\npatch from version 1.0: http://h/d/p-from-1.0.patch, size "},
      {"release main --version 1.1 --url http://h/p --key root.key --previous pack -o out", 1, "",
       "lumivora-tool release: pack: names no version in its archive comment"},
      {"release main --version 1.1 --url http://h/p --key root.key --previous rel/p -o out", 1, "",
       "lumivora-tool release: rel/p: not a pack of an earlier release: The download is not "
       "encrypted with the pack password.\n"},
      {"release main --version 1.1 --url http://h/p --key root.key -P other --previous rel/p -o "
       "out",
       1, "", "lumivora-tool release: rel/p: is version 1.1, not earlier than 1.1\n"},
      {"", 2, "", "usage: lumivora-tool COMMAND [ARGUMENTS]\n"},
      {"frobnicate", 2, "", "usage: lumivora-tool COMMAND [ARGUMENTS]\n"},
      {"help frobnicate", 2, "", "usage: lumivora-tool COMMAND [ARGUMENTS]\n"},
      {"--version x", 2, "", "usage: lumivora-tool COMMAND [ARGUMENTS]\n"},
      {"encipher", 2, "", "usage: lumivora-tool encipher TEXT\n"},
      {"encipher a b", 2, "", "usage: lumivora-tool encipher TEXT\n"},
      {"decipher", 2, "", "usage: lumivora-tool decipher BASE64\n"},
      {"test", 2, "", "usage: lumivora-tool test ARCHIVE [-P PASSWORD]\n"},
      {"extract a.zip -x", 2, "", "usage: lumivora-tool extract ARCHIVE"},
      // Outputs never replace inputs or key files.
      {"keygen -o signing.key", 1, "", "lumivora-tool keygen: signing.key: cannot create"},
      {"certify --root root.key --key \"$(cat root.pub)\" --serial 1 -o root.key", 1, "",
       "lumivora-tool certify: root.key: is the input root.key;"},
      {"certify --root root.key --key \"$(cat root.pub)\" --serial 1 -o signing.key", 1, "",
       "lumivora-tool certify: signing.key: holds a key"},
      {"pack main -o main", 1, "", "lumivora-tool pack: main: is the input main;"},
      {"pack main -o main-link", 1, "", "lumivora-tool pack: main-link: is the input main;"},
      {"pack main -o signing.key", 1, "", "lumivora-tool pack: signing.key: holds a key"},
      {"pack main -o root.pub", 1, "", "lumivora-tool pack: root.pub: holds a key"},
      {"release main --version 1.1 --url http://h/update.ini --key root.key -o .", 1, "",
       "lumivora-tool release: --url \"http://h/update.ini\" names the pack update.ini,"},
      {"release main --version 1.1 --url http://h/main --key root.key -o .", 1, "",
       "lumivora-tool release: ./main: is the input main;"},
      {"release main --version 1.1 --url http://h/signing.key --key root.key -o .", 1, "",
       "lumivora-tool release: ./signing.key: holds a key"},
      // A public key is no secret key.
      {"certify --root root.pub --key \"$(cat root.pub)\" --serial 1 -o c", 1, "",
       "lumivora-tool certify: root.pub: not a secret key file:"},
      {"release main --version 1.1 --url http://h/p --key root.pub -o out", 1, "",
       "lumivora-tool release: root.pub: not a secret key file:"},
      // Every value checked.
      {"release main --version \"$(printf '1.1\r\nURL=http://x/')\" --url http://h/p "
       "--key root.key -o out",
       1, "", "lumivora-tool release: --version \"1.1\\r\\nURL=http://x/\" is not a version"},
      {"release main --version 1234567890.1 --url http://h/p --key root.key -o out", 1, "",
       "lumivora-tool release: --version \"1234567890.1\" is not a version"},
      {"pack main -o p --version 1..2", 1, "", "lumivora-tool pack: --version \"1..2\" is not"},
      {"release main --version 1.1 --url ftp://h/p --key root.key -o out", 1, "",
       "lumivora-tool release: --url \"ftp://h/p\" is not an http:// or https:// address"},
      {"release main --version 1.1 --url http:///p --key root.key -o out", 1, "",
       "lumivora-tool release: --url \"http:///p\" is not"},
      {"release main --version 1.1 --url 'http://h/a b' --key root.key -o out", 1, "",
       "lumivora-tool release: --url \"http://h/a b\" is not"},
      {"release main --version 1.1 --url http://h/p --client-name \"$(printf 'a\tb')\" "
       "--key root.key -o out",
       1, "", "lumivora-tool release: --client-name \"a\\tb\" is not a name"},
      {"release main --version 1.1 --url http://h/p --client-name ../p --key root.key -o out", 1,
       "", "lumivora-tool release: --client-name \"../p\" is not a file name"},
      {"release main --version 1.1 --url http://h/p --product \"$(printf 'p\nq')\" "
       "--key root.key -o out",
       1, "", "lumivora-tool release: --product \"p\\nq\" is not a name"},
      {"certify --root root.key --key \"$(cat root.pub)\" --serial 1 --product '' -o c", 1, "",
       "lumivora-tool certify: --product \"\" is not a name"},
      {"release main --version 1.1 --url http://h/p --key root.key --cert root.pub -o out", 1, "",
       "lumivora-tool release: root.pub: not a certificate file"},
      {"decipher '!!!!'", 1, "", "lumivora-tool decipher: \"!!!!\" is not Base64"},
      {"decipher 'Yw='", 1, "", "lumivora-tool decipher: \"Yw=\" is not Base64"},
      {"decipher 'YwCH '", 1, "", "lumivora-tool decipher: \"YwCH \" is not Base64"},
      // The publishing order, and a warning for the demo identity.
      {"release main --version 1.10.2 --url https://h:8/x/p-1 --key root.key -o out", 0,
       "p-1 and update.ini in out signed by ", demoRelease.c_str(),
       "\n1. Upload out/p-1 so that https://h:8/x/p-1 serves it.\n2. Then upload out/update.ini"},
      {"release main --version 1.1 --url http://h/p --key root.key --product acme -o out", 0,
       "p and update.ini in out signed by ", ""},
      // Mirrors: the second address and on as URL2 and on, at most 9 in all.
      {"release main --version 1.1 --url http://h/p --url https://m/p --key root.key --product "
       "acme -o out >/dev/null && grep ^URL out/update.ini",
       0, "URL=http://h/p\r\nURL2=https://m/p\r\n", ""},
      {"release main --version 1.1 --url http://h/p --url http://h/p --url http://h/p --url "
       "http://h/p --url http://h/p --url http://h/p --url http://h/p --url http://h/p --url "
       "http://h/p --url http://h/p --key root.key -o out",
       1, "", "lumivora-tool release: at most 9 --url"},
      {"release main --version 1.1 --url http://h/p --key root.key --product acme --expires 7 "
       "-o out",
       0, "p and update.ini in out signed by ", "", "\nexpires=20"},
      {"release main --version 1.1 --url http://h/p --key root.key --product acme -P x -o out", 0,
       "p and update.ini in out signed by ", "lumivora-tool release: warning: -P is not the pack"},
      {"certify --root root.key --key \"$(cat root.pub)\" --serial 1 -o c", 0, "certificate for ",
       "lumivora-tool certify: warning: made for the demo identity \"" LUMIVORA_PRODUCT_IDENTITY
       "\""},
      {"certify --root root.key --key \"$(cat root.pub)\" --serial 1 --product acme -o c", 0,
       "certificate for ", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    const TempDir dir;
    const std::string in = "cd '" + dir.Path() + "' && ";
    ASSERT_EQ(Shell(in +
                    "cp '" LUMIVORA_SOURCE_DIR "/keys/demo-only/'root.* . && cp root.key "
                    "signing.key && printf '\\177ELF program' > main && echo text > notes && "
                    "ln -s main main-link && " +
                    Tool() + "pack main -o pack && " + Tool() + "keygen -o other.key && " +
                    // A wrong password passes the encryption header's check byte once in
                    // 256 packs (APPNOTE 6.1.6): the release is made again until the
                    // built-in password is refused at that byte, as the rows expect.
                    "for try in 1 2 3 4; do rm -rf rel && " + Tool() +
                    "release main --version 1.1 --url http://h/p --key root.key -P other "
                    "--expires 30 -o rel >/dev/null && " +
                    Tool() +
                    "test rel/p 2>&1 | grep 'wrong password' >/dev/null && break; done && "
                    "chmod 640 rel/update.ini")
                  .exitCode,
              0);
    const std::string listing = "find . -printf '%p %M %s %T@ %l\\n' | sort";
    const std::string before = Shell(in + listing).output;
    const auto packLine = [](const std::string& list) {
      const size_t at = list.find("./rel/p ");
      return list.substr(at, list.find('\n', at) - at);
    };
    const ShellResult out = Shell(in + Tool() + row.arguments + " 2>/dev/null");
    const ShellResult err = Shell(in + Tool() + row.arguments + " 2>&1 >/dev/null");
    if (row.exitCode != 0) {
      EXPECT_EQ(Shell(in + listing).output, before);
    }
    if (row.exitCode == 1) {
      EXPECT_EQ(err.output.find('\n'), err.output.size() - 1) << err.output;
    }
    EXPECT_EQ(out.exitCode, row.exitCode);
    EXPECT_EQ(out.output.substr(0, std::string(row.out).size()), row.out);
    EXPECT_EQ(out.output.empty(), *row.out == '\0');
    EXPECT_EQ(err.output.substr(0, std::string(row.err).size()), row.err);
    EXPECT_EQ(err.output.empty(), *row.err == '\0');
    EXPECT_NE(out.output.find(row.shows), std::string::npos) << out.output;
    const std::string after = Shell(in + listing).output;
    EXPECT_NE(after.find(row.listed), std::string::npos) << after;
    EXPECT_EQ(packLine(after), packLine(before));  // no command writes a release's pack
  }
}

// Constants generated at build time by lumivora-configgen from the values in
// tests/cipher/CMakeLists.txt, compiled into this test.
TEST(ConfigGenTest, GeneratedConstantsRoundTrip) {
  struct Row {
    const char* encoded;
    std::string plain;
  };
  const Row rows[] = {
      {config::kInfoURL1, "http://a.b/c.ini"},  // exactly one block: no padding
      {config::kInfoURL2, "http://127.0.0.1:8808/lumivora/update2.ini"},
      {config::kUpgradeURLFormat, "http://127.0.0.1:8808/up grade.html?from=%s&x=\"q\""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecipherConfigText(row.encoded), PadWithZeros(row.plain, 16));
    EXPECT_STREQ(DecipherConfigText(row.encoded).c_str(), row.plain.c_str());
  }
  const std::string password(config::kPackPasswordTable,
                             config::kPackPasswordTable + config::kPackPasswordLastIndex + 1);
  EXPECT_EQ(password, R"(pa"ss\word;${x}$(y)@z@ 13)");
}

TEST(ConfigGenTest, RefusesBadArguments) {
  const std::string generator = std::string(LUMIVORA_BIN_DIR) + "/lumivora-configgen";
  const TempDir dir;
  const std::string out = dir.Write("out.cpp", "untouched");
  const std::string good = dir.Write("good", "u1\nu2\nf\np\n");
  // Three values, an empty password, no newline after the password, a fifth
  // line, no file at all; then the wrong number of arguments.
  const std::string values[] = {
      dir.Write("three", "u1\nu2\nf\n"), dir.Write("empty", "u1\nu2\nf\n\n"),
      dir.Write("unended", "u1\nu2\nf\np"), dir.Write("five", "u1\nu2\nf\np\nq\n"), dir / "none"};
  std::vector<std::string> calls;
  for (const std::string& file : values) {
    calls.push_back("'" + out + "' '" + file + "'");
  }
  calls.insert(calls.end(), {"'" + out + "' '" + good + "' x", "'" + out + "'", ""});
  for (const std::string& arguments : calls) {
    SCOPED_TRACE(arguments);
    EXPECT_EQ(Shell("'" + generator + "' " + arguments + " 2>/dev/null").exitCode, 2);
  }
  EXPECT_EQ(ReadFile(out), "untouched");
  EXPECT_EQ(Shell("'" + generator + "' /nonexistent-dir/x.cpp '" + good + "' 2>/dev/null").exitCode,
            1);
}

}  // namespace
}  // namespace lumivora::cipher
