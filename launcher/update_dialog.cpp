#include "launcher/update_dialog.h"

namespace lumivora::launcher {
namespace {

// Until the update dialog is built in, no update is ever installed.
class MissingUpdateDialog final : public UpdateDialog {
 public:
  void Execute(const std::string& /*currentVersion*/, const std::string& /*packPath*/,
               const std::string& /*infoURL1*/, const std::string& /*infoURL2*/,
               const std::string& /*upgradeURLFormat*/, bool /*silent*/,
               std::string& newVersion) override {
    newVersion.clear();
  }
};

}  // namespace

std::unique_ptr<UpdateDialog> CreateUpdateDialog(platform::SystemServices& /*system*/,
                                                 platform::UserInterface& /*ui*/) {
  return std::make_unique<MissingUpdateDialog>();
}

}  // namespace lumivora::launcher
