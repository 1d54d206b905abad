#include "delta/make_patch.h"

#include <divsufsort.h>
#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace lumivora::delta {
namespace {

using Bytes = std::span<const uint8_t>;

int64_t CommonPrefix(Bytes a, Bytes b) {
  const size_t limit = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < limit && a[i] == b[i]) {
    ++i;
  }
  return static_cast<int64_t>(i);
}

// The three streams as the matching writes them, the control stream as its
// three columns.
struct Streams {
  uint64_t count = 0;
  std::vector<uint8_t> seeks;
  std::vector<uint8_t> adds;
  std::vector<uint8_t> extras;
  std::vector<uint8_t> diff;
  std::vector<uint8_t> extra;
  int64_t oldCursor = 0;  // where the applier's old position stands
};

// bsdiff's matching: approximate matches found through the suffix array of
// the old file, extended forwards and backwards, the bytes between them kept
// as extra bytes.
struct FilePair {
  Bytes oldFile;
  Bytes newFile;
};

class Matcher {
 public:
  explicit Matcher(FilePair files)
      : old_(files.oldFile), new_(files.newFile), suffixes_(std::max<size_t>(old_.size(), 1)) {
    if (!old_.empty() &&
        divsufsort(old_.data(), suffixes_.data(), static_cast<saidx_t>(old_.size())) != 0) {
      throw std::runtime_error("suffix sorting failed");
    }
  }

  Streams Run() {
    Streams streams;
    const auto newSize = static_cast<int64_t>(new_.size());
    int64_t scan = 0;
    int64_t length = 0;
    int64_t pos = 0;
    while (scan < newSize) {
      int64_t oldScore = 0;
      for (int64_t covered = scan += length; scan < newSize; ++scan) {
        length = Search(scan, pos);
        for (; covered < scan + length; ++covered) {
          oldScore += MatchesAtOffset(covered) ? 1 : 0;
        }
        if ((length == oldScore && length != 0) || length > oldScore + 8) {
          break;
        }
        oldScore -= MatchesAtOffset(scan) ? 1 : 0;
      }
      if (length != oldScore || scan == newSize) {
        Cut(streams, scan, pos);
      }
    }
    return streams;
  }

 private:
  bool MatchesAtOffset(int64_t at) const {
    const int64_t oldAt = at + lastOffset_;
    return oldAt >= 0 && oldAt < static_cast<int64_t>(old_.size()) &&
           old_[static_cast<size_t>(oldAt)] == new_[static_cast<size_t>(at)];
  }

  // The longest match of the new file's bytes from AT in the old file: a
  // binary search over the suffix array that skips the prefix both bounds
  // already share with the target.
  int64_t Search(int64_t at, int64_t& pos) const {
    if (old_.empty()) {
      pos = 0;
      return 0;
    }
    const Bytes target = new_.subspan(static_cast<size_t>(at));
    size_t low = 0;
    size_t high = old_.size() - 1;
    int64_t lowLength = CommonPrefix(Suffix(low), target);
    int64_t highLength = CommonPrefix(Suffix(high), target);
    while (high - low >= 2) {
      const size_t middle = low + (high - low) / 2;
      const Bytes suffix = Suffix(middle);
      const auto known = static_cast<size_t>(std::min(lowLength, highLength));
      const auto length =
          static_cast<int64_t>(known) + CommonPrefix(suffix.subspan(known), target.subspan(known));
      const auto common = static_cast<int64_t>(std::min(suffix.size(), target.size()));
      if (length < common &&
          suffix[static_cast<size_t>(length)] < target[static_cast<size_t>(length)]) {
        low = middle;
        lowLength = length;
      } else {
        high = middle;
        highLength = length;
      }
    }
    pos = lowLength >= highLength ? suffixes_[low] : suffixes_[high];
    return std::max(lowLength, highLength);
  }

  Bytes Suffix(size_t rank) const { return old_.subspan(static_cast<size_t>(suffixes_[rank])); }

