#include "delta/patch_format.h"

#include <algorithm>
#include <new>
#if LUMIVORA_DELTA_OPENSSL
#include <openssl/evp.h>
#else
#include <sodium.h>
#endif

namespace lumivora::delta {
namespace {

// The header's integer fields (docs/delta-format.md): offset and width.
struct Field {
  size_t at;
  size_t width;
};
constexpr Field kOldSizeAt{8, 8};
constexpr size_t kOldShaAt = 16;
constexpr Field kNewSizeAt{48, 8};
constexpr size_t kNewShaAt = 56;
constexpr Field kWindowLogAt{88, 4};
constexpr Field kFlagsAt{92, 4};
constexpr Field kControlAt{96, 8};
constexpr Field kDiffAt{104, 8};
constexpr Field kExtraAt{112, 8};

void Put(std::span<uint8_t> out, Field field, uint64_t value) {
  for (size_t i = 0; i < field.width; ++i) {
    out[field.at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint64_t Get(std::span<const uint8_t> in, Field field) {
  uint64_t value = 0;
  for (size_t i = field.width; i-- > 0;) {
    value = (value << 8U) | in[field.at + i];
  }
  return value;
}

}  // namespace

const char* FaultText(PatchFault fault) {
  switch (fault) {
    case PatchFault::kNone:
      return "The patch applied.";
    case PatchFault::kNotAPatch:
      return "The file is not a patch of this format.";
    case PatchFault::kTruncated:
      return "The patch is truncated or has bytes after its streams.";
    case PatchFault::kWrongBase:
      return "The patch is for another version of the program.";
    case PatchFault::kTooLarge:
      return "The patch declares a result or a window above the limits.";
    case PatchFault::kCorruptStream:
      return "A stream of the patch is corrupt.";
    case PatchFault::kBadControl:
      return "The patch's control data leaves the bounds of the files.";
    case PatchFault::kWrongResult:
      return "The patched program is not the one the patch declares.";
    case PatchFault::kReadFailed:
      return "The old program could not be read.";
    case PatchFault::kWriteFailed:
      return "The patched program could not be written.";
  }
  return "Unknown patch fault.";
}

std::array<uint8_t, kHeaderSize> EncodeHeader(const PatchHeader& header) {
  std::array<uint8_t, kHeaderSize> out{};
  std::copy(kMagic.begin(), kMagic.end(), out.begin());
  Put(out, kOldSizeAt, header.oldSize);
  std::copy(header.oldSha256.begin(), header.oldSha256.end(), out.begin() + kOldShaAt);
  Put(out, kNewSizeAt, header.newSize);
  std::copy(header.newSha256.begin(), header.newSha256.end(), out.begin() + kNewShaAt);
  Put(out, kWindowLogAt, header.windowLog);
  Put(out, kFlagsAt, header.flags);
  Put(out, kControlAt, header.controlSize);
  Put(out, kDiffAt, header.diffSize);
  Put(out, kExtraAt, header.extraSize);
  return out;
}

std::optional<PatchHeader> DecodeHeader(std::span<const uint8_t> patch, PatchFault& fault) {
  fault = PatchFault::kNotAPatch;
  if (patch.size() < kHeaderSize || !std::equal(kMagic.begin(), kMagic.end(), patch.begin()) ||
      (Get(patch, kFlagsAt) & ~uint64_t{kExtraX86}) != 0) {
    return std::nullopt;
  }
  PatchHeader header;
  header.oldSize = Get(patch, kOldSizeAt);
  std::copy_n(patch.begin() + kOldShaAt, header.oldSha256.size(), header.oldSha256.begin());
  header.newSize = Get(patch, kNewSizeAt);
  std::copy_n(patch.begin() + kNewShaAt, header.newSha256.size(), header.newSha256.begin());
  const uint64_t windowLog = Get(patch, kWindowLogAt);
  header.flags = static_cast<uint32_t>(Get(patch, kFlagsAt));
  header.controlSize = Get(patch, kControlAt);
  header.diffSize = Get(patch, kDiffAt);
  header.extraSize = Get(patch, kExtraAt);
  if (header.newSize > kMaxNewSize || windowLog > kMaxWindowLog || windowLog < kMinWindowLog) {
    fault = PatchFault::kTooLarge;
    return std::nullopt;
  }
  header.windowLog = static_cast<uint32_t>(windowLog);
  // Each length is at most the rest of the patch, so the sums cannot overflow.
  const uint64_t rest = patch.size() - kHeaderSize;
  if (header.controlSize > rest || header.diffSize > rest || header.extraSize > rest ||
      header.controlSize + header.diffSize + header.extraSize != rest) {
    fault = PatchFault::kTruncated;
    return std::nullopt;
  }
  fault = PatchFault::kNone;
  return header;
}

void AppendVarint(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80U));
    value >>= 7U;
  }
  out.push_back(static_cast<uint8_t>(value));
}

#if LUMIVORA_DELTA_OPENSSL
struct Sha256::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  State() {
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
      EVP_MD_CTX_free(context);
      throw std::bad_alloc();
    }
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { EVP_MD_CTX_free(context); }
  void Update(std::span<const uint8_t> bytes) const {
    EVP_DigestUpdate(context, bytes.data(), bytes.size());
  }
  void Final(Digest& digest) const { EVP_DigestFinal_ex(context, digest.data(), nullptr); }
};
#else
struct Sha256::State {
  crypto_hash_sha256_state state{};
  State() { crypto_hash_sha256_init(&state); }
  void Update(std::span<const uint8_t> bytes) {
    crypto_hash_sha256_update(&state, bytes.data(), bytes.size());
  }
  void Final(Digest& digest) { crypto_hash_sha256_final(&state, digest.data()); }
};
#endif

Sha256::Sha256() : state_(std::make_unique<State>()) {}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const uint8_t> bytes) {
  state_->Update(bytes);
}

Digest Sha256::Finish() {
  Digest digest{};
  state_->Final(digest);
  return digest;
}

Digest Sha256Of(std::span<const uint8_t> bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.Finish();
}

}  // namespace lumivora::delta
