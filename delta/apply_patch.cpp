#include "delta/apply_patch.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace lumivora::delta {
namespace {

constexpr size_t kChunk = size_t{64} * 1024;

struct DContextFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// One zstd-coded stream of the patch, decoded as it is read.
class StreamReader {
 public:
  StreamReader(std::span<const uint8_t> coded, uint32_t windowLog)
      : context_(ZSTD_createDCtx()), coded_(coded), buffer_(ZSTD_DStreamOutSize()) {
    if (!context_ ||
        ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax,
                                            static_cast<int>(windowLog)))) {
      throw std::bad_alloc();
    }
  }

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

  // The stream must end here: every byte consumed, the last frame complete.
  PatchFault Finish() {
    if (next_ != end_) {
      return PatchFault::kCorruptStream;
    }
    if (const PatchFault fault = Decode(); fault != PatchFault::kNone) {
      return fault;
    }
    return next_ == end_ ? PatchFault::kNone : PatchFault::kCorruptStream;
  }

 private:
  // Decodes the next bytes into the buffer; none at the stream's clean end.
  PatchFault Decode() {
    next_ = end_ = 0;
    while (end_ == 0) {
      if (used_ == coded_.size()) {
        return frameOpen_ ? PatchFault::kCorruptStream : PatchFault::kNone;
      }
      ZSTD_inBuffer input{coded_.data(), coded_.size(), used_};
      ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
      const size_t result = ZSTD_decompressStream(context_.get(), &output, &input);
      if (ZSTD_isError(result)) {
        return ZSTD_getErrorCode(result) == ZSTD_error_frameParameter_windowTooLarge
                   ? PatchFault::kTooLarge
                   : PatchFault::kCorruptStream;
      }
      if (input.pos == used_ && output.pos == 0) {
        return PatchFault::kCorruptStream;  // no progress
      }
      used_ = input.pos;
      end_ = output.pos;
      frameOpen_ = result != 0;
    }
    return PatchFault::kNone;
  }

  std::unique_ptr<ZSTD_DCtx, DContextFree> context_;
  std::span<const uint8_t> coded_;
  size_t used_ = 0;
  bool frameOpen_ = false;
  std::vector<uint8_t> buffer_;
  size_t next_ = 0;
  size_t end_ = 0;
};

struct Triple {
  int64_t seek = 0;
  uint64_t add = 0;
  uint64_t extra = 0;
};

PatchFault ReadVarint(StreamReader& control, uint64_t& value) {
  value = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    uint8_t byte = 0;
    if (const PatchFault fault = control.Read({&byte, 1}); fault != PatchFault::kNone) {
      return fault;
    }
    if (shift == 63 && byte > 1) {
      return PatchFault::kBadControl;
    }
    value |= uint64_t{byte & 0x7FU} << shift;
    if ((byte & 0x80U) == 0) {
      return PatchFault::kNone;
    }
  }
  return PatchFault::kBadControl;
}

PatchFault ReadTriple(StreamReader& control, Triple& triple) {
  uint64_t seek = 0;
  PatchFault fault = ReadVarint(control, seek);
  if (fault == PatchFault::kNone) {
    fault = ReadVarint(control, triple.add);
  }
  if (fault == PatchFault::kNone) {
    fault = ReadVarint(control, triple.extra);
  }
  triple.seek = UnZigZag(seek);
  return fault;
}

// The state of one application: positions in both files and the new file's hash.
struct Application {
  Application(const OldReader& reader, const NewWriter& writer, uint64_t oldLength,
              uint64_t newLength)
      : old(reader), out(writer), oldSize(oldLength), newSize(newLength) {}

