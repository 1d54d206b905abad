// The decoder engine of TUnZip: the machinery every ZIP decompression
// method shares (chunked compressed input with traditional PKWARE decryption
// already applied, bit reading, the output buffer with its flush, the work
// area), and the entry points of the three legacy decoders that plug into it:
//
//   method 1        shrunk    ExpandShrunk    unzip/expand_shrunk.cpp
//   methods 2 to 5  reduced   ExpandReduced   unzip/expand_reduced.cpp
//   method 6        imploded  ExpandImploded  unzip/expand_imploded.cpp
//
// (APPNOTE sections 5.1 shrinking, 5.2 reducing, 5.3 imploding.)
//
// Build wiring: unzip/CMakeLists.txt compiles each expand_*.cpp above when the
// file exists and then defines LUMIVORA_HAVE_EXPAND_SHRUNK / _REDUCED /
// _IMPLODED for the library; FindLegacyDecoder() (unzip/legacy_dispatch.cpp)
// returns the decoder for a method, or nullptr while its file is absent, in
// which case TUnZip takes its "Unknown Compression Method" path.
// Tests of the decoders go into tests/unzip/expand_*_test.cpp; the
// tests/unzip/CMakeLists.txt collects them into the program unzip_legacy_test
// (linked with lumivora_unzip and GTest). They can drive a decoder directly
// with a DecoderIo of their own (see the contract below) and compare the
// flushed blocks with the expected bytes, and later through TUnZip itself.
//
// Contract for a decoder function `void ExpandX(DecoderState& state)`:
// - On entry the state is reset for one entry: bit buffer and bit count 0,
//   end-of-input flag clear, input and output buffers empty. Flags(),
//   Method(), UncompressedSize() describe the entry (Flags() bit 1 and bit 2
//   are the implode options; Method() - 1 is the reduce compression factor).
// - Input comes only from ReadCompressedByte() or the bit readers built on it
//   (NeedBits/PeekBits/DropBits for implode, ReadBits for shrink and reduce).
//   Decryption, chunking (16000 bytes), message processing before each chunk
//   and the "Premature end of file reached" error all happen underneath.
// - Output goes only through PutByte(), PutBytes(), TransferWindow() and a
//   final FlushOutput(). Every flush of the output buffer passes the size
//   guard (EBiggerThanUncompressed "File is larger than uncompressed size!"),
//   the CRC-32 register and the percentage events; let those exceptions pass
//   through, never catch them.
// - The decoder decodes the whole entry and returns. On invalid data it calls
//   Fail() with the kind of fault and returns, without a message or exception
//   (call DiscardOutput() first when the pending output buffer must be
//   dropped); the caller reads the fault from the state.
// - Windows live in WorkArea() (32780 bytes: implode's 32768-byte window,
//   reduce's 16384-byte window plus the follower sets). Larger or typed tables
//   (shrink's prefix/suffix/stack, implode's Shannon-Fano lookup tables) may
//   be std::array / std::vector members of the decoder's own objects created
//   once per entry; never allocate per byte. When a table allocation fails
//   (std::bad_alloc), release what was built, Fail(DecodeFault::kOutOfMemory)
//   and return (TUnZip shows "*** inflate out of memory ***" for it).
// - No per-byte virtual call: the hot members below are inline and only
//   reach DecoderIo once per 16000-byte chunk or block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace lumivora::unzip {

// Sizes of the extraction buffers (allocated once per UnZip run).
inline constexpr size_t kChunkSize = 16000;           // largest read from the archive
inline constexpr size_t kIoBufferAllocation = 16001;  // input and output buffers
inline constexpr size_t kOutputBlockSize = 16000;     // output buffer written when full
inline constexpr size_t kWorkAreaSize = 32780;        // windows of the decoders
inline constexpr size_t kDeflateWindowSize = 32768;
inline constexpr size_t kImplodeWindowSize = 32768;
inline constexpr size_t kReduceWindowSize = 16384;

// Why a decoder stopped before the end of its coded stream (kNone: it did
// not). Distinct kinds, so that damaged data is told from a wrong password.
enum class DecodeFault : uint8_t {
  kNone,
  kTruncated,           // the entry's data ended inside the coded stream
  kLongerThanDeclared,  // more output than the uncompressed size (the size guard)
  kBadBlockType,        // deflate block type 3
  kBadStoredLength,     // a stored block's length and its complement disagree
  kTooManyCodes,        // more length or distance codes than the format has
  kBadCodeLengths,      // an over-subscribed or incomplete code, a bad repeat
  kBadCode,             // a code that the tables leave undefined
  kDistanceTooFar,      // a match reaching before the entry's first byte
  kOutOfMemory,         // a decoding table could not be allocated
};

