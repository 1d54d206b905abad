// bsdiff's matching (Colin Percival, "Naive differences of executable
// code"): approximate matches of the new file in the old one, found through
// the suffix array of the old file (libdivsufsort), extended forwards and
// backwards; the bytes between them are new. It gives the three streams of
// a patch (docs/delta-format.md) before they are coded.
#pragma once

#include <divsufsort.h>

#include <cstdint>
#include <exception>
#include <span>
#include <thread>
#include <vector>

namespace lumivora::delta {

// The three streams as the matching writes them, the control stream as its
// three columns.
struct Streams {
  uint64_t count = 0;
  std::vector<uint8_t> seeks;
  std::vector<uint8_t> adds;
  std::vector<uint8_t> extras;
  std::vector<uint8_t> diff;
  std::vector<uint8_t> extra;
  int64_t firstPos = 0;   // the old position of the first triple's added bytes
  int64_t oldCursor = 0;  // where the applier's old position stands
};

// The suffix array of the old file, with the range of ranks that each first
// two bytes take: a search starts in that range, which spares it the first
// dozen or so steps (each a cache miss in the array and in the old file).
class SuffixIndex {
 public:
  explicit SuffixIndex(std::span<const uint8_t> old);

  std::span<const uint8_t> Old() const { return old_; }

  // The longest match of TARGET in the old file (its length; its position
  // in POS): a binary search over the suffix array that skips the prefix
  // both bounds already share with it.
  int64_t Search(std::span<const uint8_t> target, int64_t& pos) const;

 private:
  struct Range {
    size_t first = 0;
    size_t end = 0;  // 0: no suffix begins with these two bytes
  };

  static size_t Key(std::span<const uint8_t> bytes) { return size_t{bytes[0]} << 8U | bytes[1]; }

  std::span<const uint8_t> Suffix(size_t rank) const {
    return old_.subspan(static_cast<size_t>(suffixes_[rank]));
  }

  std::span<const uint8_t> old_;
  std::vector<saidx_t> suffixes_;
  std::vector<Range> ranges_ = std::vector<Range>(size_t{1} << 16U);
};

// The streams that turn the old file of INDEX into NEW_FILE: above 1 MiB
// matched in two halves at once (a fixed split, so that the patch is the
// same on every machine).
Streams Match(const SuffixIndex& index, std::span<const uint8_t> newFile);

// Runs SECOND on a thread of its own while FIRST runs on this one; an
// exception of either is raised once both have ended.
template <typename First, typename Second>
void RunBeside(First first, Second second) {
  std::exception_ptr failure;
  std::thread worker([&second, &failure] {
    try {
      second();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  try {
    first();
  } catch (...) {
    worker.join();
    throw;
  }
  worker.join();
  if (failure) {
    std::rethrow_exception(failure);
  }
}

}  // namespace lumivora::delta
