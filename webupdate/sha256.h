// SHA-256 of a download: a stream over the bytes as they arrive, and the
// worker that takes the hashing off the transfer's thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "platform/slot_ring.h"

namespace lumivora::webupdate {

using Sha256Digest = std::array<uint8_t, 32>;

// SHA-256 and byte count of data that arrives in pieces. OpenSSL's where the
// build has it (it uses the processor's SHA instructions, several times
// faster than libsodium's portable code), libsodium's otherwise.
class Sha256Stream {
 public:
  Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;
  ~Sha256Stream();
  void Update(std::span<const uint8_t> bytes);
  [[nodiscard]] uint64_t Size() const { return size_; }
  // The digest of everything so far; the stream starts afresh.
  Sha256Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint64_t size_ = 0;
};

// SHA-256 and byte count of data that arrives in pieces, computed on a worker
// thread in pieces of 64 KiB while the caller goes on receiving (at most 1 MiB
// waits). The caller's thread only copies. The worker stops at its first
// error, which Update (when it hands a piece over) or Finish raises on the
// caller's thread; the worker is joined by Finish or the destructor.
class Sha256Pipeline {
 public:
  Sha256Pipeline();
  Sha256Pipeline(const Sha256Pipeline&) = delete;
  Sha256Pipeline& operator=(const Sha256Pipeline&) = delete;
  ~Sha256Pipeline();
  void Update(std::span<const uint8_t> bytes);
  // Waits for the worker; the size and digest of everything given.
  std::pair<uint64_t, Sha256Digest> Finish();

 private:
  // Hands the piece being filled to the worker.
  void Hand();
  // The worker: hashes the pieces handed over until the end or a stop.
  void Work();

  std::vector<std::vector<uint8_t>> pieces_;
  std::vector<size_t> sizes_;
  platform::SlotRing ring_;
  std::optional<uint64_t> current_;  // the piece being filled
  size_t filled_ = 0;                // bytes in it
  Sha256Stream hash_;                // the worker's until it has ended
  std::thread worker_;
};

}  // namespace lumivora::webupdate