  uint8_t Old(int64_t at) const { return old_[static_cast<size_t>(at)]; }
  uint8_t New(int64_t at) const { return new_[static_cast<size_t>(at)]; }

  // How far the last match extends forwards from (lastScan_, lastPos_).
  int64_t ForwardLength(int64_t scan) const {
    int64_t score = 0;
    int64_t best = 0;
    int64_t length = 0;
    const auto oldSize = static_cast<int64_t>(old_.size());
    for (int64_t i = 0; lastScan_ + i < scan && lastPos_ + i < oldSize;) {
      score += Old(lastPos_ + i) == New(lastScan_ + i) ? 1 : 0;
      ++i;
      if (score * 2 - i > best * 2 - length) {
        best = score;
        length = i;
      }
    }
    return length;
  }

  // How far the next match extends backwards from (scan, pos).
  int64_t BackwardLength(int64_t scan, int64_t pos) const {
    if (scan == static_cast<int64_t>(new_.size())) {
      return 0;
    }
    int64_t score = 0;
    int64_t best = 0;
    int64_t length = 0;
    for (int64_t i = 1; scan >= lastScan_ + i && pos >= i; ++i) {
      score += Old(pos - i) == New(scan - i) ? 1 : 0;
      if (score * 2 - i > best * 2 - length) {
        best = score;
        length = i;
      }
    }
    return length;
  }

  // Where an overlap of the forward and backward extensions is best split.
  void SplitOverlap(int64_t scan, int64_t pos, int64_t& forward, int64_t& backward) const {
    const int64_t overlap = (lastScan_ + forward) - (scan - backward);
    if (overlap <= 0) {
      return;
    }
    int64_t score = 0;
    int64_t best = 0;
    int64_t split = 0;
    for (int64_t i = 0; i < overlap; ++i) {
      score +=
          New(lastScan_ + forward - overlap + i) == Old(lastPos_ + forward - overlap + i) ? 1 : 0;
      score -= New(scan - backward + i) == Old(pos - backward + i) ? 1 : 0;
      if (score > best) {
        best = score;
        split = i + 1;
      }
    }
    forward += split - overlap;
    backward -= split;
  }

  // Writes the triple that ends where the match at (SCAN, POS) begins.
  void Cut(Streams& streams, int64_t scan, int64_t pos) {
    int64_t forward = ForwardLength(scan);
    int64_t backward = BackwardLength(scan, pos);
    SplitOverlap(scan, pos, forward, backward);
    const int64_t extraStart = lastScan_ + forward;
    const int64_t extraLength = (scan - backward) - extraStart;
    if (forward + extraLength > 0) {
      ++streams.count;
      AppendVarint(streams.seeks, ZigZag(lastPos_ - streams.oldCursor));
      AppendVarint(streams.adds, static_cast<uint64_t>(forward));
      AppendVarint(streams.extras, static_cast<uint64_t>(extraLength));
      for (int64_t i = 0; i < forward; ++i) {
        streams.diff.push_back(static_cast<uint8_t>(New(lastScan_ + i) - Old(lastPos_ + i)));
      }
      const Bytes extra =
          new_.subspan(static_cast<size_t>(extraStart), static_cast<size_t>(extraLength));
      streams.extra.insert(streams.extra.end(), extra.begin(), extra.end());
      streams.oldCursor = lastPos_ + forward;
    }
    lastScan_ = scan - backward;
    lastPos_ = pos - backward;
    lastOffset_ = pos - scan;
  }

  Bytes old_;
  Bytes new_;
  std::vector<saidx_t> suffixes_;
  int64_t lastScan_ = 0;
  int64_t lastPos_ = 0;
  int64_t lastOffset_ = 0;
};

