// The launcher's string table: captions and texts the user sees.
#pragma once

#include <string>

#include "platform/product.h"

namespace lumivora::launcher::strings {

// The product's name ("Lumivora").
inline std::string Caption() {
  return platform::ProductName();
}
inline constexpr char kPleaseWait[] = "Please, wait now ...";
inline constexpr char kStatusInitial[] = "...";
inline constexpr char kReady[] = "Ready !";
inline constexpr char kWaitingForLock[] = "Waiting for another start to finish ...";
inline constexpr char kErrorInFileProcessing[] = "Error in file processing : ";
inline constexpr char kNoLauncherFolder[] = "Cannot find the launcher's own folder.";
// The bad release, then the restored one.
inline constexpr char kRolledBack[] =
    "Version %s did not start properly, so version %s has been restored.";

}  // namespace lumivora::launcher::strings
