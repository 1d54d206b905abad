#include "delta/patch_matching.h"

#include <algorithm>
#include <stdexcept>

#include "delta/patch_format.h"

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

// bsdiff's matching over one part [begin, end) of the new file: approximate
// matches found through the suffix array of the old file, extended forwards
// and backwards, the bytes between them kept as extra bytes. The parts of a
// file are scanned apart (one thread each) and their streams joined.
class Matcher {
 public:
  static constexpr int64_t kTrustedRun = 4;

  Matcher(const SuffixIndex& index, Bytes newFile, int64_t begin, int64_t end)
      : index_(index), old_(index.Old()), new_(newFile), end_(end), lastScan_(begin) {
    if (begin > 0) {  // a later part starts on the best match at its first byte
      index_.Search(new_.subspan(static_cast<size_t>(begin)), lastPos_);
      lastOffset_ = lastPos_ - begin;
    }
  }

  Streams Run() {
    Streams streams;
    streams.diff.reserve(static_cast<size_t>(end_ - lastScan_));  // most of a part is added
    int64_t scan = lastScan_;
    int64_t length = 0;
    int64_t pos = 0;
    while (scan < end_) {
      int64_t oldScore = 0;
      for (int64_t covered = scan += length; scan < end_; ++scan) {
        // A run at the last match's offset is taken as the longest match
        // without a search (most searches are spared that way, the patch
        // is as small); a better offset is found at the run's end.
        length = AlignedLength(scan);
        if (length >= kTrustedRun) {
          pos = scan + lastOffset_;
        } else {
          length = index_.Search(new_.subspan(static_cast<size_t>(scan)), pos);
        }
        for (; covered < scan + length; ++covered) {
          oldScore += MatchesAtOffset(covered) ? 1 : 0;
        }
        if ((length == oldScore && length != 0) || length > oldScore + 8) {
          break;
        }
        oldScore -= MatchesAtOffset(scan) ? 1 : 0;
      }
      if (length != oldScore || scan >= end_) {
        Cut(streams, std::min(scan, end_), pos);
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

  // How many bytes from AT match at the last match's offset.
  int64_t AlignedLength(int64_t at) const {
    const int64_t oldAt = at + lastOffset_;
    if (oldAt < 0 || oldAt >= static_cast<int64_t>(old_.size())) {
      return 0;
    }
    return CommonPrefix(old_.subspan(static_cast<size_t>(oldAt)),
                        new_.subspan(static_cast<size_t>(at)));
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
    if (scan == end_) {
      return 0;  // the end of the part: no next match
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
      streams.firstPos = streams.count == 0 ? lastPos_ : streams.firstPos;
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

  const SuffixIndex& index_;
  Bytes old_;
  Bytes new_;
  int64_t end_;
  int64_t lastScan_;
  int64_t lastPos_ = 0;
  int64_t lastOffset_ = 0;
};

// SECOND's streams after FIRST's: the first seek of SECOND, made from the
// old position 0, is made again from where FIRST leaves it.
void Append(Streams& first, const Streams& second) {
  if (second.count == 0) {
    return;
  }
  size_t seekLength = 0;
  while (second.seeks.at(seekLength) >= 0x80) {
    ++seekLength;
  }
  AppendVarint(first.seeks, ZigZag(second.firstPos - first.oldCursor));
  first.seeks.insert(first.seeks.end(),
                     second.seeks.begin() + static_cast<std::ptrdiff_t>(seekLength + 1),
                     second.seeks.end());
  first.count += second.count;
  for (auto [to, from] : {std::pair{&first.adds, &second.adds},
                          {&first.extras, &second.extras},
                          {&first.diff, &second.diff},
                          {&first.extra, &second.extra}}) {
    to->insert(to->end(), from->begin(), from->end());
  }
  first.oldCursor = second.oldCursor;
}

}  // namespace

SuffixIndex::SuffixIndex(Bytes old) : old_(old), suffixes_(std::max<size_t>(old.size(), 1)) {
  if (!old_.empty() &&
      divsufsort(old_.data(), suffixes_.data(), static_cast<saidx_t>(old_.size())) != 0) {
    throw std::runtime_error("suffix sorting failed");
  }
  // The ranks of the suffixes that begin with the two bytes (a, b) follow
  // those that begin with a smaller byte, the one-byte suffix "a" (the
  // last byte, when it is a) and those that begin with a and a smaller b.
  std::vector<size_t> counts(ranges_.size() + 1);
  for (size_t at = 0; at + 1 < old_.size(); ++at) {
    ++counts[Key(old_.subspan(at))];
  }
  size_t rank = 0;
  for (size_t key = 0; key < ranges_.size(); ++key) {
    const bool lastByteFirst = !old_.empty() && key % 256 == 0 && size_t{old_.back()} == key / 256;
    rank += lastByteFirst ? size_t{1} : size_t{0};
    ranges_[key] = {rank, counts[key] == 0 ? 0 : rank + counts[key]};
    rank += counts[key];
  }
}

int64_t SuffixIndex::Search(Bytes target, int64_t& pos) const {
  if (old_.empty()) {
    pos = 0;
    return 0;
  }
  size_t low = 0;
  size_t high = old_.size() - 1;
  if (target.size() >= 2 && ranges_[Key(target)].end != 0) {
    low = ranges_[Key(target)].first;
    high = ranges_[Key(target)].end - 1;
  }
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

Streams Match(const SuffixIndex& index, Bytes newFile) {
  const auto size = static_cast<int64_t>(newFile.size());
  constexpr int64_t kSplitAbove = int64_t{1} << 20;
  if (size <= kSplitAbove) {
    return Matcher(index, newFile, 0, size).Run();
  }
  Streams first;
  Streams second;
  RunBeside([&] { first = Matcher(index, newFile, 0, size / 2).Run(); },
            [&] { second = Matcher(index, newFile, size / 2, size).Run(); });
  Append(first, second);
  return first;
}

}  // namespace lumivora::delta
