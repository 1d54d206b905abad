// The launcher's string table: captions and texts the user sees.
#pragma once

namespace lumivora::launcher::strings {

inline constexpr char kCaption[] = "Lumivora";
inline constexpr char kPleaseWait[] = "Please, wait now ...";
inline constexpr char kStatusInitial[] = "...";
inline constexpr char kReady[] = "Ready !";
inline constexpr char kErrorInFileProcessing[] = "Error in file processing : ";
inline constexpr char kNoLauncherFolder[] = "Cannot find the launcher's own folder.";

}  // namespace lumivora::launcher::strings
