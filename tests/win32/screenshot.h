// Screenshots of the Windows tests: the whole screen copied with GDI (BitBlt
// from the screen's device context) and written as a PNG file by GDI+.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"
// After <windows.h>, which it needs.
#include <gdiplus.h>

namespace lumivora::testing {

struct ScreenImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // rows of 32-bit pixels (B, G, R, unused), top row first
};

// What the screen shows now; no pixels on failure.
inline ScreenImage CaptureScreen() {
  ScreenImage image{::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), {}};
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, image.width, image.height);
  HGDIOBJ previous = ::SelectObject(memory, bitmap);
  const bool copied =
      ::BitBlt(memory, 0, 0, image.width, image.height, screen, 0, 0, SRCCOPY | CAPTUREBLT) != 0;
  ::SelectObject(memory, previous);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  image.pixels.resize(static_cast<size_t>(std::max(image.width * image.height, 0)) * 4);
  if (!copied || ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(image.height),
                             image.pixels.data(), &info, DIB_RGB_COLORS) != image.height) {
    image.pixels.clear();
  }
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return image;
}

// Writes what the screen shows to PATH as a PNG file (its folder created
// when missing), once two captures in a row agree (Wine hands a window's
// painting to the X server a moment after the window has painted); false on
// failure.
inline bool SaveScreenshot(const std::string& path) {
  ScreenImage image = CaptureScreen();
  for (int attempt = 0; attempt < 100 && !image.pixels.empty(); ++attempt) {
    ScreenImage next = CaptureScreen();
    const bool settled = next.pixels == image.pixels;
    image = std::move(next);
    if (settled) {
      break;
    }
  }
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (image.pixels.empty() || Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
    return false;
  }
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  // The class id of the PNG encoder that GDI+ lists for "image/png".
  const CLSID png = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
  const std::wstring file(path.begin(), path.end());
  Gdiplus::GpBitmap* bitmap = nullptr;
  const bool saved =
      Gdiplus::DllExports::GdipCreateBitmapFromScan0(image.width, image.height, image.width * 4,
                                                     PixelFormat32bppRGB, image.pixels.data(),
                                                     &bitmap) == Gdiplus::Ok &&
      Gdiplus::DllExports::GdipSaveImageToFile(bitmap, file.c_str(), &png, nullptr) == Gdiplus::Ok;
  if (bitmap != nullptr) {
    Gdiplus::DllExports::GdipDisposeImage(bitmap);
  }
  Gdiplus::GdiplusShutdown(token);
  return saved;
}

}  // namespace lumivora::testing
