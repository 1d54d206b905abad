// UnCompress: the core's extraction of the one entry, every failure turned into false.
#include "unzip/uncompress.h"

#include <algorithm>
#include <exception>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/zip_reader.h"

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

namespace {

// Boxes of the component shown for the entry (an unknown method, no memory
// for a decoder's tables), as TUnZip shows them.
void ShowEntryBoxes(const EntryResult& result, platform::UserInterface& ui) {
  platform::MessageBoxRequest request;
  request.buttons = platform::MessageButtons::kOk;
  if (result.status == EntryStatus::kUnsupportedMethod) {
    request.caption = "Zip Error";
    request.text = "Unknown Compression Method";
  } else if (result.fault == DecodeFault::kOutOfMemory) {
    request.caption = "Error";
    request.text = "*** inflate out of memory ***";
  } else {
    return;
  }
  ui.ShowMessage(request);
}

}  // namespace

// Same-type parameters kept: the launcher's described (pack, folder, password,
// entry) order.
// NOLINTBEGIN(bugprone-easily-swappable-parameters)
bool UnCompress(const std::string& packPath, const std::string& destFolder,
                const std::string& password, const std::string& entryName,
                platform::UserInterface& ui) {
  // NOLINTEND(bugprone-easily-swappable-parameters)
  if (!platform::FileExists(packPath)) {
    return false;
  }
  try {
    ExtractRequest request;
    request.password = password;
    request.destFolder = destFolder;
    const EntryResult result = ExtractEntry({packPath, entryName}, request, &ui);
    ShowEntryBoxes(result, ui);
    if (result.error) {
      platform::MessageBoxRequest box;
      box.caption = "UnCompress";
      box.text = "Problem in UnCompress : \r" + result.message;
      box.icon = platform::MessageIcon::kError;
      box.buttons = platform::MessageButtons::kOk;
      ui.ShowMessage(box);
      return false;
    }
    return result.Whole();
  } catch (const std::exception&) {
    // Errors without a message of their own (out of memory): no box.
    return false;
  }
}

}  // namespace lumivora::unzip
