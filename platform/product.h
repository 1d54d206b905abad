// The product's name, fixed when the program is built (LUMIVORA_PRODUCT_NAME,
// "Lumivora" unless configured). Every name of the product's per-user state
// derives from it, so that two products built with the toolkit share nothing:
// the data folder and settings file, the lock, the single-instance guard and
// the main program's window title, the temporary names, the main program's
// entry. The name is defined once per program (platform/product_name.cpp, or
// a file of the program's own that a test program links first).
#pragma once

#include <string>

namespace lumivora::platform {

extern const char kProductName[];

inline std::string ProductName() {
  return kProductName;
}

}  // namespace lumivora::platform