  const OldReader& old;
  const NewWriter& out;
  uint64_t oldSize;
  uint64_t newSize;
  uint64_t oldPos = 0;
  uint64_t newPos = 0;
  Sha256 hash;
  std::vector<uint8_t> oldBytes = std::vector<uint8_t>(kChunk);
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kChunk);

  // Moves the old position by SEEK and checks the triple against both files.
  PatchFault Check(const Triple& triple) {
    if (triple.add == 0 && triple.extra == 0) {
      return PatchFault::kBadControl;  // every triple makes progress
    }
    const bool back = triple.seek < 0;
    const uint64_t distance = back ? ~static_cast<uint64_t>(triple.seek) + 1
                                   : static_cast<uint64_t>(triple.seek);
    if (back ? distance > oldPos : distance > oldSize - oldPos) {
      return PatchFault::kBadControl;
    }
    oldPos = back ? oldPos - distance : oldPos + distance;
    const uint64_t room = newSize - newPos;
    if (triple.add > room || triple.add > oldSize - oldPos || triple.extra > room - triple.add) {
      return PatchFault::kBadControl;
    }
    return PatchFault::kNone;
  }

  PatchFault Emit(std::span<const uint8_t> piece) {
    hash.Update(piece);
    newPos += piece.size();
    return out(piece) ? PatchFault::kNone : PatchFault::kWriteFailed;
  }

  // ADD bytes of the old file plus the difference stream's.
  PatchFault Add(StreamReader& diff, uint64_t add) {
    while (add > 0) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(add, kChunk));
      const std::span<uint8_t> piece(bytes.data(), count);
      if (!old(oldPos, {oldBytes.data(), count})) {
        return PatchFault::kReadFailed;
      }
      if (const PatchFault fault = diff.Read(piece); fault != PatchFault::kNone) {
        return fault;
      }
      for (size_t i = 0; i < count; ++i) {
        piece[i] = static_cast<uint8_t>(piece[i] + oldBytes[i]);
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
      const std::span<uint8_t> piece(bytes.data(),
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

  // Whether the old file is the one HEADER names.
  PatchFault CheckBase(const PatchHeader& header) {
    Sha256 base;
    for (uint64_t at = 0; at < oldSize;) {
      const std::span<uint8_t> piece(oldBytes.data(),
                                     static_cast<size_t>(std::min<uint64_t>(oldSize - at, kChunk)));
      if (!old(at, piece)) {
        return PatchFault::kReadFailed;
      }
      base.Update(piece);
      at += piece.size();
    }
    return base.Finish() == header.oldSha256 ? PatchFault::kNone : PatchFault::kWrongBase;
  }
};

// The streams of PATCH as HEADER divides them.
std::span<const uint8_t> StreamAt(std::span<const uint8_t> patch, uint64_t offset, uint64_t size) {
  return patch.subspan(static_cast<size_t>(kHeaderSize + offset), static_cast<size_t>(size));
}

PatchFault Run(Application& run, const PatchHeader& header, std::span<const uint8_t> patch) {
  StreamReader control(StreamAt(patch, 0, header.controlSize), header.windowLog);
  StreamReader diff(StreamAt(patch, header.controlSize, header.diffSize), header.windowLog);
  StreamReader extra(StreamAt(patch, header.controlSize + header.diffSize, header.extraSize),
                     header.windowLog);
  while (run.newPos < run.newSize) {
    Triple triple;
    PatchFault fault = ReadTriple(control, triple);
    if (fault == PatchFault::kNone) {
      fault = run.Check(triple);
    }
    if (fault == PatchFault::kNone) {
      fault = run.Add(diff, triple.add);
    }
    if (fault == PatchFault::kNone) {
      fault = run.Extra(extra, triple.extra);
    }
    if (fault != PatchFault::kNone) {
      return fault;
    }
  }
  for (StreamReader* stream : {&control, &diff, &extra}) {
    if (const PatchFault fault = stream->Finish(); fault != PatchFault::kNone) {
      return fault;
    }
  }
  return run.hash.Finish() == header.newSha256 ? PatchFault::kNone : PatchFault::kWrongResult;
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
  Application run(old, out, oldSize, header->newSize);
  fault = run.CheckBase(*header);
  return fault == PatchFault::kNone ? Run(run, *header, patch) : fault;
}

PatchFault ApplyPatch(std::span<const uint8_t> old, std::span<const uint8_t> patch,
                      std::vector<uint8_t>& out, const ApplyLimits& limits) {
  out.clear();
  const OldReader reader = [old](uint64_t offset, std::span<uint8_t> into) {
    if (into.empty()) {
      return true;
    }
    if (offset > old.size() || into.size() > old.size() - offset) {
      return false;
    }
    std::memcpy(into.data(), old.data() + offset, into.size());
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
