#include "delta/apply_patch.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace lumivora::delta {
namespace {

constexpr size_t kChunk = size_t{64} * 1024;

// One raw LZMA2 stream of the patch (through the x86 BCJ filter when asked),
// decoded as it is read. Its dictionary is 2^windowLog bytes, or the stream's
// decoded size when that is known to be smaller (no match reaches further
// back than the start of the stream).
class StreamReader {
 public:
  StreamReader(std::span<const uint8_t> coded, uint32_t windowLog, bool x86, uint64_t size)
      : coded_(coded), buffer_(kChunk) {
    stream_.next_in = coded.data();
    stream_.avail_in = coded.size();
    options_.dict_size = static_cast<uint32_t>(
        std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>(uint64_t{1} << windowLog, size)));
    const lzma_filter lzma2 = {LZMA_FILTER_LZMA2, &options_};
    const lzma_filter last = {LZMA_VLI_UNKNOWN, nullptr};
    const lzma_filter withX86[] = {{LZMA_FILTER_X86, nullptr}, lzma2, last};
    const lzma_filter plain[] = {lzma2, last};
    if (lzma_raw_decoder(&stream_, x86 ? withX86 : plain) != LZMA_OK) {
      throw std::bad_alloc();
    }
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;
  ~StreamReader() { lzma_end(&stream_); }

  // Fills INTO completely, or says why not.
  PatchFault Read(std::span<uint8_t> into) {
    while (!into.empty()) {
      if (next_ == end_) {
        if (const PatchFault fault = Decode(); fault != PatchFault::kNone) {
          return fault;
        }
        if (next_ == end_) {
          return PatchFault::kCorruptStream;  // ended early
        }
      }
      const size_t count = std::min(into.size(), end_ - next_);
      std::memcpy(into.data(), buffer_.data() + next_, count);
      next_ += count;
      into = into.subspan(count);
    }
    return PatchFault::kNone;
  }

  // The whole rest of the stream, at most LIMIT bytes.
  PatchFault ReadAll(std::vector<uint8_t>& out, uint64_t limit) {
    do {
      if (end_ - next_ > limit - out.size()) {
        return PatchFault::kTooLarge;
      }
      out.insert(out.end(), buffer_.begin() + static_cast<ptrdiff_t>(next_),
                 buffer_.begin() + static_cast<ptrdiff_t>(end_));
      next_ = end_;
      if (const PatchFault fault = Decode(); fault != PatchFault::kNone) {
        return fault;
      }
    } while (next_ != end_);
    return PatchFault::kNone;
  }

  // The stream must end here: its end marker, no byte after it.
  PatchFault Finish() {
    if (next_ != end_) {
      return PatchFault::kCorruptStream;
    }
    if (const PatchFault fault = Decode(); fault != PatchFault::kNone) {
      return fault;
    }
    return next_ == end_ && ended_ ? PatchFault::kNone : PatchFault::kCorruptStream;
  }

 private:
  // Decodes the next bytes into the buffer; none at the stream's end marker.
  PatchFault Decode() {
    next_ = end_ = 0;
    while (end_ == 0 && !ended_) {
      const size_t used = coded_.size() - stream_.avail_in;
      stream_.next_out = buffer_.data();
      stream_.avail_out = buffer_.size();
      const lzma_ret result = lzma_code(&stream_, stream_.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
      end_ = buffer_.size() - stream_.avail_out;
      if (result == LZMA_STREAM_END) {
        ended_ = true;
      } else if (result != LZMA_OK || (end_ == 0 && coded_.size() - stream_.avail_in == used)) {
        return PatchFault::kCorruptStream;  // invalid, or no progress
      }
    }
    if (ended_ && stream_.avail_in != 0) {
      return PatchFault::kCorruptStream;  // bytes after the end marker
    }
    return PatchFault::kNone;
  }

  lzma_options_lzma options_{};
  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::span<const uint8_t> coded_;
  std::vector<uint8_t> buffer_;
  size_t next_ = 0;
  size_t end_ = 0;
  bool ended_ = false;
};

// A column of the decoded control stream: LEB128 values one after another.
struct Column {
  std::span<const uint8_t> bytes;
  size_t at = 0;

