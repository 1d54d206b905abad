// Screenshots of the Windows tests: the whole screen copied with GDI (BitBlt
// from the screen's device context) and written as a PNG file (RFC 2083:
// 8-bit RGB, no interlace, filter type 0 on every row, one zlib stream).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

namespace lumivora::testing {

namespace png_detail {

inline void PutBigEndian32(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
}

inline void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBigEndian32(out, static_cast<uint32_t>(data.size()));
  const std::string typed = std::string(type, 4) + data;
  out += typed;
  const uLong crc = ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(typed.data()),
                            static_cast<uInt>(typed.size()));
  PutBigEndian32(out, static_cast<uint32_t>(crc));
}

}  // namespace png_detail

// Encodes WIDTH x HEIGHT pixels given as rows of RGB triplets.
inline std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
  using png_detail::PutBigEndian32;
  const auto rowBytes = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> filtered;
  filtered.reserve((rowBytes + 1) * static_cast<size_t>(height));
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    filtered.push_back(0);
    filtered.insert(filtered.end(), rgb.begin() + static_cast<ptrdiff_t>(y * rowBytes),
                    rgb.begin() + static_cast<ptrdiff_t>((y + 1) * rowBytes));
  }
  uLongf packedSize = ::compressBound(static_cast<uLong>(filtered.size()));
  std::string packed(packedSize, '\0');
  if (::compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, filtered.data(),
                  static_cast<uLong>(filtered.size()), Z_BEST_COMPRESSION) != Z_OK) {
    return {};
  }
  packed.resize(packedSize);

  std::string header;
  PutBigEndian32(header, static_cast<uint32_t>(width));
  PutBigEndian32(header, static_cast<uint32_t>(height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // depth 8, RGB, deflate, filter 0, none
  std::string out = "\x89PNG\r\n\x1a\n";
  png_detail::PutChunk(out, "IHDR", header);
  png_detail::PutChunk(out, "IDAT", packed);
  png_detail::PutChunk(out, "IEND", "");
  return out;
}

struct ScreenImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows of RGB triplets, top row first
};

// What the screen shows now; empty on failure.
inline ScreenImage CaptureScreen() {
  ScreenImage image;
  const int width = ::GetSystemMetrics(SM_CXSCREEN);
  const int height = ::GetSystemMetrics(SM_CYSCREEN);
  if (width <= 0 || height <= 0) {
    return image;
  }
  HDC screen = ::GetDC(nullptr);
  if (screen == nullptr) {
    return image;
  }
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (memory != nullptr && bitmap != nullptr) {
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    if (::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT) != 0) {
      ::GdiFlush();
      const auto* pixels = static_cast<const uint8_t*>(bits);  // B, G, R, unused
      const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
      image.rgb.reserve(count * 3);
      for (size_t i = 0; i < count; ++i) {
        image.rgb.push_back(pixels[i * 4 + 2]);
        image.rgb.push_back(pixels[i * 4 + 1]);
        image.rgb.push_back(pixels[i * 4]);
      }
      image.width = width;
      image.height = height;
    }
    ::SelectObject(memory, previous);
  }
  if (bitmap != nullptr) {
    ::DeleteObject(bitmap);
  }
  if (memory != nullptr) {
    ::DeleteDC(memory);
  }
  ::ReleaseDC(nullptr, screen);
  return image;
}

// Writes what the screen shows to PATH as a PNG file (its folder created
// when missing), once two captures in a row agree (Wine hands a window's
// painting to the X server a moment after the window has painted); false on
// failure.
inline bool SaveScreenshot(const std::string& path) {
  ScreenImage image = CaptureScreen();
  for (int attempt = 0; attempt < 100 && !image.rgb.empty(); ++attempt) {
    ScreenImage next = CaptureScreen();
    const bool settled = next.rgb == image.rgb;
    image = std::move(next);
    if (settled) {
      break;
    }
  }
  if (image.rgb.empty()) {
    return false;
  }
  const std::string png = EncodePng(image.width, image.height, image.rgb);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(png.data(), static_cast<std::streamsize>(png.size()));
  return !png.empty() && file.good();
}

}  // namespace lumivora::testing
