// The launcher's one extraction operation on top of TUnZip, and the
// builder that assembles the pack password from its table of codes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace lumivora::platform {
class UserInterface;
}

namespace lumivora::unzip {

// The characters of CODES[0..lastIndex], one per code, in table order.
std::string BuildPassword(std::span<const uint8_t> codes, int lastIndex);

// Extracts the entry ENTRYNAME (letter case ignored, top level of the
// archive only) of the pack PACKPATH into DESTFOLDER with PASSWORD,
// replacing any file there. True when at least one entry came out whole.
// A missing pack gives false silently; an error with a message shows the
// box "Problem in UnCompress : \r" + message (caption "UnCompress") on UI
// and gives false. No exception leaves it.
bool UnCompress(const std::string& packPath, const std::string& destFolder,
                const std::string& password, const std::string& entryName,
                platform::UserInterface& ui);

}  // namespace lumivora::unzip
