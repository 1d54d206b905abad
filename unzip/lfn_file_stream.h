// Internal to TUnZip: TLFNFileStream, the archive file read through one
// 8192-byte buffer, so that the byte-by-byte local-header scan and the many
// small header reads do not each reach the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace lumivora::unzip {

// The archive file read through one 8192-byte buffer.
class TLFNFileStream {
 public:
  static constexpr size_t kBufferSize = 8192;
  void Open(const std::string& path);
  void Close();
  [[nodiscard]] bool IsOpen() const { return file_.has_value() && file_->IsOpen(); }
  size_t Read(void* buffer, size_t size);
  // Reads one byte; false at the end of the file.
  bool ReadByte(uint8_t& byte) {
    if (pos_ < fill_) {
      byte = buffer_[pos_++];
      return true;
    }
    return ReadByteSlow(byte);
  }
  void Seek(int64_t position);
  [[nodiscard]] int64_t Position() const { return bufferStart_ + static_cast<int64_t>(pos_); }
  [[nodiscard]] int64_t Size() const { return size_; }

 private:
  bool ReadByteSlow(uint8_t& byte);
  std::optional<platform::File> file_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kBufferSize);
  int64_t bufferStart_ = 0;  // file position of buffer_[0]
  size_t fill_ = 0;
  size_t pos_ = 0;
  int64_t size_ = 0;
};

}  // namespace lumivora::unzip
