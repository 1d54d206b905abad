// TRijndael: AES (FIPS-197) with 128-, 192- and 256-bit keys as a
// TBlockCipher128. Deciphering uses the equivalent inverse cipher
// (FIPS-197 section 5.3.5): its round keys are the enciphering round keys with
// InvMixColumns applied to all but the first and the last.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "cipher/block_cipher.h"

namespace lumivora::cipher {

class TRijndael final : public TBlockCipher128 {
 public:
  // A new object is wiped and not initialised.
  TRijndael() noexcept;
  // Wipes the key material when the object is initialised.
  ~TRijndael() override;

  [[nodiscard]] int Id() const noexcept override { return 9; }
  [[nodiscard]] std::string Algorithm() const override { return "Rijndael"; }
  [[nodiscard]] int MaxKeySize() const noexcept override { return 256; }

  void Wipe() noexcept override;
  void EncipherBlock(BlockIn in, BlockOut out) const override;
  void DecipherBlock(BlockIn in, BlockOut out) const override;

  // 10, 12 or 14 once initialised; 0 after a wipe.
  [[nodiscard]] int Rounds() const noexcept { return rounds_; }

 protected:
  void InitKey(Bytes key, std::uint32_t size) override;

 private:
  static constexpr std::size_t kMaxRounds = 14;
  // Round key r occupies bytes 16 r to 16 r + 15, column by column.
  using RoundKeys = std::array<std::uint8_t, 16 * (kMaxRounds + 1)>;

  int rounds_ = 0;
  RoundKeys encipherKeys_{};
  RoundKeys decipherKeys_{};
};

}  // namespace lumivora::cipher
