// TfrmUpdater::Execute against a real nginx and the fault server: which
// checks run, what the user is asked and shown, and what becomes of the pack.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/file.h"
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
using testing::Nginx;
using testing::PatternContent;
using testing::ReadFile;
using testing::TempDir;

constexpr size_t kPackSize = 100000;  // beyond 65535: the progress range is in bytes
const std::string kOldPack = "old pack";

std::string InfoFile(const std::string& version, const std::string& url) {
  return "[Setup]\r\nVersion=" + version + "\r\nURL=" + url + "\r\nClientSideName=dl.zip\r\n";
}

class UpdaterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nginx_ = std::make_unique<Nginx>();
    fault_ = std::make_unique<FaultServer>();
    nginx_->Put("pack-1.3.zip", PatternContent(kPackSize));
    nginx_->Put("broken.zip", std::string(kPackSize, 'x'));
    fault_->Put("pack-1.3.zip", PatternContent(kPackSize));
    fault_->Put("free.ini", InfoFile("1.3", nginx_->Url("/pack-1.3.zip")));
    fault_->Put("major.ini", InfoFile("2.0", nginx_->Url("/pack-1.3.zip")));
    fault_->Put("short.ini", InfoFile("1.3", fault_->Url("/short/pack-1.3.zip")));
    fault_->Put("slow.ini", InfoFile("1.3", fault_->Url("/slow/pack-1.3.zip")));
    fault_->Put("broken.ini", InfoFile("1.3", nginx_->Url("/broken.zip")));
    fault_->Put("long.ini",
                InfoFile("1.3", nginx_->Url("/pack-1.3.zip")) + std::string(20000, ';') + "\n");
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
    UpdaterEnvironment environment{ui_,
                                   system_,
                                   *transport_,
                                   [](const std::string& path) {
                                     return ReadFile(path) == PatternContent(kPackSize)
                                                ? std::string()
                                                : std::string("not a pack");
                                   },
                                   {},
                                   {},
                                   {}};
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

  [[nodiscard]] bool DownloadLeftBehind() const {
    return !std::filesystem::is_empty(system_.temp);
  }

  static std::unique_ptr<Nginx> nginx_;
  static std::unique_ptr<FaultServer> fault_;

  TempDir work_;
  platform::RecordingInterface ui_;
  FakeSystem system_;
  std::unique_ptr<platform::HttpTransport> transport_ = platform::CreateHttpTransport();
  std::string packPath_;
  std::vector<std::string> infoRequests_;
};

std::unique_ptr<Nginx> UpdaterTest::nginx_;
std::unique_ptr<FaultServer> UpdaterTest::fault_;

TEST_F(UpdaterTest, SilentFreeUpdateReplacesThePack) {
  EXPECT_EQ(Run("free.ini", "none.ini", true), "1.3");
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_TRUE(ReadFile(packPath_) == PatternContent(kPackSize));
  EXPECT_FALSE(DownloadLeftBehind());
  EXPECT_EQ(infoRequests_, std::vector<std::string>{"GET /plain/free.ini HTTP/1.0"});
  // Progress only for the download, over its byte count.
  const std::vector<std::string> progress = ui_.EventsStartingWith("frmUpdater.max=");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), "frmUpdater.max=" + std::to_string(kPackSize));
  EXPECT_EQ(ui_.EventsStartingWith("frmUpdater.position=").back(),
            "frmUpdater.position=" + std::to_string(kPackSize));
  EXPECT_EQ(ui_.EventsStartingWith("frmUpdater.lbl_File=").back(),
            "frmUpdater.lbl_File=Downloading file dl.zip");
}

TEST_F(UpdaterTest, ProgressDoesNotMoveWhileTheInformationIsFetched) {
  Run("free.ini", "none.ini", true);
  const auto& events = ui_.events;
  const auto labels = std::find(events.begin(), events.end(), "frmUpdater.lbl_WebVersion=1.3");
  ASSERT_NE(labels, events.end());
  EXPECT_EQ(std::count_if(events.begin(), labels,
                          [](const std::string& e) {
                            return e.starts_with("frmUpdater.position=") &&
                                   e != "frmUpdater.position=0";
                          }),
            0);
  EXPECT_NE(std::find(events.begin(), labels, "frmUpdater.lbl_YourVersion=1.2"), labels);
}

