// The decoding half of an extraction run: chunked reads of the entry's data
// with traditional PKWARE decryption (APPNOTE 6.1), the output blocks with
// their size guard, CRC-32 register and percentage events, the stored copy
// and raw Deflate (RFC 1951) through zlib.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "platform/ui.h"
#include "unzip/extraction.h"

namespace lumivora::unzip {

namespace {

// Percent of PART in WHOLE rounded to the nearest integer, ties to even,
// capped at 100; 0 for an empty whole.
int Percent(double part, double whole) {
  if (whole <= 0) {
    return 0;
  }
  const double value = std::nearbyint(part * 100.0 / whole);
  return value >= 100.0 ? 100 : static_cast<int>(value);
}

struct InflateEnd {
  void operator()(z_stream* stream) const { inflateEnd(stream); }
};

}  // namespace

size_t ExtractionRun::ReadChunk(std::span<uint8_t> buffer) {
  const auto n = static_cast<size_t>(
      std::clamp<int64_t>(compressedLeft_, 0, static_cast<int64_t>(kChunkSize)));
  compressedLeft_ -= static_cast<int64_t>(n);
  size_t got = owner_.zipStream_.Read(buffer.data(), n);
  while (got < n) {
    const bool multiDisk = owner_.endCentral_.thisDisk != 0;
    if (!multiDisk || !owner_.OnGetNextDisk) {
      throw EFatalUnzipError("Premature end of file reached");
    }
    if (owner_.currentDisk_ + 1 >= owner_.numberOfDisks_) {
      // Past the last disk of the set: the set itself is short.
      throw EFatalUnzipError("Premature end of file reached");
    }
    try {
      owner_.OpenDisk(owner_.currentDisk_ + 2);
    } catch (const EStreamError&) {
      throw EUserCanceled("User Aborted Operation");
    }
    const size_t more = owner_.zipStream_.Read(buffer.data() + got, n - got);
    if (more == 0 && owner_.zipStream_.Size() == 0) {
      continue;  // an empty disk: go on to the next one
    }
    got += more;
  }
  if (work_.Encrypted()) {
    cipher_.DecryptBuffer(buffer.data(), n);
  }
  return n;
}

void ExtractionRun::ProcessMessages() {
  owner_.ProcessMessages();
}

void ExtractionRun::WriteBlock(std::span<const uint8_t> block) {
  const size_t n = block.size();
  if (written_ + n > work_.uncompressedSize) {
    throw EBiggerThanUncompressed("File is larger than uncompressed size!");
  }
  if (outFile_.has_value()) {
    outFile_->Write(block.data(), n);  // raises EWriteError on a short write
  }
  crc_ = UpdateCrc(crc_, block.data(), n);
  written_ += n;
  if (owner_.OnFilePercentDone) {
    owner_.OnFilePercentDone(owner_, Percent(static_cast<double>(written_),
                                             static_cast<double>(work_.uncompressedSize)));
  }
  if (owner_.OnTotalPercentDone) {
    runningTotal_ += static_cast<int64_t>(n);
    owner_.OnTotalPercentDone(
        owner_, Percent(static_cast<double>(runningTotal_), static_cast<double>(selectedTotal_)));
  }
}

void ExtractionRun::ReportOutOfMemory() {
  if (owner_.ui_ != nullptr) {
    platform::MessageBoxRequest request;
    request.caption = "Error";
    request.text = "*** inflate out of memory ***";
    request.buttons = platform::MessageButtons::kOk;
    owner_.ui_->ShowMessage(request);
  }
}

uint8_t ExtractionRun::ReadEncryptionHeader(const std::string& password) {
  std::array<uint8_t, 12> header{};
  owner_.zipStream_.Read(header.data(), header.size());
  compressedLeft_ -= 12;
  cipher_.InitCipherKeys(password);
  cipher_.DecryptBuffer(header.data(), header.size());
  return header[11];
}

void ExtractionRun::CopyStored() {
  // Chunks go straight into the output buffer; no message processing here.
  while (compressedLeft_ > 0) {
    const std::span<uint8_t> space = state_.OutputSpace();
    const size_t n = ReadChunk(space);
    state_.CommitOutput(n);
    state_.FlushOutput();
  }
}

void ExtractionRun::InflateDeflated() {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    ReportOutOfMemory();
    return;
  }
  const std::unique_ptr<z_stream, InflateEnd> guard(&stream);
  for (;;) {
    if (stream.avail_in == 0) {
      const std::span<const uint8_t> input = state_.TakeInput();
      // zlib's interface is not const-correct; it never writes the input.
      stream.next_in = const_cast<Bytef*>(input.data());  // NOLINT
      stream.avail_in = static_cast<uInt>(input.size());
    }
    const std::span<uint8_t> space = state_.OutputSpace();
    stream.next_out = space.data();
    stream.avail_out = static_cast<uInt>(space.size());
    const uInt inputBefore = stream.avail_in;
    const int status = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = space.size() - stream.avail_out;
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT) {
      // Invalid data (including a distance before the entry's first byte):
      // pending bytes are dropped; the CRC comparison fails the entry.
      state_.DiscardOutput();
      return;
    }
    if (status == Z_MEM_ERROR) {
      state_.DiscardOutput();
      ReportOutOfMemory();
      return;
    }
    state_.CommitOutput(produced);
    if (status == Z_STREAM_END) {
      state_.FlushOutput();
      return;
    }
    if (produced == 0 && stream.avail_in == inputBefore && stream.avail_in == 0 &&
        state_.CompressedLeft() <= 0) {
      // The entry's data ended before the final block.
      state_.DiscardOutput();
      return;
    }
  }
}

}  // namespace lumivora::unzip
