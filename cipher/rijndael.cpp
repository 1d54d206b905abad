#include "cipher/rijndael.h"

#include <algorithm>

#include "cipher/secure_zero.h"

namespace lumivora::cipher {

namespace {

using Table = std::array<std::uint8_t, 256>;

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 (FIPS-197 4.2.1).
constexpr std::uint8_t XTime(std::uint8_t b) {
  return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) != 0 ? 0x1b : 0x00));
}

// Same-type parameters kept: multiplication commutes.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
constexpr std::uint8_t Multiply(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  while (b != 0) {
    if ((b & 1) != 0) {
      product ^= a;
    }
    a = XTime(a);
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return product;
}

constexpr std::uint8_t RotateLeft(std::uint8_t b, int n) {
  return static_cast<std::uint8_t>((b << n) | (b >> (8 - n)));
}

// The S-box of FIPS-197 5.1.1: the multiplicative inverse followed by the
// affine transformation. Inverses come from the powers of the generator 3:
// the inverse of 3^i is 3^(255 - i).
constexpr Table MakeSBox() {
  Table power{};  // power[i] = 3^i
  Table log{};    // log[3^i] = i
  std::uint8_t value = 1;
  for (std::size_t i = 0; i < 255; ++i) {
    power[i] = value;
    log[value] = static_cast<std::uint8_t>(i);
    value = static_cast<std::uint8_t>(value ^ XTime(value));  // times 3
  }
  Table box{};
  for (std::size_t x = 0; x < 256; ++x) {
    const std::uint8_t inverse = x == 0 ? 0 : power[(255U - log[x]) % 255U];
    box[x] = static_cast<std::uint8_t>(inverse ^ RotateLeft(inverse, 1) ^ RotateLeft(inverse, 2) ^
                                       RotateLeft(inverse, 3) ^ RotateLeft(inverse, 4) ^ 0x63);
  }
  return box;
}

constexpr Table MakeInverse(const Table& box) {
  Table inverse{};
  for (std::size_t x = 0; x < 256; ++x) {
    inverse[box[x]] = static_cast<std::uint8_t>(x);
  }
  return inverse;
}

constexpr Table kSBox = MakeSBox();
constexpr Table kInvSBox = MakeInverse(kSBox);
static_assert(kSBox[0x00] == 0x63 && kSBox[0x01] == 0x7c && kSBox[0x53] == 0xed &&
              kSBox[0xff] == 0x16 && kInvSBox[0x63] == 0x00);

using State = std::array<std::uint8_t, 16>;  // s[r, c] at index r + 4 c

void AddRoundKey(State& s, const std::uint8_t* roundKey) {
  for (std::size_t i = 0; i < 16; ++i) {
    s[i] ^= roundKey[i];
  }
}

void SubBytes(State& s, const Table& box) {
  for (std::uint8_t& b : s) {
    b = box[b];
  }
}

// Row r moves r places to the left (FIPS-197 5.1.2).
void ShiftRows(State& s) {
  const State t = s;
  for (std::size_t r = 1; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      s[r + 4 * c] = t[r + 4 * ((c + r) % 4)];
    }
  }
}

void InvShiftRows(State& s) {
  const State t = s;
  for (std::size_t r = 1; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      s[r + 4 * ((c + r) % 4)] = t[r + 4 * c];
    }
  }
}

constexpr Table MakeProducts(std::uint8_t factor) {
  Table products{};
  for (std::size_t x = 0; x < 256; ++x) {
    products[x] = Multiply(factor, static_cast<std::uint8_t>(x));
  }
  return products;
}

constexpr Table kTimes1 = MakeProducts(0x01);
constexpr Table kTimes2 = MakeProducts(0x02);
constexpr Table kTimes3 = MakeProducts(0x03);
constexpr Table kTimes9 = MakeProducts(0x09);
constexpr Table kTimes11 = MakeProducts(0x0b);
constexpr Table kTimes13 = MakeProducts(0x0d);
constexpr Table kTimes14 = MakeProducts(0x0e);

// The first row of a circulant matrix over GF(2^8), as product tables.
using MixMatrix = std::array<const Table*, 4>;
constexpr MixMatrix kMix = {&kTimes2, &kTimes3, &kTimes1, &kTimes1};        // FIPS-197 5.1.3
constexpr MixMatrix kInvMix = {&kTimes14, &kTimes11, &kTimes13, &kTimes9};  // FIPS-197 5.3.3

// Multiplies each of count columns by the matrix.
void MixColumnsWith(std::uint8_t* columns, std::size_t count, const MixMatrix& m) {
  for (std::size_t c = 0; c < count; ++c) {
    std::uint8_t* column = columns + 4 * c;
    const std::array<std::uint8_t, 4> a = {column[0], column[1], column[2], column[3]};
    for (std::size_t r = 0; r < 4; ++r) {
      column[r] = static_cast<std::uint8_t>((*m[0])[a[r]] ^ (*m[1])[a[(r + 1) % 4]] ^
                                            (*m[2])[a[(r + 2) % 4]] ^ (*m[3])[a[(r + 3) % 4]]);
    }
  }
}