// The component side of the engine: one call per chunk or block, never per byte.
class DecoderIo {
 public:
  DecoderIo() = default;
  DecoderIo(const DecoderIo&) = delete;
  DecoderIo& operator=(const DecoderIo&) = delete;
  virtual ~DecoderIo() = default;

  // Reads the next chunk of the entry's data into BUFFER (kChunkSize bytes
  // long): exactly min(compressed bytes left, kChunkSize) bytes, decrypted
  // when the entry is encrypted, and returns that count. Only called while
  // compressed bytes remain. Raises EFatalUnzipError "Premature end of file
  // reached" when the archive ends early (EUserCanceled "User Aborted
  // Operation" in a multi-disk set whose next disk cannot be opened).
  virtual size_t ReadChunk(std::span<uint8_t> buffer) = 0;
  // Lets the window toolkit process pending messages (called before each
  // chunk when the component's DoProcessMessages is set).
  virtual void ProcessMessages() = 0;
  // Writes one block of decoded bytes: size guard first (raises
  // EBiggerThanUncompressed and writes nothing of the block when the output
  // would pass the uncompressed size), then the write, the CRC-32 register
  // and the OnFilePercentDone/OnTotalPercentDone events.
  virtual void WriteBlock(std::span<const uint8_t> block) = 0;
};

// Decoder state of one entry (bit buffer, buffers, counters).
class DecoderState {
 public:
  struct Entry {
    int64_t compressedSize = 0;  // data bytes after any encryption header
    uint32_t uncompressedSize = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
  };

  // INPUT and OUTPUT need at least kChunkSize / kOutputBlockSize bytes,
  // WORKAREA kWorkAreaSize bytes; they outlive the state.
  DecoderState(DecoderIo& io, std::span<uint8_t> input, std::span<uint8_t> output,
               std::span<uint8_t> workArea, bool processMessages)
      : io_(io),
        input_(input.first(kChunkSize)),
        output_(output.first(kOutputBlockSize)),
        workArea_(workArea.first(kWorkAreaSize)),
        processMessages_(processMessages) {}

  // Prepares the state for one entry (done by TUnZip before each decoder).
  void Reset(const Entry& entry) {
    entry_ = entry;
    remaining_ = entry.compressedSize;
    inputFill_ = 0;
    inputPos_ = 0;
    outputFill_ = 0;
    bitBuffer_ = 0;
    bitCount_ = 0;
    endOfInput_ = false;
    lastByte_ = 0;
    bytesFlushed_ = 0;
    fault_ = DecodeFault::kNone;
  }

  [[nodiscard]] uint16_t Flags() const { return entry_.flags; }
  [[nodiscard]] uint16_t Method() const { return entry_.method; }
  [[nodiscard]] uint32_t UncompressedSize() const { return entry_.uncompressedSize; }
  // Compressed bytes not yet delivered by ReadCompressedByte.
  [[nodiscard]] int64_t CompressedLeft() const { return remaining_; }
  // Bytes passed to DecoderIo::WriteBlock so far for this entry.
  [[nodiscard]] uint64_t BytesFlushed() const { return bytesFlushed_; }
  [[nodiscard]] std::span<uint8_t> WorkArea() const { return workArea_; }

  // ---- input -------------------------------------------------------------
  // The next compressed byte, or false when the entry's data is used up.
  bool ReadCompressedByte(uint8_t& byte) {
    if (remaining_ <= 0) {
      return false;
    }
    --remaining_;
    if (inputPos_ == inputFill_) {
      RefillInput();
    }
    byte = input_[inputPos_++];
    return true;
  }

  // Need-and-drop bit reading, least significant bit first (RFC 1951 3.1.1),
  // used by implode. N is at most 24. When the data is used up, the byte
  // fetched last is placed again (filler that a well-formed stream never
  // consumes).
  void NeedBits(unsigned n) {
    while (bitCount_ < n) {
      uint8_t byte = 0;
      if (ReadCompressedByte(byte)) {
        lastByte_ = byte;
      }
      bitBuffer_ |= static_cast<uint32_t>(lastByte_) << bitCount_;
      bitCount_ += 8;
    }
  }
  // The low N bits held (after NeedBits(N)).
  [[nodiscard]] uint32_t PeekBits(unsigned n) const {
    return n >= 32 ? bitBuffer_ : (bitBuffer_ & ((uint32_t{1} << n) - 1U));
  }
  void DropBits(unsigned n) {
    bitBuffer_ = n >= 32 ? 0 : (bitBuffer_ >> n);
    bitCount_ = n >= bitCount_ ? 0 : bitCount_ - n;
  }
  // NeedBits + PeekBits + DropBits.
  uint32_t TakeBits(unsigned n) {
    NeedBits(n);
    const uint32_t value = PeekBits(n);
    DropBits(n);
    return value;
  }

