// TfrmUpdater::Execute over the real HTTP transport against nginx and the
// fault server: transfers cut short or held open, and what becomes of the
// pack then.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/http.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/fakes.h"
#include "tests/webupdate/servers.h"
#include "webupdate/frm_updater.h"

namespace lumivora::webupdate {
namespace {

using lumivora::testing::FakeSystem;
using platform::MessageAnswer;
using testing::FaultServer;
using testing::InfoFile;
using testing::Nginx;
using testing::PatternContent;
using testing::ReadFile;
using testing::TempDir;

constexpr size_t kPackSize = 100000;
const std::string kOldPack = "old pack";

class UpdaterOverHttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nginx_ = std::make_unique<Nginx>();
    fault_ = std::make_unique<FaultServer>();
    nginx_->Put("pack-1.3.zip", PatternContent(kPackSize));
    fault_->Put("pack-1.3.zip", PatternContent(kPackSize));
    fault_->Put("free.ini", InfoFile("1.3", nginx_->Url("/pack-1.3.zip"), "dl.zip"));
    fault_->Put("short.ini", InfoFile("1.3", fault_->Url("/short/pack-1.3.zip"), "dl.zip"));
    fault_->Put("long.ini", InfoFile("1.3", nginx_->Url("/pack-1.3.zip"), "dl.zip") +
                                std::string(20000, ';') + "\n");
  }
  static void TearDownTestSuite() {
    nginx_.reset();
    fault_.reset();
  }

  void SetUp() override {
    std::filesystem::create_directory(work_.Path() + "/tmp");
    system_.temp = work_.Path() + "/tmp/";
    packPath_ = work_.Write("Lumivorapack", kOldPack);
  }

  std::string Run(const std::string& info1, const std::string& info2, bool silent) {
    const size_t before = fault_->Requests().size();
    UpdaterEnvironment environment{ui_, system_, *transport_, [](const std::string& path) {
                                     return ReadFile(path) == PatternContent(kPackSize)
                                                ? std::string()
                                                : std::string("not a pack");
                                   }};
    std::string result = "unset";
    TfrmUpdater::Execute(environment, "1.2", packPath_, InfoUrl(info1), InfoUrl(info2),
                         "http://127.0.0.1:1/up?from=%s&x=100%%", silent, result);
    const std::vector<testing::RecordedRequest> requests = fault_->Requests();
    infoRequests_.clear();
    for (size_t i = before; i < requests.size(); ++i) {
      if (requests[i].requestLine.find(".ini ") != std::string::npos) {
        infoRequests_.push_back(requests[i].requestLine);
      }
    }
    return result;
  }

  // NAME on the fault server, served plainly unless it names its route.
  static std::string InfoUrl(const std::string& name) {
    return fault_->Url(name.find('/') == std::string::npos ? "/plain/" + name : "/" + name);
  }

  [[nodiscard]] std::vector<std::string> Captions() const {
    std::vector<std::string> captions;
    for (const platform::MessageBoxRequest& message : ui_.messages) {
      captions.push_back(message.caption);
    }
    return captions;
  }

  [[nodiscard]] bool DownloadLeftBehind() const { return !std::filesystem::is_empty(system_.temp); }

  static std::unique_ptr<Nginx> nginx_;
  static std::unique_ptr<FaultServer> fault_;

  TempDir work_;
  platform::RecordingInterface ui_;
  FakeSystem system_;
  std::unique_ptr<platform::HttpTransport> transport_ = platform::CreateHttpTransport();
  std::string packPath_;
  std::vector<std::string> infoRequests_;
};

std::unique_ptr<Nginx> UpdaterOverHttpTest::nginx_;
std::unique_ptr<FaultServer> UpdaterOverHttpTest::fault_;

// Transfers that real servers break: one Execute per row, with the result,
// the message boxes by caption, the information files fetched and the pack
// afterwards. (The dialog's own rules run over a scripted transport in
// frm_updater_test.cpp.)
TEST_F(UpdaterOverHttpTest, BrokenTransfers) {
  struct Row {
    const char* what;
    std::string info1;
    std::string info2;
    bool silent;
    std::vector<MessageAnswer> answers;
    std::string result;
    std::vector<std::string> captions;
    size_t infoFetches;
    bool packReplaced;
  };
  const std::vector<MessageAnswer> yesTwice = {MessageAnswer::kYes, MessageAnswer::kYes};
  const std::vector<std::string> askedTwice = {"Warning", "Warning"};
  const Row rows[] = {
      {"first download breaks after Yes: second check asks again", "short.ini", "free.ini", false,
       yesTwice, "1.3", askedTwice, 2, true},
      {"both downloads break", "short.ini", "short.ini", true, {}, "", {}, 2, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ui_.messages.clear();
    ui_.answers.assign(row.answers.begin(), row.answers.end());
    work_.Write("Lumivorapack", kOldPack);
    EXPECT_EQ(Run(row.info1, row.info2, row.silent), row.result);
    EXPECT_EQ(Captions(), row.captions);
    EXPECT_EQ(infoRequests_.size(), row.infoFetches);
    EXPECT_EQ(ReadFile(packPath_) == PatternContent(kPackSize), row.packReplaced);
    if (!row.packReplaced) {
      EXPECT_EQ(ReadFile(packPath_), kOldPack);
    }
    EXPECT_FALSE(DownloadLeftBehind() && row.result == "1.3");
  }
}

TEST_F(UpdaterOverHttpTest, CancelDuringTheInformationFetch) {
  // The first processing shows the dialog; the next ones run inside the
  // fetch, which the fault server holds open after its first bytes.
  ui_.onProcessMessages = [this](int count) {
    if (count >= 2) {
      ui_.PressCancel();
    }
  };
  EXPECT_EQ(Run("slow/long.ini", "free.ini", true), "");
  EXPECT_EQ(infoRequests_.size(), 1U);
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(ReadFile(packPath_), kOldPack);
}

}  // namespace
}  // namespace lumivora::webupdate