// DATA as a raw LZMA2 stream (lc=1, lp=0, pb=0: byte-oriented differences),
// through the x86 BCJ filter first when X86.
std::vector<uint8_t> Compress(std::span<const uint8_t> data, const MakeOptions& options, bool x86) {
  lzma_options_lzma lzma2{};
  if (lzma_lzma_preset(&lzma2, options.preset | LZMA_PRESET_EXTREME)) {
    throw std::runtime_error("liblzma: no such preset");
  }
  lzma2.dict_size = uint32_t{1} << options.windowLog;
  lzma2.lc = 1;
  lzma2.lp = 0;
  lzma2.pb = 0;
  const lzma_filter last = {LZMA_VLI_UNKNOWN, nullptr};
  const lzma_filter withX86[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &lzma2}, last};
  const lzma_filter plain[] = {{LZMA_FILTER_LZMA2, &lzma2}, last};
  std::vector<uint8_t> coded(lzma_stream_buffer_bound(data.size()));
  size_t size = 0;
  if (lzma_raw_buffer_encode(x86 ? withX86 : plain, nullptr, data.data(), data.size(), coded.data(),
                             &size, coded.size()) != LZMA_OK) {
    throw std::runtime_error("liblzma cannot code a stream");
  }
  coded.resize(size);
  return coded;
}

// A plain stream (no filter) of more than 8 MiB coded in two halves at once:
// the second half's LZMA2 chunks begin with a dictionary reset, so the first
// half's end marker dropped, the two make one valid stream.
std::vector<uint8_t> CompressLarge(const std::vector<uint8_t>& data, const MakeOptions& options) {
  constexpr size_t kSplitAbove = size_t{8} << 20;
  if (data.size() <= kSplitAbove) {
    return Compress(data, options, false);
  }
  const std::span<const uint8_t> all(data);
  const size_t half = data.size() / 2;
  std::vector<uint8_t> second;
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      second = Compress(all.subspan(half), options, false);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  std::vector<uint8_t> first;
  try {
    first = Compress(all.first(half), options, false);
  } catch (...) {
    worker.join();
    throw;
  }
  worker.join();
  if (failure) {
    std::rethrow_exception(failure);
  }
  first.pop_back();  // the end marker
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

}  // namespace

std::vector<uint8_t> MakePatch(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                               const MakeOptions& options) {
  if (oldFile.size() > kMaxNewSize || newFile.size() > kMaxNewSize) {
    throw std::length_error("a patch's files are at most 1 GiB");
  }
  if (options.windowLog < kMinWindowLog || options.windowLog > kMaxWindowLog) {
    throw std::length_error("the window log is outside the format's limits");
  }
  Streams streams = Matcher({oldFile, newFile}).Run();
  PatchHeader header;
  header.oldSize = oldFile.size();
  header.oldSha256 = Sha256Of(oldFile);
  header.newSize = newFile.size();
  header.newSha256 = Sha256Of(newFile);
  header.windowLog = options.windowLog;
  std::vector<uint8_t> control;
  AppendVarint(control, streams.count);
  for (const std::vector<uint8_t>* column : {&streams.seeks, &streams.adds, &streams.extras}) {
    control.insert(control.end(), column->begin(), column->end());
  }
  const std::vector<uint8_t> controlCoded = Compress(control, options, false);
  const std::vector<uint8_t> diff = CompressLarge(streams.diff, options);
  std::vector<uint8_t> extra = Compress(streams.extra, options, false);
  if (std::vector<uint8_t> x86 = Compress(streams.extra, options, true);
      x86.size() < extra.size()) {
    extra.swap(x86);
    header.flags |= kExtraX86;
  }
  header.controlSize = controlCoded.size();
  header.diffSize = diff.size();
  header.extraSize = extra.size();
  const auto head = EncodeHeader(header);
  std::vector<uint8_t> patch(head.begin(), head.end());
  for (const std::vector<uint8_t>* stream :
       {&controlCoded, &diff, static_cast<const std::vector<uint8_t>*>(&extra)}) {
    patch.insert(patch.end(), stream->begin(), stream->end());
  }
  return patch;
}

}  // namespace lumivora::delta
