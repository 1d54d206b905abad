#include "cipher/block_cipher.h"

#include <algorithm>

#include "cipher/secure_zero.h"

namespace lumivora::cipher {

namespace {

constexpr std::size_t kBlockBytes = 16;

void CheckInitialised(const TCipher& cipher) {
  if (!cipher.Initialised()) {
    throw EBlockCipher("Cipher not initialized");
  }
}

}  // namespace

void TCipher::Initialise(Bytes key, std::uint32_t size, BlockIn /*iv*/) {
  if (initialised_) {
    Wipe();
  }
  const auto maxKeySize = static_cast<std::uint32_t>(MaxKeySize());
  if (size == 0 || size % 4 != 0 || size > maxKeySize || key.size() < size / 8) {
    throw ECipher("Invalid key size");
  }
  initialised_ = true;
}

void TCipher::Wipe() noexcept {
  initialised_ = false;
}

void TBlockCipher128::Initialise(Bytes key, std::uint32_t size, BlockIn iv) {
  TBlockCipher::Initialise(key, size, iv);
  try {
    InitKey(key, size);
  } catch (...) {
    Wipe();
    throw;
  }
  std::copy(iv.begin(), iv.end(), iv_.begin());
  chainingValue_ = iv_;
}

void TBlockCipher128::Wipe() noexcept {
  TBlockCipher::Wipe();
  SecureFill(std::as_writable_bytes(std::span(iv_)), 0xFF);
  SecureFill(std::as_writable_bytes(std::span(chainingValue_)), 0xFF);
}

void TBlockCipher128::CheckOperands(Bytes in, MutableBytes out) const {
  CheckInitialised(*this);
  if (out.size() < in.size()) {
    throw EBlockCipher("Output buffer too small");
  }
}

void TBlockCipher128::CipherTail(Bytes in, MutableBytes out, std::size_t offset) {
  EncipherBlock(chainingValue_, chainingValue_);
  for (std::size_t i = offset; i < in.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(in[i] ^ chainingValue_[i - offset]);
  }
}

void TBlockCipher128::EncipherCbc(Bytes in, MutableBytes out) {
  CheckOperands(in, out);
  std::size_t offset = 0;
  Block block{};
  for (; in.size() - offset >= kBlockBytes; offset += kBlockBytes) {
    for (std::size_t i = 0; i < kBlockBytes; ++i) {
      block[i] = static_cast<std::uint8_t>(in[offset + i] ^ chainingValue_[i]);
    }
    EncipherBlock(block, block);
    chainingValue_ = block;
    std::copy(block.begin(), block.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  if (offset < in.size()) {
    CipherTail(in, out, offset);
  }
  SecureZero(block.data(), block.size());
}

void TBlockCipher128::DecipherCbc(Bytes in, MutableBytes out) {
  CheckOperands(in, out);
  std::size_t offset = 0;
  Block kept{};
  Block block{};
  for (; in.size() - offset >= kBlockBytes; offset += kBlockBytes) {
    // Keep the ciphertext block: with in == out it is overwritten below.
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(offset), kBlockBytes, kept.begin());
    DecipherBlock(kept, block);
    for (std::size_t i = 0; i < kBlockBytes; ++i) {
      out[offset + i] = static_cast<std::uint8_t>(block[i] ^ chainingValue_[i]);
    }
    chainingValue_ = kept;
  }
  if (offset < in.size()) {
    CipherTail(in, out, offset);
  }
  SecureZero(block.data(), block.size());
}

}  // namespace lumivora::cipher
