// TLFNFileStream: reads of the archive served from one buffer, large ones
// straight from the file.
#include "unzip/lfn_file_stream.h"

#include <algorithm>

#include "platform/exception.h"

namespace lumivora::unzip {

void TLFNFileStream::Open(const std::string& path) {
  file_.reset();
  file_.emplace(platform::File::Open(path, platform::File::Mode::kRead));
  size_ = file_->Size();
  bufferStart_ = 0;
  fill_ = 0;
  pos_ = 0;
}

void TLFNFileStream::Close() {
  file_.reset();
  fill_ = 0;
  pos_ = 0;
  bufferStart_ = 0;
  size_ = 0;
}

size_t TLFNFileStream::Read(void* buffer, size_t size) {
  if (!IsOpen()) {
    throw EReadError("Stream read error");
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  const size_t buffered = std::min(size, fill_ - pos_);
  if (buffered > 0) {
    std::copy_n(buffer_.data() + pos_, buffered, out);
    pos_ += buffered;
    done = buffered;
  }
  if (done == size) {
    return done;
  }
  const int64_t position = Position();
  if (size - done >= kBufferSize) {
    // Large reads go straight to the file.
    file_->Seek(position);
    const size_t n = file_->Read(out + done, size - done);
    bufferStart_ = position + static_cast<int64_t>(n);
    fill_ = 0;
    pos_ = 0;
    return done + n;
  }
  file_->Seek(position);
  bufferStart_ = position;
  fill_ = file_->Read(buffer_.data(), kBufferSize);
  pos_ = 0;
  const size_t n = std::min(size - done, fill_);
  std::copy_n(buffer_.data(), n, out + done);
  pos_ = n;
  return done + n;
}

bool TLFNFileStream::ReadByteSlow(uint8_t& byte) {
  return Read(&byte, 1) == 1;
}

void TLFNFileStream::Seek(int64_t position) {
  if (position < 0) {
    position = 0;
  }
  if (position >= bufferStart_ && position <= bufferStart_ + static_cast<int64_t>(fill_)) {
    pos_ = static_cast<size_t>(position - bufferStart_);
    return;
  }
  bufferStart_ = position;
  fill_ = 0;
  pos_ = 0;
}

}  // namespace lumivora::unzip
