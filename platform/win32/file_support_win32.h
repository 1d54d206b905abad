// What the Windows file sources (file_win32.cpp, file_paths_win32.cpp)
// share: MS-DOS date/time conversion and unpredictable names.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32/windows_api.h"

namespace lumivora::platform::win32 {

// An MS-DOS date/time (local time) as a file time (UTC); false when invalid.
bool DosToFileTime(uint32_t dosDateTime, FILETIME& utc);

// Eight characters no other process can predict.
std::string UniqueSuffix();

}  // namespace lumivora::platform::win32
