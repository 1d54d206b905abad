// The decode step of an entry: chunked reads of its data range with
// traditional PKWARE decryption (APPNOTE 6.1), and the decoder by method
// (APPNOTE 4.4.5): the stored copy, raw Deflate (RFC 1951) through zlib, and
// the legacy decoders of legacy_decoders.h.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "unzip/chunk_pipeline.h"
#include "unzip/entry_decoder.h"
#include "unzip/zip_archive.h"
#include "unzip/zip_format.h"

namespace lumivora::unzip {

namespace {

struct InflateEnd {
  void operator()(z_stream* stream) const { inflateEnd(stream); }
};

// The next chunk of INPUT (at most kChunkSize bytes), decrypted when
// DECRYPTOR is set.
size_t ReadAndDecrypt(EntryInput& input, TraditionalCipher* decryptor, std::span<uint8_t> buffer) {
  const size_t n = input.Read(buffer.first(std::min(buffer.size(), kChunkSize)));
  if (decryptor != nullptr) {
    decryptor->DecryptBuffer(buffer.data(), n);
  }
  return n;
}

// The decoders' view of one entry: chunks read from the input and
// decrypted, blocks handed to the sink.
class EntryIo final : public DecoderIo {
 public:
  EntryIo(EntryInput& input, TraditionalCipher* decryptor, EntrySink& sink)
      : input_(input), decryptor_(decryptor), sink_(sink) {}

  size_t ReadChunk(std::span<uint8_t> buffer) override {
    return ReadAndDecrypt(input_, decryptor_, buffer);
  }
  void ProcessMessages() override { sink_.ProcessMessages(); }
  void WriteBlock(std::span<const uint8_t> block) override { sink_.WriteBlock(block); }
  [[nodiscard]] int64_t Left() const { return input_.Left(); }

 private:
  EntryInput& input_;
  TraditionalCipher* decryptor_;
  EntrySink& sink_;
};

// The same view with the reading and decryption on a worker thread, chunks
// ahead of the decoder (ChunkPipeline), and, when the sink writes a file,
// the writing and CRC-32 on a second worker, blocks behind it (BlockWriter).
// The input and the decryptor belong to the first worker until the pipeline
// is destroyed; the decoder, the size guard, every event and the message
// processing stay on this thread.
class PipelinedIo final : public DecoderIo {
 public:
  PipelinedIo(EntryInput& input, TraditionalCipher* decryptor, EntrySink& sink)
      : left_(input.Left()),
        sink_(sink),
        pipeline_(kChunkSize, [&input, decryptor](std::span<uint8_t> buffer) -> size_t {
          return input.Left() > 0 ? ReadAndDecrypt(input, decryptor, buffer) : 0;
        }) {
    if (sink.StoreOffThread()) {
      writer_.emplace(
          kOutputBlockSize,
          [&sink](std::span<const std::span<const uint8_t>> blocks, size_t& stored) {
            sink.StoreBlocks(blocks, stored);
          },
          [&sink](size_t size) { sink.ReportBlock(size); });
    }
  }

  // The worker has read and decrypted it already, or is at it; its error
  // (a premature end) is raised here, where the serial read would raise it.
  size_t ReadChunk(std::span<uint8_t> buffer) override {
    const std::span<const uint8_t> chunk = pipeline_.Next();
    std::copy(chunk.begin(), chunk.end(), buffer.begin());
    left_ -= static_cast<int64_t>(chunk.size());
    return chunk.size();
  }
  void ProcessMessages() override { sink_.ProcessMessages(); }
  void WriteBlock(std::span<const uint8_t> block) override {
    if (!writer_.has_value()) {
      sink_.WriteBlock(block);
      return;
    }
    sink_.AcceptBlock(block.size());
    writer_->Put(block);
  }
  [[nodiscard]] int64_t Left() const { return left_; }
  // Stores and reports every block put: at the end of the entry, and before
  // any error of the decoding side leaves it, so that the blocks decoded
  // before the error are written and reported, as a serial run would have;
  // a failed write among them is raised instead, as a serial run would have.
  void Drain() {
    if (writer_.has_value()) {
      writer_->Drain();
    }
  }

