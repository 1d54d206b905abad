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

Sha256Pipeline::Sha256Pipeline() {
  current_.reserve(kPipelinePiece);
  worker_ = std::thread([this] { Work(); });
}

Sha256Pipeline::~Sha256Pipeline() {
  Stop(true);
}

void Sha256Pipeline::Stop(bool drop) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    if (drop) {
      waiting_.clear();
    }
  }
  changed_.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
}

void Sha256Pipeline::Update(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), kPipelinePiece - current_.size());
    current_.insert(current_.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (current_.size() == kPipelinePiece) {
      Hand(std::move(current_));
    }
  }
}

void Sha256Pipeline::Hand(std::vector<uint8_t>&& piece) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return waiting_.size() < kPipelineDepth || failure_ != nullptr; });
  if (failure_ != nullptr) {
    std::rethrow_exception(failure_);
  }
  waiting_.push_back(std::move(piece));
  if (spare_.empty()) {
    current_ = std::vector<uint8_t>();
    current_.reserve(kPipelinePiece);
  } else {
    current_ = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  changed_.notify_all();
}

void Sha256Pipeline::Work() {
  try {
    Hash();
  } catch (...) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      failure_ = std::current_exception();
      waiting_.clear();
    }
    changed_.notify_all();
  }
}

void Sha256Pipeline::Hash() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
    if (waiting_.empty()) {
      return;
    }
    std::vector<uint8_t> piece = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    changed_.notify_all();
    hash_.Update(piece);
    piece.clear();
    lock.lock();
    spare_.push_back(std::move(piece));
  }
}

std::pair<uint64_t, Sha256Digest> Sha256Pipeline::Finish() {
  if (!current_.empty()) {
    Hand(std::move(current_));
  }
  Stop(false);
  if (failure_ != nullptr) {
    std::rethrow_exception(failure_);
  }
  const uint64_t size = hash_.Size();
  return {size, hash_.Finish()};
}

}  // namespace lumivora::webupdate