  bool Next(uint64_t& value) {
    value = 0;
    for (unsigned shift = 0; shift < 64 && at < bytes.size(); shift += 7) {
      const uint8_t byte = bytes[at++];
      if (shift == 63 && byte > 1) {
        return false;
      }
      value |= uint64_t{byte & 0x7FU} << shift;
      if ((byte & 0x80U) == 0) {
        return true;
      }
    }
    return false;
  }
};

struct Triple {
  int64_t seek = 0;
  uint64_t add = 0;
  uint64_t extra = 0;
};

// The triples of the control stream: the count, then the column of seeks
// (zigzag), the column of add lengths and the column of extra lengths.
class Control {
 public:
  // Finds the columns; false when the stream is not COUNT triples exactly.
  bool Open(std::span<const uint8_t> bytes, uint64_t newSize) {
    Column all{bytes};
    if (!all.Next(count_) || count_ > newSize || count_ > bytes.size() / 3) {
      return false;
    }
    for (Column& column : columns_) {
      column = Column{bytes, all.at};
      uint64_t ignored = 0;
      for (uint64_t i = 0; i < count_; ++i) {
        if (!all.Next(ignored)) {
          return false;
        }
      }
    }
    return all.at == bytes.size();
  }
  [[nodiscard]] uint64_t Count() const { return count_; }
  void Next(Triple& triple) {
    uint64_t seek = 0;
    columns_[0].Next(seek);
    columns_[1].Next(triple.add);
    columns_[2].Next(triple.extra);
    triple.seek = UnZigZag(seek);
  }

 private:
  uint64_t count_ = 0;
  Column columns_[3];
};

// Positions in both files; Move checks a triple against both and moves past it.
struct Cursor {
  uint64_t oldSize;
  uint64_t newSize;
  uint64_t oldPos = 0;
  uint64_t newPos = 0;

  bool Move(const Triple& triple) {
    if (triple.add == 0 && triple.extra == 0) {
      return false;  // every triple makes progress
    }
    const bool back = triple.seek < 0;
    const uint64_t distance =
        back ? ~static_cast<uint64_t>(triple.seek) + 1 : static_cast<uint64_t>(triple.seek);
    if (back ? distance > oldPos : distance > oldSize - oldPos) {
      return false;
    }
    oldPos = back ? oldPos - distance : oldPos + distance;
    const uint64_t room = newSize - newPos;
    if (triple.add > room || triple.add > oldSize - oldPos || triple.extra > room - triple.add) {
      return false;
    }
    oldPos += triple.add;
    newPos += triple.add + triple.extra;
    return true;
  }
};

// Whether every triple stays inside both files and they make the new file
// exactly: checked before a byte is written. ADDED: the bytes the difference
// stream must hold (the extra stream holds the rest of the new file).
bool Plausible(Control control, uint64_t oldSize, uint64_t newSize, uint64_t& added) {
  Cursor cursor{oldSize, newSize};
  added = 0;
  for (uint64_t i = 0; i < control.Count(); ++i) {
    Triple triple;
    control.Next(triple);
    if (!cursor.Move(triple)) {
      return false;
    }
    added += triple.add;
  }
  return cursor.newPos == newSize;
}

// One application: the old file's reader, the new file's writer and hash.
class Application {
 public:
  Application(const OldReader& old, const NewWriter& out) : old_(old), out_(out) {}

  // Whether the old file of OLD_SIZE bytes has the SHA-256 DIGEST.
  PatchFault CheckBase(uint64_t oldSize, const Digest& digest) {
    Sha256 base;
    for (uint64_t at = 0; at < oldSize;) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(oldSize - at, kChunk));
      if (!old_(at, {oldBytes_.data(), count})) {
        return PatchFault::kReadFailed;
      }
      base.Update({oldBytes_.data(), count});
      at += count;
    }
    return base.Finish() == digest ? PatchFault::kNone : PatchFault::kWrongBase;
  }

  // TRIPLE's add bytes of the old file, which end at OLD_END, plus the
  // difference stream's.
  PatchFault Add(StreamReader& diff, const Triple& triple, uint64_t oldEnd) {
    uint64_t add = triple.add;
    uint64_t oldPos = oldEnd - add;
    while (add > 0) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(add, kChunk));
      const std::span<uint8_t> piece(bytes_.data(), count);
      if (!old_(oldPos, {oldBytes_.data(), count})) {
        return PatchFault::kReadFailed;
      }
      if (const PatchFault fault = diff.Read(piece); fault != PatchFault::kNone) {
        return fault;
      }
      for (size_t i = 0; i < count; ++i) {
        piece[i] = static_cast<uint8_t>(piece[i] + oldBytes_[i]);
      }
      oldPos += count;
      add -= count;
      if (const PatchFault fault = Emit(piece); fault != PatchFault::kNone) {
        return fault;
      }
    }
    return PatchFault::kNone;
  }

  PatchFault Extra(StreamReader& extra, uint64_t length) {
    while (length > 0) {
      const std::span<uint8_t> piece(bytes_.data(),
                                     static_cast<size_t>(std::min<uint64_t>(length, kChunk)));
      if (const PatchFault fault = extra.Read(piece); fault != PatchFault::kNone) {
        return fault;
      }
      length -= piece.size();
      if (const PatchFault fault = Emit(piece); fault != PatchFault::kNone) {
        return fault;
      }
    }
    return PatchFault::kNone;
  }

  Digest Result() { return hash_.Finish(); }

 private:
  PatchFault Emit(std::span<const uint8_t> piece) {
    hash_.Update(piece);
    return out_(piece) ? PatchFault::kNone : PatchFault::kWriteFailed;
  }

  const OldReader& old_;
  const NewWriter& out_;
  Sha256 hash_;
  std::vector<uint8_t> oldBytes_ = std::vector<uint8_t>(kChunk);
  std::vector<uint8_t> bytes_ = std::vector<uint8_t>(kChunk);
};

