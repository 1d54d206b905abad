#include "launcher/update_dialog.h"

#include <array>
#include <chrono>

#include "launcher/launch_sequence.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "platform/http.h"
#include "unzip/uncompress.h"
#include "unzip/unzip.h"
#include "webupdate/frm_updater.h"

namespace lumivora::launcher {
namespace {

// What the download is when its first bytes already tell that it is no pack
// (a gzip stream can carry a pack's bytes whole and pass for one); the empty
// text otherwise.
std::string NotAPack(const std::string& path) {
  std::array<unsigned char, 2> head{};
  size_t got = 0;
  try {
    platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
    got = file.Read(head.data(), head.size());
  } catch (const Exception&) {
    return "The download cannot be read.";
  }
  if (got == 0) {
    return "The download is empty.";
  }
  if (got == 2 && head[0] == 0x1F && head[1] == 0x8B) {
    return "The download is gzip data, not a pack.";
  }
  return {};
}

// A pack the launcher can start: the extraction it will do (the same
// selection) meets exactly one entry, stored under the very name
// "Lumivoramain" at the top level, encrypted, that decodes with the pack
// password and passes its CRC check. Nothing is written.
// Same-type parameters kept: the pack check UpdateDialog::Execute hands on.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string CheckPack(const std::string& path, const std::string& password) {
  if (std::string found = NotAPack(path); !found.empty()) {
    return found;
  }
  int selected = 0;
  bool started = false;
  bool whole = false;
  std::string problem;
  try {
    unzip::TUnZip zip(nullptr);
    zip.SetZipName(path);
    zip.SetPassword(password);
    zip.SetTestOnly(true);
    zip.SetDoProcessMessages(false);
    zip.FilesList().push_back(MainProgramName());
    zip.OnStartUnZipInfo = [&](unzip::TUnZip&, int numFiles, int64_t, bool& stopNow) {
      selected = numFiles;
      stopNow = numFiles != 1;
    };
    zip.OnStartUnZip = [&](unzip::TUnZip& sender, int index, const std::string&, bool& skip) {
      const unzip::TZipHeaderInfo& entry = sender.Entry(index);
      started = true;
      if (!entry.Directory().empty() || entry.FileName() != MainProgramName()) {
        problem = "The main program is stored as \"" + entry.Directory() + entry.FileName() +
                  "\", not \"" + MainProgramName() + "\".";
      } else if (!entry.Encrypted()) {
        problem = "The main program in the download is not encrypted.";
      }
      skip = !problem.empty();
    };
    zip.OnEndUnZip = [&](unzip::TUnZip&, int, const std::string&) { whole = true; };
    zip.OnBadPassword = [&](unzip::TUnZip&, int, std::string&) {
      // Before the entry starts its password check failed; after, its data.
      problem = started ? "The main program in the download is damaged: it fails its CRC check."
                        : "The download is not encrypted with the pack password.";
    };
    zip.OnBadCRC = [&](unzip::TUnZip&, uint32_t, uint32_t, int) {
      problem = "The main program in the download fails its CRC check.";
    };
    zip.UnZip();
  } catch (const Exception& error) {
    return "The download is not a valid pack: " + error.Message();
  }
  if (selected != 1) {
    return selected == 0 ? std::string("The download holds no main program.")
                         : "The download holds " + std::to_string(selected) + " entries named \"" +
                               MainProgramName() + "\".";
  }
  if (!problem.empty()) {
    return problem;
  }
  return whole ? std::string() : std::string("The main program in the download cannot be decoded.");
}

#ifdef LUMIVORA_SHORT_TRANSFER_LIMITS
// The launcher of the process tests, never installed: the same limits with
// seconds where the product waits minutes, so that a test sees a stalled
// information file or a trickled download given up in a few seconds.
platform::TransferLimits ShortTransferLimits(webupdate::TransferMode mode) {
  platform::TransferLimits limits = webupdate::DefaultTransferLimits(mode);
  if (mode == webupdate::TransferMode::kFetchToMemory) {
    limits.overall = std::chrono::seconds(3);
  } else {
    limits.lowSpeedTime = std::chrono::seconds(2);
  }
  return limits;
}
constexpr webupdate::TransferLimitsRule kTransferLimits = ShortTransferLimits;
#else
constexpr webupdate::TransferLimitsRule kTransferLimits = webupdate::DefaultTransferLimits;
#endif

class WebUpdateDialog final : public UpdateDialog {
 public:
  WebUpdateDialog(platform::SystemServices& system, platform::UserInterface& ui,
                  const LauncherConfig& config)
      : system_(system), ui_(ui), config_(config) {}

  void Execute(const std::string& currentVersion, const std::string& packPath,
               const std::string& infoURL1, const std::string& infoURL2,
               const std::string& upgradeURLFormat, bool silent, uint64_t& signingSerial,
               const PackGuard& guard, std::string& newVersion) override {
    const std::unique_ptr<platform::HttpTransport> transport = platform::CreateHttpTransport();
    const std::string password =
        unzip::BuildPassword(config_.PackPasswordTable, config_.PackPasswordLastIndex);
    webupdate::UpdaterEnvironment environment{
        ui_,
        system_,
        *transport,
        [&password](const std::string& path) { return CheckPack(path, password); },
        webupdate::ReleaseTrust{config_.ProductIdentity,
                                webupdate::ParsePublicKeys(config_.UpdateRootKeys), signingSerial},
        guard.lockFile,
        guard.recordVersion,
        kTransferLimits};
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
