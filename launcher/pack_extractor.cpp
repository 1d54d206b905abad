#include "launcher/pack_extractor.h"

#include "unzip/uncompress.h"

namespace lumivora::launcher {
namespace {

class PackUnCompress final : public PackExtractor {
 public:
  explicit PackUnCompress(platform::UserInterface& ui) : ui_(ui) {}
  bool UnCompress(const std::string& packPath, const std::string& destFolder,
                  const std::string& password, const std::string& entryName) override {
    return unzip::UnCompress(packPath, destFolder, password, entryName, ui_);
  }

 private:
  platform::UserInterface& ui_;
};

}  // namespace

std::unique_ptr<PackExtractor> CreatePackExtractor(platform::UserInterface& ui) {
  return std::make_unique<PackUnCompress>(ui);
}

}  // namespace lumivora::launcher
