// UnCompress: one TUnZip for one call, every failure turned into false.
#include "unzip/uncompress.h"

#include <algorithm>
#include <exception>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/unzip.h"

namespace lumivora::unzip {

std::string BuildPassword(std::span<const uint8_t> codes, int lastIndex) {
  std::string text;
  if (lastIndex < 0) {
    return text;
  }
  const size_t count = std::min(codes.size(), static_cast<size_t>(lastIndex) + 1);
  text.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(static_cast<char>(codes[i]));
  }
  return text;
}

// Same-type parameters kept: the launcher's (pack, folder, password, entry) order.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool UnCompress(const std::string& packPath, const std::string& destFolder,
                const std::string& password, const std::string& entryName,
                platform::UserInterface& ui) {
  if (!platform::FileExists(packPath)) {
    return false;
  }
  bool result = false;
  try {
    TUnZip unzip(&ui);
    unzip.SetOverwriteMode(TUZOverwriteMode::Always);
    unzip.SetPassword(password);
    unzip.SetZipName(packPath);
    unzip.SetDestDir(destFolder);
    unzip.SetRootDir(destFolder);
    // The selection line: the folder, then the entry name. Only its
    // file-name part selects, so the folder must end in a separator: a folder
    // given without one would otherwise glue its last part to the name.
    std::string line = destFolder;
    if (!line.empty() && line.back() != platform::PathSeparator() && line.back() != '/' &&
        line.back() != '\\') {
      line.push_back(platform::PathSeparator());
    }
    unzip.FilesList().push_back(line + entryName);
    result = unzip.UnZip() > 0;
  } catch (const Exception& error) {
    platform::MessageBoxRequest request;
    request.caption = "UnCompress";
    request.text = "Problem in UnCompress : \r" + error.Message();
    request.icon = platform::MessageIcon::kError;
    request.buttons = platform::MessageButtons::kOk;
    ui.ShowMessage(request);
    result = false;
  } catch (const std::exception& error) {
    // Errors without a message of their own (out of memory): no box.
    result = false;
  }
  return result;
}

}  // namespace lumivora::unzip
