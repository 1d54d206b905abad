#include "launcher/update_dialog.h"

#include <chrono>

#include "launcher/launch_sequence.h"
#include "platform/http.h"
#include "unzip/pack_check.h"
#include "unzip/uncompress.h"
#include "webupdate/frm_updater.h"
#include "webupdate/release_time.h"

namespace lumivora::launcher {
namespace {

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

#ifdef LUMIVORA_REQUIRE_FRESH_OFFERS
constexpr bool kRequireFreshOffers = true;  // statements without an expiry are refused
#else
constexpr bool kRequireFreshOffers = false;
#endif

// The time the statement's expiry is compared with: the system's clock, UTC.
int64_t UnixTimeNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class WebUpdateDialog final : public UpdateDialog {
 public:
  WebUpdateDialog(platform::SystemServices& system, platform::UserInterface& ui,
                  const LauncherConfig& config)
      : system_(system), ui_(ui), config_(config) {}

  UpdateOutcome Execute(const UpdateRequest& request) override {
    const std::unique_ptr<platform::HttpTransport> transport = platform::CreateHttpTransport();
    const std::string password =
        unzip::BuildPassword(config_.PackPasswordTable, config_.PackPasswordLastIndex);
    webupdate::UpdaterEnvironment environment{
        ui_,
        system_,
        *transport,
        [&password](const std::string& path) {
          return unzip::CheckPack(path, {password, MainProgramName()});
        },
        webupdate::ReleaseTrust{.product = config_.ProductIdentity,
                                .roots = webupdate::ParsePublicKeys(config_.UpdateRootKeys),
                                .recordedSerial = request.signingSerial,
                                .now = UnixTimeNow(),
                                .requireFresh = kRequireFreshOffers},
        request.guard.lockFile,
        request.guard.recordVersion,
        kTransferLimits,
        request.guard.previousPack,
        request.badRelease};
    environment.dataFolder = request.dataFolder;
    UpdateOutcome outcome;
    webupdate::TfrmUpdater::Execute(environment, request.currentVersion, request.packPath,
                                    request.infoURL1, request.infoURL2, request.upgradeURLFormat,
                                    request.silent, outcome.newVersion);
    outcome.signingSerial = environment.trust.recordedSerial;
    if (environment.trust.freshOfferSeen != 0) {
      outcome.lastFreshOffer = webupdate::UtcDateText(environment.trust.freshOfferSeen);
    }
    return outcome;
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