 private:
  int64_t left_;  // bytes not yet handed to the decoder
  EntrySink& sink_;
  ChunkPipeline pipeline_;
  std::optional<BlockWriter> writer_;
};

// Method 0: chunks go straight into the output buffer; no message
// processing here.
template <typename Io>
void CopyStored(DecoderState& state, Io& io) {
  while (io.Left() > 0) {
    const std::span<uint8_t> space = state.OutputSpace();
    const size_t n = io.ReadChunk(space);
    state.CommitOutput(n);
    state.FlushOutput();
  }
}

// The kind of fault behind zlib's message for invalid raw Deflate data.
DecodeFault InflateFault(const char* message) {
  struct Kind {
    const char* message;
    DecodeFault fault;
  };
  static constexpr Kind kKinds[] = {
      {"invalid block type", DecodeFault::kBadBlockType},
      {"invalid stored block lengths", DecodeFault::kBadStoredLength},
      {"too many length or distance symbols", DecodeFault::kTooManyCodes},
      {"invalid code lengths set", DecodeFault::kBadCodeLengths},
      {"invalid bit length repeat", DecodeFault::kBadCodeLengths},
      {"invalid code -- missing end-of-block", DecodeFault::kBadCodeLengths},
      {"invalid literal/lengths set", DecodeFault::kBadCodeLengths},
      {"invalid distances set", DecodeFault::kBadCodeLengths},
      {"invalid distance too far back", DecodeFault::kDistanceTooFar},
  };
  for (const Kind& kind : kKinds) {
    if (message != nullptr && std::strcmp(message, kind.message) == 0) {
      return kind.fault;
    }
  }
  return DecodeFault::kBadCode;  // "invalid literal/length code", "invalid distance code"
}

// Method 8: raw Deflate, no zlib header or trailer.
void InflateDeflated(DecoderState& state) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    state.Fail(DecodeFault::kOutOfMemory);
    return;
  }
  const std::unique_ptr<z_stream, InflateEnd> guard(&stream);
  for (;;) {
    if (stream.avail_in == 0) {
      const std::span<const uint8_t> input = state.TakeInput();
      // zlib's interface is not const-correct; it never writes the input.
      stream.next_in = const_cast<Bytef*>(input.data());  // NOLINT
      stream.avail_in = static_cast<uInt>(input.size());
    }
    const std::span<uint8_t> space = state.OutputSpace();
    stream.next_out = space.data();
    stream.avail_out = static_cast<uInt>(space.size());
    const uInt inputBefore = stream.avail_in;
    const int status = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = space.size() - stream.avail_out;
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR) {
      // Invalid data (including a distance before the entry's first byte),
      // or no memory for the window: pending bytes are dropped.
      state.DiscardOutput();
      state.Fail(status == Z_MEM_ERROR ? DecodeFault::kOutOfMemory : InflateFault(stream.msg));
      return;
    }
    state.CommitOutput(produced);
    if (status == Z_STREAM_END) {
      state.FlushOutput();
      return;
    }
    if (produced == 0 && stream.avail_in == inputBefore && stream.avail_in == 0 &&
        state.CompressedLeft() <= 0) {
      // The entry's data ended before the final block.
      state.DiscardOutput();
      state.Fail(DecodeFault::kTruncated);
      return;
    }
  }
}

}  // namespace

bool EntryInput::OnMultiDiskSet() const {
  return archive_.IsMultiDisk();
}

size_t EntryInput::Read(std::span<uint8_t> buffer) {
  const auto n =
      static_cast<size_t>(std::clamp<int64_t>(left_, 0, static_cast<int64_t>(buffer.size())));
  left_ -= static_cast<int64_t>(n);
  TLFNFileStream& stream = archive_.Stream();
  size_t got = stream.Read(buffer.data(), n);
  while (got < n) {
    // Past the end of a single archive, or past the last disk of a set.
    if (!archive_.IsMultiDisk() || !archive_.HasNextDiskHandler() ||
        archive_.CurrentDisk() + 1 >= archive_.NumberOfDisks()) {
      throw EFatalUnzipError("Premature end of file reached");
    }
    try {
      archive_.OpenDisk(archive_.CurrentDisk() + 2);
    } catch (const EStreamError&) {
      throw EUserCanceled("User Aborted Operation");
    }
    const size_t more = stream.Read(buffer.data() + got, n - got);
    if (more == 0 && stream.Size() == 0) {
      continue;  // an empty disk: go on to the next one
    }
    got += more;
  }
  return n;
}

bool CanDecode(uint16_t method) {
  return method == zip::kMethodStored || method == zip::kMethodDeflated ||
         FindLegacyDecoder(method) != nullptr;
}

namespace {

// The decoder of CODING's method over IO (LEGACY for methods 1 to 6). The
// size guard's EBiggerThanUncompressed unwinds the decoder and ends here as
// the fault kLongerThanDeclared; every other error passes.
template <typename Io>
DecodeFault RunDecoder(const EntryCoding& coding, int64_t compressedSize, Io& io,
                       LegacyDecoder legacy, DecodeBuffers& buffers, bool processMessages) {
  DecoderState state(io, buffers.input, buffers.output, buffers.workArea, processMessages);
  DecoderState::Entry entry;
  entry.compressedSize = compressedSize;
  entry.uncompressedSize = coding.uncompressedSize;
  entry.flags = coding.flags;
  entry.method = coding.method;
  state.Reset(entry);
  try {
    if (coding.method == zip::kMethodStored) {
      CopyStored(state, io);
    } else if (coding.method == zip::kMethodDeflated) {
      InflateDeflated(state);
    } else {
      legacy(state);
    }
  } catch (const EBiggerThanUncompressed&) {
    return DecodeFault::kLongerThanDeclared;
  }
  return state.Fault();
}

}  // namespace

DecodeFault DecodeEntry(const EntryCoding& coding, EntryInput& input, TraditionalCipher* decryptor,
                        EntrySink& sink, DecodeBuffers& buffers, bool processMessages) {
  const LegacyDecoder legacy = FindLegacyDecoder(coding.method);
  const int64_t compressedSize = input.Left();
  if (ShouldPipeline(GetPipelineMode(), coding.method, compressedSize, input.OnMultiDiskSet(),
                     std::thread::hardware_concurrency())) {
    std::optional<PipelinedIo> pipelined;
    try {
      pipelined.emplace(input, decryptor, sink);
    } catch (const std::system_error&) {
      // No thread to be had: the entry is decoded serially below.
    }
    if (pipelined.has_value()) {
      DecodeFault fault = DecodeFault::kNone;
      try {
        fault = RunDecoder(coding, compressedSize, *pipelined, legacy, buffers, processMessages);
      } catch (...) {
        pipelined->Drain();
        throw;
      }
      pipelined->Drain();
      return fault;
    }
  }
  EntryIo io(input, decryptor, sink);
  return RunDecoder(coding, compressedSize, io, legacy, buffers, processMessages);
}

}  // namespace lumivora::unzip
