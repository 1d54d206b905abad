#include "launcher/pack_extractor.h"

#include "unzip/uncompress.h"

namespace lumivora::launcher {
namespace {

class PackUnCompress final : public PackExtractor {
 public:
  bool UnCompress(const std::string& packPath, const std::string& destFolder,
                  const std::string& password, const std::string& entryName,
                  platform::UserInterface& ui) override {
    return unzip::UnCompress(packPath, destFolder, password, entryName, ui);
  }
};

}  // namespace

std::unique_ptr<PackExtractor> CreatePackExtractor() {
  return std::make_unique<PackUnCompress>();
}

}  // namespace lumivora::launcher
