// The cipher component's class chain: TCipher (key-size check, the
// initialised flag), TBlockCipher (block size and chaining mode) and
// TBlockCipher128 (IV, chaining value and the CBC operations of NIST
// SP 800-38A for ciphers with 128-bit blocks). The block transform itself
// comes from a derived class (TRijndael).
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
LUMIVORA_DECLARE_EXCEPTION(ECipher, Exception);
// "Cipher not initialized" from the block and CBC operations.
LUMIVORA_DECLARE_EXCEPTION(EBlockCipher, ECipher);

// Chaining mode of a block cipher. The configuration cipher calls the CBC
// operations directly, so CBC is the only mode there is.
enum class TCipherMode : std::uint8_t { cmCBC };
using enum TCipherMode;

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;
using Block = std::array<std::uint8_t, 16>;
using BlockIn = std::span<const std::uint8_t, 16>;
using BlockOut = std::span<std::uint8_t, 16>;

class TCipher {
 public:
  TCipher() = default;
  virtual ~TCipher() = default;
  TCipher(const TCipher&) = delete;
  TCipher& operator=(const TCipher&) = delete;

  [[nodiscard]] virtual int Id() const noexcept = 0;
  [[nodiscard]] virtual std::string Algorithm() const = 0;
  // Largest key size in bits.
  [[nodiscard]] virtual int MaxKeySize() const noexcept = 0;
  [[nodiscard]] bool Initialised() const noexcept { return initialised_; }

  // Keys the object with size bits of key (size div 8 bytes are read) and
  // loads the IV. An initialised object is wiped first. A size of 0, not a
  // multiple of 4 or above MaxKeySize, or a key shorter than size div 8
  // bytes, raises ECipher "Invalid key size" and leaves the object not
  // initialised.
  virtual void Initialise(Bytes key, std::uint32_t size, BlockIn iv);
  // Forgets the key: the object is no longer initialised.
  virtual void Wipe() noexcept;

 private:
  bool initialised_ = false;
};

class TBlockCipher : public TCipher {
 public:
  // Block size in bits.
  [[nodiscard]] virtual int BlockSize() const noexcept = 0;
  [[nodiscard]] TCipherMode CipherMode() const noexcept { return cipherMode_; }
  void SetCipherMode(TCipherMode mode) noexcept { cipherMode_ = mode; }

 private:
  TCipherMode cipherMode_ = cmCBC;
};

class TBlockCipher128 : public TBlockCipher {
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
