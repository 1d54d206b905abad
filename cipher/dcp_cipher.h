// The cipher component's class chain: TDCP_cipher (key-size check, the
// initialised flag), TDCP_blockcipher (block size and chaining mode) and
// TDCP_blockcipher128 (IV, chaining value and the CBC operations of NIST
// SP 800-38A for ciphers with 128-bit blocks). The block transform itself
// comes from a derived class (TDCP_rijndael).
//
// A cipher object is either not initialised (after construction, after Wipe,
// after a refused Initialise) or initialised (after a successful Initialise);
// only an initialised object enciphers or deciphers. Whenever the object is
// not initialised its key material is wiped.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/exception.h"

namespace lumivora::cipher {

// "Invalid key size" from Initialise.
LUMIVORA_DECLARE_EXCEPTION(EDCP_cipher, Exception);
// "Cipher not initialized" from the block and CBC operations.
LUMIVORA_DECLARE_EXCEPTION(EDCP_blockcipher, EDCP_cipher);

// Chaining mode of a block cipher. The configuration cipher calls the CBC
// operations directly, so CBC is the only mode there is.
enum class TDCP_ciphermode : std::uint8_t { cmCBC };
using enum TDCP_ciphermode;

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;
using Block = std::array<std::uint8_t, 16>;
using BlockIn = std::span<const std::uint8_t, 16>;
using BlockOut = std::span<std::uint8_t, 16>;

class TDCP_cipher {
 public:
  TDCP_cipher() = default;
  virtual ~TDCP_cipher() = default;
  TDCP_cipher(const TDCP_cipher&) = delete;
  TDCP_cipher& operator=(const TDCP_cipher&) = delete;

  [[nodiscard]] virtual int Id() const noexcept = 0;
  [[nodiscard]] virtual std::string Algorithm() const = 0;
  // Largest key size in bits.
  [[nodiscard]] virtual int MaxKeySize() const noexcept = 0;
  [[nodiscard]] bool Initialised() const noexcept { return initialised_; }

  // Keys the object with size bits of key (size div 8 bytes are read) and
  // loads the IV. An initialised object is wiped first. A size of 0, not a
  // multiple of 4 or above MaxKeySize, or a key shorter than size div 8
  // bytes, raises EDCP_cipher "Invalid key size" and leaves the object not
  // initialised.
  virtual void Initialise(Bytes key, std::uint32_t size, BlockIn iv);
  // Forgets the key: the object is no longer initialised.
  virtual void Wipe() noexcept;

 private:
  bool initialised_ = false;
};

class TDCP_blockcipher : public TDCP_cipher {
 public:
  // Block size in bits.
  [[nodiscard]] virtual int BlockSize() const noexcept = 0;
  [[nodiscard]] TDCP_ciphermode CipherMode() const noexcept { return cipherMode_; }
  void SetCipherMode(TDCP_ciphermode mode) noexcept { cipherMode_ = mode; }

 private:
  TDCP_ciphermode cipherMode_ = cmCBC;
};

class TDCP_blockcipher128 : public TDCP_blockcipher {
 public:
  [[nodiscard]] int BlockSize() const noexcept override { return 128; }

  void Initialise(Bytes key, std::uint32_t size, BlockIn iv) override;
  // Round keys to zero (in the derived class), IV and chaining value to
  // 16 bytes of 0xFF, not initialised.
  void Wipe() noexcept override;

  // The block transform; both accept the same buffer as input and output.
  virtual void EncipherBlock(BlockIn in, BlockOut out) const = 0;
  virtual void DecipherBlock(BlockIn in, BlockOut out) const = 0;

  // CBC over in.size() bytes into out (at least as long; out may be the very
  // same buffer as in). Whole blocks are chained from the chaining value. A
  // tail of r = size mod 16 bytes is XORed with the first r bytes of the
  // encipherment of the chaining value, in both directions, so every length
  // is accepted and the output is as long as the input.
  void EncipherCbc(Bytes in, MutableBytes out);
  void DecipherCbc(Bytes in, MutableBytes out);

  [[nodiscard]] const Block& IV() const noexcept { return iv_; }
  [[nodiscard]] const Block& ChainingValue() const noexcept { return chainingValue_; }

 protected:
  // Builds the round keys from size bits of key; size is valid and key holds
  // at least size div 8 bytes.
  virtual void InitKey(Bytes key, std::uint32_t size) = 0;

 private:
  void CheckOperands(Bytes in, MutableBytes out) const;
  void CipherTail(Bytes in, MutableBytes out, std::size_t offset);

  Block iv_{};
  Block chainingValue_{};
};

}  // namespace lumivora::cipher