std::span<const uint8_t> StreamAt(std::span<const uint8_t> patch, uint64_t offset, uint64_t size) {
  return patch.subspan(static_cast<size_t>(kHeaderSize + offset), static_cast<size_t>(size));
}

// The triples applied in order, then every stream at its end and the hash.
PatchFault Run(Application& run, Control control, const PatchHeader& header,
               std::span<const uint8_t> patch, uint64_t added) {
  StreamReader diff(StreamAt(patch, header.controlSize, header.diffSize), header.windowLog, false,
                    added);
  StreamReader extra(StreamAt(patch, header.controlSize + header.diffSize, header.extraSize),
                     header.windowLog, (header.flags & kExtraX86) != 0, header.newSize - added);
  Cursor cursor{header.oldSize, header.newSize};
  for (uint64_t i = 0; i < control.Count(); ++i) {
    Triple triple;
    control.Next(triple);
    cursor.Move(triple);  // checked by Plausible
    PatchFault fault = run.Add(diff, triple, cursor.oldPos);
    if (fault == PatchFault::kNone) {
      fault = run.Extra(extra, triple.extra);
    }
    if (fault != PatchFault::kNone) {
      return fault;
    }
  }
  for (StreamReader* stream : {&diff, &extra}) {
    if (const PatchFault fault = stream->Finish(); fault != PatchFault::kNone) {
      return fault;
    }
  }
  return run.Result() == header.newSha256 ? PatchFault::kNone : PatchFault::kWrongResult;
}

}  // namespace

PatchFault ApplyPatch(std::span<const uint8_t> patch, uint64_t oldSize, const OldReader& old,
                      const NewWriter& out, const ApplyLimits& limits) {
  PatchFault fault = PatchFault::kNone;
  const std::optional<PatchHeader> header = DecodeHeader(patch, fault);
  if (!header) {
    return fault;
  }
  if (header->newSize > limits.maxNewSize) {
    return PatchFault::kTooLarge;
  }
  if (header->oldSize != oldSize) {
    return PatchFault::kWrongBase;
  }
  Application run(old, out);
  if (fault = run.CheckBase(oldSize, header->oldSha256); fault != PatchFault::kNone) {
    return fault;
  }
  std::vector<uint8_t> controlBytes;
  StreamReader reader(StreamAt(patch, 0, header->controlSize), header->windowLog, false,
                      kMaxControlSize);
  if (fault = reader.ReadAll(controlBytes, kMaxControlSize); fault != PatchFault::kNone) {
    return fault;
  }
  Control control;
  uint64_t added = 0;
  if (!control.Open(controlBytes, header->newSize) ||
      !Plausible(control, header->oldSize, header->newSize, added)) {
    return PatchFault::kBadControl;
  }
  return Run(run, control, *header, patch, added);
}

PatchFault ApplyPatch(std::span<const uint8_t> old, std::span<const uint8_t> patch,
                      std::vector<uint8_t>& out, const ApplyLimits& limits) {
  out.clear();
  const OldReader reader = [old](uint64_t offset, std::span<uint8_t> into) {
    if (offset > old.size() || into.size() > old.size() - offset) {
      return false;
    }
    if (!into.empty()) {
      std::memcpy(into.data(), old.data() + offset, into.size());
    }
    return true;
  };
  const NewWriter writer = [&out](std::span<const uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  };
  const PatchFault fault = ApplyPatch(patch, old.size(), reader, writer, limits);
  if (fault != PatchFault::kNone) {
    out.clear();
  }
  return fault;
}

}  // namespace lumivora::delta
