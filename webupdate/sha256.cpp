#include "webupdate/sha256.h"

#include <sodium.h>
#if LUMIVORA_SHA256_OPENSSL
#include <openssl/evp.h>
#endif

#include <algorithm>

#include "webupdate/release_signature.h"

namespace lumivora::webupdate {

#if LUMIVORA_SHA256_OPENSSL
struct Sha256Stream::State {
  State() : context(EVP_MD_CTX_new()) {
    if (context == nullptr) {
      throw ESignature("SHA-256: out of memory");
    }
    Start();
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { EVP_MD_CTX_free(context); }
  void Start() {
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
      throw ESignature("SHA-256: cannot start");
    }
  }
  void Update(std::span<const uint8_t> bytes) {
    if (EVP_DigestUpdate(context, bytes.data(), bytes.size()) != 1) {
      throw ESignature("SHA-256: cannot hash");
    }
  }
  void Final(Sha256Digest& digest) {
    if (EVP_DigestFinal_ex(context, digest.data(), nullptr) != 1) {
      throw ESignature("SHA-256: cannot finish");
    }
  }
  EVP_MD_CTX* context;
};
#else
struct Sha256Stream::State {
  State() {
    InitSodium();
    Start();
  }
  void Start() { crypto_hash_sha256_init(&state); }
  void Update(std::span<const uint8_t> bytes) {
    crypto_hash_sha256_update(&state, bytes.data(), bytes.size());
  }
  void Final(Sha256Digest& digest) { crypto_hash_sha256_final(&state, digest.data()); }
  crypto_hash_sha256_state state{};
};
#endif

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::Update(std::span<const uint8_t> bytes) {
  state_->Update(bytes);
  size_ += bytes.size();
}

Sha256Digest Sha256Stream::Finish() {
  Sha256Digest digest{};
  state_->Final(digest);
  state_->Start();
  size_ = 0;
  return digest;
}

namespace {
constexpr size_t kPipelinePiece = size_t{64} * 1024;
constexpr size_t kPipelineDepth = 16;
}  // namespace

Sha256Pipeline::Sha256Pipeline()
    : pieces_(kPipelineDepth, std::vector<uint8_t>(kPipelinePiece)),
      sizes_(kPipelineDepth),
      ring_(kPipelineDepth) {
  worker_ = std::thread([this] { Work(); });
}

Sha256Pipeline::~Sha256Pipeline() {
  ring_.Stop();
  if (worker_.joinable()) {
    worker_.join();
  }
}

void Sha256Pipeline::Update(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    if (!current_) {
      // Raises what ended the worker early.
      current_ = ring_.AcquireFree();
      filled_ = 0;
    }
    std::vector<uint8_t>& piece = pieces_[ring_.Slot(*current_)];
    const size_t take = std::min(bytes.size(), kPipelinePiece - filled_);
    std::copy_n(bytes.begin(), take, piece.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += take;
    bytes = bytes.subspan(take);
    if (filled_ == kPipelinePiece) {
      Hand();
    }
  }
}

void Sha256Pipeline::Hand() {
  sizes_[ring_.Slot(*current_)] = filled_;
  ring_.Publish();
  current_.reset();
}

void Sha256Pipeline::Work() {
  try {
    for (;;) {
      const auto [first, end] = ring_.AcquireReady(1);
      if (first == end) {
        return;  // every piece is hashed, or the owner stopped
      }
      for (uint64_t index = first; index < end; ++index) {
        const size_t slot = ring_.Slot(index);
        hash_.Update(std::span<const uint8_t>(pieces_[slot].data(), sizes_[slot]));
        ring_.Release(index + 1);
      }
    }
  } catch (...) {
    ring_.Release(0, std::current_exception());
  }
}

std::pair<uint64_t, Sha256Digest> Sha256Pipeline::Finish() {
  if (current_ && filled_ != 0) {
    Hand();
  }
  ring_.Close();
  ring_.Drain();  // raises what ended the worker early
  ring_.Stop();
  worker_.join();
  const uint64_t size = hash_.Size();
  return {size, hash_.Finish()};
}

}  // namespace lumivora::webupdate
