#include "launcher/update_dialog.h"

#include "launcher/launch_sequence.h"
#include "platform/exception.h"
#include "platform/http.h"
#include "unzip/uncompress.h"
#include "unzip/unzip.h"
#include "webupdate/frm_updater.h"

namespace lumivora::launcher {
namespace {

// A downloaded pack is usable when its main program entry decodes with the
// pack password and passes its CRC check (nothing is written).
std::string CheckPack(const std::string& path, const std::string& password) {
  try {
    unzip::TUnZip zip(nullptr);
    zip.SetZipName(path);
    zip.SetPassword(password);
    zip.SetTestOnly(true);
    zip.SetDoProcessMessages(false);
    zip.FilesList().push_back(kMainProgramName);
    std::string problem;
    zip.OnBadCRC = [&](unzip::TUnZip&, uint32_t, uint32_t, int) {
      problem = "The main program in the download fails its CRC check.";
    };
    zip.OnBadPassword = [&](unzip::TUnZip&, int, std::string&) {
      problem = "The download is not encrypted with the pack password.";
    };
    if (zip.UnZip() > 0) {
      return {};
    }
    return problem.empty() ? std::string("The download holds no main program.") : problem;
  } catch (const Exception& error) {
    return "The download is not a valid pack: " + error.Message();
  }
}

class WebUpdateDialog final : public UpdateDialog {
 public:
  WebUpdateDialog(platform::SystemServices& system, platform::UserInterface& ui,
                  const LauncherConfig& config)
      : system_(system), ui_(ui), config_(config) {}

  void Execute(const std::string& currentVersion, const std::string& packPath,
               const std::string& infoURL1, const std::string& infoURL2,
               const std::string& upgradeURLFormat, bool silent, uint64_t& signingSerial,
               std::string& newVersion) override {
    const std::unique_ptr<platform::HttpTransport> transport = platform::CreateHttpTransport();
    const std::string password =
        unzip::BuildPassword(config_.PackPasswordTable, config_.PackPasswordLastIndex);
    webupdate::UpdaterEnvironment environment{
        ui_, system_, *transport,
        [&password](const std::string& path) { return CheckPack(path, password); },
        webupdate::ReleaseTrust{config_.ProductIdentity,
                                webupdate::ParsePublicKeys(config_.UpdateRootKeys), signingSerial}};
    webupdate::TfrmUpdater::Execute(environment, currentVersion, packPath, infoURL1, infoURL2,
                                    upgradeURLFormat, silent, newVersion);
    signingSerial = environment.trust.recordedSerial;
  }

 private:
  platform::SystemServices& system_;
  platform::UserInterface& ui_;
  LauncherConfig config_;
};

}  // namespace

std::unique_ptr<UpdateDialog> CreateUpdateDialog(platform::SystemServices& system,
                                                 platform::UserInterface& ui,
                                                 const LauncherConfig& config) {
  return std::make_unique<WebUpdateDialog>(system, ui, config);
}

}  // namespace lumivora::launcher
