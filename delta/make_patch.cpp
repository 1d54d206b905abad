#include "delta/make_patch.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

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

// The three streams as the matching writes them.
struct Streams {
  std::vector<uint8_t> control;
  std::vector<uint8_t> diff;
  std::vector<uint8_t> extra;
  int64_t oldCursor = 0;  // where the applier's old position stands
};

// bsdiff's matching: approximate matches found through the suffix array of
// the old file, extended forwards and backwards, the bytes between them kept
// as extra bytes.
class Matcher {
 public:
  Matcher(Bytes oldFile, Bytes newFile)
      : old_(oldFile), new_(newFile), suffixes_(std::max<size_t>(oldFile.size(), 1)) {
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

  // The longest match of the new file's bytes from AT in the old file.
  int64_t Search(int64_t at, int64_t& pos) const {
    if (old_.empty()) {
      pos = 0;
      return 0;
    }
    const Bytes target = new_.subspan(static_cast<size_t>(at));
    size_t low = 0;
    size_t high = old_.size() - 1;
    while (high - low >= 2) {
      const size_t middle = low + (high - low) / 2;
      const Bytes suffix = old_.subspan(static_cast<size_t>(suffixes_[middle]));
      const size_t common = std::min(suffix.size(), target.size());
      if (std::memcmp(suffix.data(), target.data(), common) < 0) {
        low = middle;
      } else {
        high = middle;
      }
    }
    const int64_t lowLength = CommonPrefix(old_.subspan(static_cast<size_t>(suffixes_[low])), target);
    const int64_t highLength =
        CommonPrefix(old_.subspan(static_cast<size_t>(suffixes_[high])), target);
    pos = lowLength >= highLength ? suffixes_[low] : suffixes_[high];
    return std::max(lowLength, highLength);
  }

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
      score += New(lastScan_ + forward - overlap + i) == Old(lastPos_ + forward - overlap + i) ? 1
                                                                                               : 0;
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
      AppendVarint(streams.control, ZigZag(lastPos_ - streams.oldCursor));
      AppendVarint(streams.control, static_cast<uint64_t>(forward));
      AppendVarint(streams.control, static_cast<uint64_t>(extraLength));
      for (int64_t i = 0; i < forward; ++i) {
        streams.diff.push_back(static_cast<uint8_t>(New(lastScan_ + i) - Old(lastPos_ + i)));
      }
      const Bytes extra = new_.subspan(static_cast<size_t>(extraStart),
                                       static_cast<size_t>(extraLength));
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

struct CContextFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void Check(size_t result) {
  if (ZSTD_isError(result)) {
    throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(result));
  }
}

std::vector<uint8_t> Compress(const std::vector<uint8_t>& data, const MakeOptions& options) {
  const std::unique_ptr<ZSTD_CCtx, CContextFree> context(ZSTD_createCCtx());
  if (!context) {
    throw std::bad_alloc();
  }
  Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, options.level));
  Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog,
                               static_cast<int>(options.windowLog)));
  Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching,
                               options.longDistanceMatching ? 1 : 0));
  Check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0));
  std::vector<uint8_t> coded(ZSTD_compressBound(data.size()));
  const size_t size =
      ZSTD_compress2(context.get(), coded.data(), coded.size(), data.data(), data.size());
  Check(size);
  coded.resize(size);
  return coded;
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
  Streams streams = Matcher(oldFile, newFile).Run();
  PatchHeader header;
  header.oldSize = oldFile.size();
  header.oldSha256 = Sha256Of(oldFile);
  header.newSize = newFile.size();
  header.newSha256 = Sha256Of(newFile);
  header.windowLog = options.windowLog;
  const std::vector<uint8_t> control = Compress(streams.control, options);
  const std::vector<uint8_t> diff = Compress(streams.diff, options);
  const std::vector<uint8_t> extra = Compress(streams.extra, options);
  header.controlSize = control.size();
  header.diffSize = diff.size();
  header.extraSize = extra.size();
  const auto head = EncodeHeader(header);
  std::vector<uint8_t> patch(head.begin(), head.end());
  for (const std::vector<uint8_t>* stream : {&control, &diff, &extra}) {
    patch.insert(patch.end(), stream->begin(), stream->end());
  }
  return patch;
}

}  // namespace lumivora::delta