  // Bit reading of shrink and reduce (N at most 24): when fewer than N bits
  // are held, set the end-of-input flag, then while fewer than 25 bits are
  // held and a byte comes, add it above the held bits and clear the flag.
  // Returns the low N bits (zeros where nothing came) and drops them.
  uint32_t ReadBits(unsigned n) {
    if (bitCount_ < n) {
      endOfInput_ = true;
      uint8_t byte = 0;
      while (bitCount_ < 25 && ReadCompressedByte(byte)) {
        bitBuffer_ |= static_cast<uint32_t>(byte) << bitCount_;
        bitCount_ += 8;
        endOfInput_ = false;
      }
    }
    const uint32_t value = PeekBits(n);
    DropBits(n);
    return value;
  }
  // Set by ReadBits when a top-up found no byte at all.
  [[nodiscard]] bool EndOfInput() const { return endOfInput_; }

  // ---- output ------------------------------------------------------------
  // Appends one byte to the output buffer, flushing it when it holds 16000.
  void PutByte(uint8_t byte) {
    output_[outputFill_++] = byte;
    if (outputFill_ == output_.size()) {
      FlushOutput();
    }
  }
  // Appends COUNT bytes (one move per piece that fits, flushing at 16000).
  void PutBytes(const uint8_t* data, size_t count) {
    while (count > 0) {
      const size_t piece = std::min(count, output_.size() - outputFill_);
      std::memcpy(output_.data() + outputFill_, data, piece);
      outputFill_ += piece;
      data += piece;
      count -= piece;
      if (outputFill_ == output_.size()) {
        FlushOutput();
      }
    }
  }
  // Passes the first COUNT bytes of a decoder's window to the output buffer.
  void TransferWindow(const uint8_t* window, size_t count) { PutBytes(window, count); }
  // Writes the output buffer (nothing when empty): size guard, write, CRC,
  // progress events; then empties it.
  void FlushOutput() {
    if (outputFill_ == 0) {
      return;
    }
    const size_t count = outputFill_;
    outputFill_ = 0;
    io_.WriteBlock(std::span<const uint8_t>(output_.data(), count));
    bytesFlushed_ += count;
  }
  // Drops the bytes pending in the output buffer (invalid data).
  void DiscardOutput() { outputFill_ = 0; }
  // The output buffer itself, for a decoder that fills it directly; commit
  // the bytes written with CommitOutput.
  [[nodiscard]] std::span<uint8_t> OutputSpace() const { return output_.subspan(outputFill_); }
  void CommitOutput(size_t count) {
    outputFill_ += std::min(count, output_.size() - outputFill_);
    if (outputFill_ == output_.size()) {
      FlushOutput();
    }
  }
  [[nodiscard]] size_t OutputPending() const { return outputFill_; }

  // Records why the decoder stops (the first fault stays).
  void Fail(DecodeFault fault) {
    if (fault_ == DecodeFault::kNone) {
      fault_ = fault;
    }
  }
  [[nodiscard]] DecodeFault Fault() const { return fault_; }

  // Chunked input for a decoder that consumes whole chunks (deflate): the
  // unread rest of the input buffer, refilled when empty; all of it counts
  // as delivered. Empty when the entry's data is used up.
  std::span<const uint8_t> TakeInput() {
    if (inputPos_ == inputFill_) {
      if (remaining_ <= 0) {
        return {};
      }
      RefillInput();
    }
    const std::span<const uint8_t> rest(input_.data() + inputPos_, inputFill_ - inputPos_);
    remaining_ -= static_cast<int64_t>(rest.size());
    inputPos_ = inputFill_;
    return rest;
  }

 private:
  void RefillInput() {
    if (processMessages_) {
      io_.ProcessMessages();
    }
    inputFill_ = io_.ReadChunk(input_);
    inputPos_ = 0;
  }

  DecoderIo& io_;
  std::span<uint8_t> input_;
  std::span<uint8_t> output_;
  std::span<uint8_t> workArea_;
  bool processMessages_;
  Entry entry_;
  int64_t remaining_ = 0;
  size_t inputFill_ = 0;
  size_t inputPos_ = 0;
  size_t outputFill_ = 0;
  uint32_t bitBuffer_ = 0;
  unsigned bitCount_ = 0;
  bool endOfInput_ = false;
  uint8_t lastByte_ = 0;
  uint64_t bytesFlushed_ = 0;
  DecodeFault fault_ = DecodeFault::kNone;
};

// The legacy decoders (each in its own file, see above).
void ExpandShrunk(DecoderState& state);    // method 1
void ExpandReduced(DecoderState& state);   // methods 2-5, factor Method() - 1
void ExpandImploded(DecoderState& state);  // method 6

using LegacyDecoder = void (*)(DecoderState& state);
// The decoder for METHOD (1 to 6) when it is built in, nullptr otherwise.
LegacyDecoder FindLegacyDecoder(uint16_t method);

}  // namespace lumivora::unzip