void CopyBlock(BlockIn in, State& s) {
  std::copy(in.begin(), in.end(), s.begin());
}

}  // namespace

TRijndael::TRijndael() noexcept {
  Wipe();
}

TRijndael::~TRijndael() {
  if (Initialised()) {
    Wipe();
  }
}

void TRijndael::Wipe() noexcept {
  TBlockCipher128::Wipe();
  rounds_ = 0;
  SecureZero(encipherKeys_.data(), encipherKeys_.size());
  SecureZero(decipherKeys_.data(), decipherKeys_.size());
}

// Key expansion, FIPS-197 5.2. A key of k = size div 8 bytes is zero-extended
// to 16 (k <= 16), 24 (k <= 24) or 32 bytes.
void TRijndael::InitKey(Bytes key, std::uint32_t size) {
  const std::size_t keyBytes = size / 8;
  std::array<std::uint8_t, 32> keyBuffer{};
  std::copy_n(key.begin(), keyBytes, keyBuffer.begin());

  std::size_t nk = 8;
  rounds_ = 14;
  if (keyBytes <= 16) {
    nk = 4;
    rounds_ = 10;
  } else if (keyBytes <= 24) {
    nk = 6;
    rounds_ = 12;
  }
  const std::size_t totalWords = 4 * (static_cast<std::size_t>(rounds_) + 1);
  std::uint8_t* w = encipherKeys_.data();
  std::copy_n(keyBuffer.begin(), 4 * nk, w);
  SecureZero(keyBuffer.data(), keyBuffer.size());

  std::uint8_t rcon = 0x01;
  for (std::size_t i = nk; i < totalWords; ++i) {
    std::array<std::uint8_t, 4> temp = {w[4 * i - 4], w[4 * i - 3], w[4 * i - 2], w[4 * i - 1]};
    if (i % nk == 0) {
      temp = {static_cast<std::uint8_t>(kSBox[temp[1]] ^ rcon), kSBox[temp[2]], kSBox[temp[3]],
              kSBox[temp[0]]};
      rcon = XTime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      for (std::uint8_t& b : temp) {
        b = kSBox[b];
      }
    }
    for (std::size_t j = 0; j < 4; ++j) {
      w[4 * i + j] = static_cast<std::uint8_t>(w[4 * (i - nk) + j] ^ temp[j]);
    }
    SecureZero(temp.data(), temp.size());
  }

  decipherKeys_ = encipherKeys_;
  MixColumnsWith(decipherKeys_.data() + 16, 4 * (static_cast<std::size_t>(rounds_) - 1), kInvMix);
}

// The cipher of FIPS-197 5.1.
void TRijndael::EncipherBlock(BlockIn in, BlockOut out) const {
  if (!Initialised()) {
    throw EBlockCipher("Cipher not initialized");
  }
  const auto rounds = static_cast<std::size_t>(rounds_);
  State s{};
  CopyBlock(in, s);
  AddRoundKey(s, encipherKeys_.data());
  for (std::size_t round = 1; round < rounds; ++round) {
    SubBytes(s, kSBox);
    ShiftRows(s);
    MixColumnsWith(s.data(), 4, kMix);
    AddRoundKey(s, encipherKeys_.data() + 16 * round);
  }
  SubBytes(s, kSBox);
  ShiftRows(s);
  AddRoundKey(s, encipherKeys_.data() + 16 * rounds);
  std::copy(s.begin(), s.end(), out.begin());
  SecureZero(s.data(), s.size());
}

// The equivalent inverse cipher of FIPS-197 5.3.5.
void TRijndael::DecipherBlock(BlockIn in, BlockOut out) const {
  if (!Initialised()) {
    throw EBlockCipher("Cipher not initialized");
  }
  const auto rounds = static_cast<std::size_t>(rounds_);
  State s{};
  CopyBlock(in, s);
  AddRoundKey(s, decipherKeys_.data() + 16 * rounds);
  for (std::size_t round = rounds - 1; round > 0; --round) {
    SubBytes(s, kInvSBox);
    InvShiftRows(s);
    MixColumnsWith(s.data(), 4, kInvMix);
    AddRoundKey(s, decipherKeys_.data() + 16 * round);
  }
  SubBytes(s, kInvSBox);
  InvShiftRows(s);
  AddRoundKey(s, decipherKeys_.data());
  std::copy(s.begin(), s.end(), out.begin());
  SecureZero(s.data(), s.size());
}

}  // namespace lumivora::cipher
