#include "launcher/pack_extractor.h"

namespace lumivora::launcher {
namespace {

// Until the extraction component is built in, every extraction fails openly.
class MissingExtractor final : public PackExtractor {
 public:
  bool UnCompress(const std::string& /*packPath*/, const std::string& /*destFolder*/,
                  const std::string& /*password*/, const std::string& /*entryName*/) override {
    return false;
  }
};

}  // namespace

std::unique_ptr<PackExtractor> CreatePackExtractor(platform::UserInterface& /*ui*/) {
  return std::make_unique<MissingExtractor>();
}

}  // namespace lumivora::launcher