TEST_F(UpdaterTest, QuestionTextAndAnswers) {
  ui_.answers = {MessageAnswer::kNo};
  EXPECT_EQ(Run("free.ini", "free.ini", false), "");
  ASSERT_EQ(ui_.messages.size(), 1U);
  const platform::MessageBoxRequest& question = ui_.messages[0];
  EXPECT_EQ(question.caption, "Warning");
  EXPECT_EQ(question.text,
            "You are using version 1.2, but version 1.3 is available to download.\r\n"
            "Do you want to update your application now ?");
  EXPECT_EQ(question.icon, platform::MessageIcon::kWarning);
  EXPECT_EQ(question.buttons, platform::MessageButtons::kYesNo);
  EXPECT_EQ(question.defaultButton, MessageAnswer::kYes);
  // No: no second check, nothing replaced.
  EXPECT_EQ(infoRequests_.size(), 1U);
  EXPECT_EQ(ReadFile(packPath_), kOldPack);
}

// One Execute per row: the result, the message boxes by caption, the
// information files fetched and the pack afterwards.
TEST_F(UpdaterTest, EdgeCases) {
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
  const Row rows[] = {
      {"silent, major change: paid upgrade question all the same",
       "major.ini",
       "free.ini",
       true,
       {MessageAnswer::kCancel},
       "",
       {"Upgrade"},
       1,
       false},
      {"first information unreachable: no second check",
       "missing.ini",
       "free.ini",
       false,
       {},
       "",
       {},
       1,
       false},
      {"first download breaks after Yes: second check asks again",
       "short.ini",
       "free.ini",
       false,
       {MessageAnswer::kYes, MessageAnswer::kYes},
       "1.3",
       {"Warning", "Warning"},
       2,
       true},
      {"both downloads break", "short.ini", "short.ini", true, {}, "", {}, 2, false},
      {"download is not a pack", "broken.ini", "free.ini", true, {}, "", {"Lumivora"}, 1, false},
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

TEST_F(UpdaterTest, UpgradePageGetsTheInstalledVersion) {
  ui_.answers = {MessageAnswer::kOk};
  EXPECT_EQ(Run("major.ini", "free.ini", false), "");
  EXPECT_EQ(system_.opened, std::vector<std::string>{"http://127.0.0.1:1/up?from=1.2&x=100%"});
}

TEST_F(UpdaterTest, CancelDuringBothDownloads) {
  // The Cancel button is pressed once the download is under way, in both
  // checks; the fault server holds the rest of the file back meanwhile.
  ui_.onProcessMessages = [this](int) {
    if (!ui_.EventsStartingWith("frmUpdater.lbl_File=Downloading").empty()) {
      ui_.PressCancel();
    }
  };
  EXPECT_EQ(Run("slow.ini", "slow.ini", true), "");
  EXPECT_EQ(infoRequests_.size(), 2U);
  EXPECT_EQ(ReadFile(packPath_), kOldPack);
}

TEST_F(UpdaterTest, CancelDuringTheInformationFetch) {
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

TEST_F(UpdaterTest, ReadOnlyPackIsLeftAndTheDownloadDeleted) {
  ASSERT_TRUE(platform::SetFileAttributes(packPath_, platform::kAttrReadOnly));
  EXPECT_EQ(Run("free.ini", "free.ini", true), "");
  ASSERT_EQ(ui_.messages.size(), 1U);
  const std::string& text = ui_.messages[0].text;
  EXPECT_TRUE(text.starts_with("Can not copy: " + system_.temp + "Lumivora-update-")) << text;
  EXPECT_NE(text.find("/dl.zip\r to: " + packPath_), std::string::npos) << text;
  EXPECT_EQ(ui_.messages[0].icon, platform::MessageIcon::kError);
  EXPECT_EQ(ReadFile(packPath_), kOldPack);
  EXPECT_FALSE(DownloadLeftBehind());
  platform::SetFileAttributes(packPath_, 0);
}

}  // namespace
}  // namespace lumivora::webupdate
