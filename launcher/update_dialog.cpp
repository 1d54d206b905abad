#include "launcher/update_dialog.h"

#include <chrono>

#include "launcher/launch_sequence.h"
#include "launcher/patched_pack.h"
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

// One line per address fetched: status, bytes, time, redirections and the
// proxy, with no credentials of the address.
class LoggedResponse final : public platform::HttpResponse {
 public:
  LoggedResponse(std::unique_ptr<platform::HttpResponse> inner, std::string url,
                 platform::LogSink log, std::chrono::steady_clock::time_point start)
      : inner_(std::move(inner)), url_(std::move(url)), log_(std::move(log)), start_(start) {}
  LoggedResponse(const LoggedResponse&) = delete;
  LoggedResponse& operator=(const LoggedResponse&) = delete;
  ~LoggedResponse() override {
    try {
      platform::Log(log_, Line());
    } catch (...) {  // NOLINT(bugprone-empty-catch): the log never stops a start
    }
  }

  [[nodiscard]] int StatusCode() const override { return inner_->StatusCode(); }
  [[nodiscard]] std::optional<std::string> ContentLength() const override {
    return inner_->ContentLength();
  }
  [[nodiscard]] std::optional<std::string> Header(std::string_view name) const override {
    return inner_->Header(name);
  }
  size_t Read(std::span<uint8_t> block) override {
    const size_t count = inner_->Read(block);
    bytes_ += count;
    return count;
  }
  [[nodiscard]] std::string Error() const override { return inner_->Error(); }
  [[nodiscard]] bool LimitPassed() const override { return inner_->LimitPassed(); }
  [[nodiscard]] std::string Proxy() const override { return inner_->Proxy(); }
  [[nodiscard]] int Redirections() const override { return inner_->Redirections(); }

 private:
  [[nodiscard]] std::string Line() const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    const int status = inner_->StatusCode();
    std::string line = "fetch " + url_ + ": status " + std::to_string(status) + ", " +
                       std::to_string(bytes_) + " bytes, " + std::to_string(elapsed.count()) +
                       " ms, " + std::to_string(inner_->Redirections()) + " redirections, proxy " +
                       inner_->Proxy();
    if (status == 407) {
      line += ", the proxy refused the request: its credentials were not given or not accepted";
    }
    const std::string error = inner_->Error();
    return error.empty() ? line : line + ", error: " + error;
  }

  std::unique_ptr<platform::HttpResponse> inner_;
  std::string url_;
  platform::LogSink log_;
  uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point start_;
};

class LoggedTransport final : public platform::HttpTransport {
 public:
  LoggedTransport(std::unique_ptr<platform::HttpTransport> inner, platform::LogSink log)
      : inner_(std::move(inner)), log_(std::move(log)) {}
  std::unique_ptr<platform::HttpResponse> Get(const platform::HttpRequest& request) override {
    std::string url = request.secure ? "https://" : "http://";
    url.append(request.hostName);
    if (request.port != 0) {
      url.append(1, ':').append(std::to_string(request.port));
    }
    url.append(request.path);
    const auto start = std::chrono::steady_clock::now();
    return std::make_unique<LoggedResponse>(inner_->Get(request), std::move(url), log_, start);
  }

 private:
  std::unique_ptr<platform::HttpTransport> inner_;
  platform::LogSink log_;
};

class WebUpdateDialog final : public UpdateDialog {
 public:
  WebUpdateDialog(platform::SystemServices& system, platform::UserInterface& ui,
                  const LauncherConfig& config)
      : system_(system), ui_(ui), config_(config) {}

  UpdateOutcome Execute(const UpdateRequest& request) override {
    const std::unique_ptr<platform::HttpTransport> transport =
        std::make_unique<LoggedTransport>(platform::CreateHttpTransport(), request.log);
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
    environment.log = request.log;
    // The installed program is taken out while the patch downloads.
    const InstalledPack installed{request.packPath, password, MainProgramName()};
    std::weak_ptr<InstalledProgram> takenOut;
    environment.preparePatched = [&installed, &takenOut](const std::string& output) {
      auto program = std::make_shared<InstalledProgram>(installed, output);
      takenOut = program;
      return std::shared_ptr<void>(program);
    };
    environment.buildPatched = [&installed, &takenOut](const webupdate::PatchedPack& patched) {
      const std::shared_ptr<InstalledProgram> program = takenOut.lock();
      return program ? BuildPatchedPack(*program, patched) : BuildPatchedPack(installed, patched);
    };
    environment.infoValidator = request.infoValidator;
    UpdateOutcome outcome;
    webupdate::TfrmUpdater::Execute(environment, request.currentVersion, request.packPath,
                                    request.infoURL1, request.infoURL2, request.upgradeURLFormat,
                                    request.silent, outcome.newVersion);
    outcome.signingSerial = environment.trust.recordedSerial;
    outcome.infoValidator = environment.infoValidator;
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
