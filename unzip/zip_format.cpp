// The parts of the ZIP records that are more than their fixed fields: a
// local header's length and the sizes of its ZIP64 extra field (APPNOTE
// 4.3.7, 4.5). The fields themselves are read by Parse (zip_format.h).
#include "unzip/zip_format.h"

#include <algorithm>

namespace lumivora::unzip::zip {

int64_t LocalHeader::TotalSize() const {
  return static_cast<int64_t>(kLocalHeaderSize) + nameLength + extraLength;
}

EntrySizes LocalHeader::Sizes(std::span<const uint8_t> extra) const {
  EntrySizes sizes{.compressed = compressedSize, .uncompressed = uncompressedSize};
  size_t at = 0;
  while (const std::optional<ExtraBlock> block = Parse<ExtraBlock>(extra.subspan(at))) {
    const size_t data = at + RecordLayout<ExtraBlock>::kSize;
    const size_t available = extra.size() - data;
    if (block->tag != kZip64ExtraTag) {
      if (block->dataSize > available) {
        break;
      }
      at = data + block->dataSize;
      continue;
    }
    const std::optional<Zip64LocalSizes> field =
        Parse<Zip64LocalSizes>(extra.subspan(data, std::min<size_t>(block->dataSize, available)));
    if (field.has_value()) {
      if (uncompressedSize == kZip64SizeMarker) {
        sizes.uncompressed = field->uncompressedSize;
      }
      if (compressedSize == kZip64SizeMarker) {
        sizes.compressed = field->compressedSize;
      }
    }
    break;
  }
  return sizes;
}

}  // namespace lumivora::unzip::zip
