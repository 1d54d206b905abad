// Whole update checks against a real nginx (and the fault server for broken
// downloads): the events of each check in order, for the successful path and
// every early end, and the component's decisions on the way.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/http.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/fakes.h"
#include "tests/webupdate/servers.h"
#include "webupdate/release_signing.h"
#include "webupdate/sha256.h"
#include "webupdate/web_update.h"

namespace lumivora::webupdate {
namespace {

using lumivora::testing::FakeSystem;
using testing::FaultServer;
using testing::InfoFile;
using testing::Nginx;
using testing::PatternContent;
using testing::ReadFile;
using testing::TempDir;
using Events = std::vector<std::string>;

class CheckTest : public ::testing::Test {
 public:
  static constexpr size_t kPackSize = 50000;

  static void SetUpTestSuite() {
    nginx_ = std::make_unique<Nginx>();
    fault_ = std::make_unique<FaultServer>();
    nginx_->Put("pack-1.3.zip", PatternContent(kPackSize));
    fault_->Put("pack-1.3.zip", PatternContent(kPackSize));
  }
  static void TearDownTestSuite() {
    nginx_.reset();
    fault_.reset();
  }

  void SetUp() override {
    system_.temp = temp_.Path() + "/";
    update_.SetActualVersion("1.2");
    update_.SetUpgradeURL("http://127.0.0.1:1/upgrade?from=1.2");
    update_.SetRetryPause([this](std::chrono::milliseconds wait) {
      pauses_.push_back(wait.count());
      return true;
    });
    Record();
  }

  // Publishes an information file offering VERSION of the pack on nginx.
  std::string Offer(const std::string& name, const std::string& version,
                    const std::string& clientSideName = "pack.zip", const std::string& url = "") {
    nginx_->Put(
        name, InfoFile(version, url.empty() ? nginx_->Url("/pack-1.3.zip") : url, clientSideName));
    return nginx_->Url("/" + name);
  }

  std::string Publish(const std::string& name, const std::string& text) {
    nginx_->Put(name, text);
    return nginx_->Url("/" + name);
  }

  // Attaches a recorder to every event; consecutive OnDownload events are
  // recorded once, as "Download".
  void Record() {
    auto add = [this](const std::string& name) {
      if (name == "Download" && !events_.empty() && events_.back() == "Download") {
        return;
      }
      events_.push_back(name);
    };
    update_.OnBeforeGetInfo = [add](TWebUpdate&) { add("BeforeGetInfo"); };
    update_.OnAfterGetInfo = [add](TWebUpdate&) { add("AfterGetInfo"); };
    update_.OnDownload = [add](TWebUpdate&, int32_t, int32_t) { add("Download"); };
    update_.OnDownloadError = [add](TWebUpdate&) { add("DownloadError"); };
    update_.OnNoUpdateFound = [add](TWebUpdate&) { add("NoUpdateFound"); };
    update_.OnCannotExecute = [add](TWebUpdate&) { add("CannotExecute"); };
    update_.OnUpdateAvailable = [add, this](TWebUpdate&, const std::string&, const std::string&,
                                            bool& canUpdate) {
      add("UpdateAvailable");
      canUpdate = canUpdate_;
    };
    update_.OnGetClientFileName = [add](TWebUpdate&, std::string&) { add("GetClientFileName"); };
    update_.OnClientFileExists = [add, this](TWebUpdate&, std::string&, bool& overwrite) {
      add("ClientFileExists");
      overwrite = overwrite_;
    };
    update_.OnBeforeDownload = [add](TWebUpdate&, const std::string&) { add("BeforeDownload"); };
    update_.OnAfterDownload = [add](TWebUpdate&, const std::string&) { add("AfterDownload"); };
  }

  static std::unique_ptr<Nginx> nginx_;
  static std::unique_ptr<FaultServer> fault_;

  TempDir temp_;
  platform::RecordingInterface ui_;
  FakeSystem system_;
  std::unique_ptr<platform::HttpTransport> transport_ = platform::CreateHttpTransport();
  TWebUpdate update_{ui_, system_, *transport_};
  Events events_;
  std::vector<int64_t> pauses_;  // the retry pauses, in ms
  bool canUpdate_ = true;
  bool overwrite_ = false;
};

std::unique_ptr<Nginx> CheckTest::nginx_;
std::unique_ptr<FaultServer> CheckTest::fault_;

const Events kUpToInfo = {"BeforeGetInfo", "Download", "AfterGetInfo"};

Events Then(Events head, const Events& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST_F(CheckTest, SuccessfulUpdateFiresEveryEventInOrder) {
  const std::string info = Offer("ok.ini", "1.3");
  EXPECT_TRUE(update_.CheckForUpdate(info));
  EXPECT_EQ(events_, Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "BeforeDownload",
                                      "Download", "AfterDownload"}));
  EXPECT_EQ(update_.NewVersion(), "1.3");
  EXPECT_EQ(update_.ClientFileName(), temp_.Path() + "/pack.zip");
  EXPECT_TRUE(ReadFile(update_.ClientFileName()) == PatternContent(kPackSize));
  EXPECT_FALSE(update_.Busy());
  EXPECT_TRUE(ui_.messages.empty());
}

// Each row ends the check early; the events up to the end, then nothing.
TEST_F(CheckTest, EarlyEndsFireTheirEvents) {
  const int closed = testing::ClosedPort();
  // The signed release of the pack, offered again from a server that
  // announces 2^31-1 bytes: no body byte is read.
  const SecretKey root = SecretKey::Generate();
  const std::string pack = PatternContent(kPackSize);
  Sha256Stream hash;
  hash.Update({reinterpret_cast<const uint8_t*>(pack.data()), pack.size()});
  const std::string replayed =
      Publish("replayed.ini",
              InfoFile("1.3", fault_->Url("/huge/pack-1.3.zip"), "pack.zip") +
                  SignedReleaseLines({"product", "1.3", kPackSize, hash.Finish()}, root, ""));
  struct Row {
    const char* what;
    std::string infoUrl;
    Events events;
    std::function<void(CheckTest&)> prepare = nullptr;
  };
  const Row rows[] = {
      {"information unreachable",
       "http://127.0.0.1:" + std::to_string(closed) + "/update.ini",
       {"BeforeGetInfo", "DownloadError", "AfterGetInfo", "DownloadError"}},
      {"information is an error page",
       nginx_->Url("/no-such.ini"),
       {"BeforeGetInfo", "DownloadError", "AfterGetInfo", "DownloadError"}},
      {"no version", Offer("nover.ini", ""), Then(kUpToInfo, {"DownloadError"})},
      {"blanks around =", Publish("blanks.ini", "[Setup]\nVersion = 1.3\n"),
       Then(kUpToInfo, {"DownloadError"})},
      {"same version", Offer("same.ini", "1.2"), Then(kUpToInfo, {"NoUpdateFound"})},
      {"older version", Offer("older.ini", "1.1"), Then(kUpToInfo, {"NoUpdateFound"})},
      {"major change asks about a paid upgrade", Offer("major.ini", "2.0"), kUpToInfo},
      {"owner declines", Offer("decline.ini", "1.3"), Then(kUpToInfo, {"UpdateAvailable"}),
       [](CheckTest& t) { t.canUpdate_ = false; }},
      {"local file exists, no overwrite", Offer("exists.ini", "1.3"),
       Then(kUpToInfo,
            {"UpdateAvailable", "GetClientFileName", "ClientFileExists", "DownloadError"}),
       [](CheckTest& t) { t.temp_.Write("pack.zip", "old"); }},
      {"local file exists, overwrite", Offer("overwrite.ini", "1.3"),
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "ClientFileExists",
                        "BeforeDownload", "Download", "AfterDownload"}),
       [](CheckTest& t) {
         t.temp_.Write("pack.zip", "old");
         t.overwrite_ = true;
       }},
      // Retried with a range after each pause; this server never sends it all.
      {"download breaks off",
       Offer("short.ini", "1.3", "pack.zip", fault_->Url("/short/pack-1.3.zip")),
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "BeforeDownload", "Download",
                        "DownloadError", "Download", "DownloadError", "Download", "DownloadError",
                        "Download", "DownloadError", "AfterDownload"})},
      {"download is an error page",
       Offer("e404.ini", "1.3", "pack.zip", nginx_->Url("/missing-pack.zip")),
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "BeforeDownload", "DownloadError",
                        "AfterDownload"})},
      {"download without Content-Length",
       Offer("nolen.ini", "1.3", "pack.zip", fault_->Url("/nolength/pack-1.3.zip")),
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "BeforeDownload", "DownloadError",
                        "AfterDownload"})},
      {"download cancelled",
       Offer("cancel.ini", "1.3", "pack.zip", fault_->Url("/slow/pack-1.3.zip")),
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "BeforeDownload", "Download",
                        "AfterDownload"}),
       [](CheckTest& t) {
         t.update_.OnBeforeDownload = [&t](TWebUpdate&, const std::string&) {
           t.events_.push_back("BeforeDownload");
           t.ui_.onProcessMessages = [&t](int) { t.update_.Cancel(); };
         };
       }},
      {"no usable client-side name", Offer("dotdot.ini", "1.3", ".."),
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "DownloadError"})},
      {"empty client-side name", Offer("noname.ini", "1.3", ""),
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "DownloadError"})},
      {"signed release from a server announcing 2^31-1 bytes", replayed,
       Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "BeforeDownload", "DownloadError",
                        "AfterDownload"}),
       [&root](CheckTest& t) {
         t.update_.SetReleaseTrust({.product = "product", .roots = {root.Public()}});
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::error_code ignored;
    std::filesystem::remove(temp_.Path() + "/pack.zip", ignored);
    events_.clear();
    ui_.messages.clear();
    ui_.onProcessMessages = nullptr;
    canUpdate_ = true;
    overwrite_ = false;
    update_.SetReleaseTrust({});
    Record();
    if (row.prepare) {
      row.prepare(*this);
    }
    const bool downloaded = row.events.back() == "AfterDownload" &&
                            std::string(row.what).find("overwrite") != std::string::npos;
    EXPECT_EQ(update_.CheckForUpdate(row.infoUrl), downloaded);
    EXPECT_EQ(events_, row.events);
    const bool retried = std::string(row.what) == "download breaks off";
    EXPECT_EQ(pauses_, (retried ? std::vector<int64_t>{1000, 2000, 4000} : std::vector<int64_t>{}));
    pauses_.clear();
    EXPECT_FALSE(update_.Busy());
    const bool asksPaid = std::string(row.what).find("paid") != std::string::npos;
    EXPECT_EQ(ui_.messages.size(), asksPaid ? 1U : 0U);
  }
}

TEST_F(CheckTest, NestedCheckIsTurnedAway) {
  const std::string info = Offer("nested.ini", "1.3");
  bool nested = true;
  update_.OnAfterGetInfo = [&](TWebUpdate& sender) {
    events_.push_back("AfterGetInfo");
    nested = sender.CheckForUpdate(info);
  };
  EXPECT_TRUE(update_.CheckForUpdate(info));
  EXPECT_FALSE(nested);
  EXPECT_EQ(events_, Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "BeforeDownload",
                                      "Download", "AfterDownload"}));
}

TEST_F(CheckTest, WithoutAHandlerAFreeUpdateIsDownloaded) {
  update_.OnUpdateAvailable = nullptr;
  EXPECT_TRUE(update_.CheckForUpdate(Offer("nohandler.ini", "1.10")));
  EXPECT_TRUE(ReadFile(temp_.Path() + "/pack.zip") == PatternContent(kPackSize));
}

TEST_F(CheckTest, ExistingFileWithoutHandlerFollowsTheOverwriteOption) {
  update_.OnClientFileExists = nullptr;
  const std::string info = Offer("opt.ini", "1.3");
  const std::string local = temp_.Write("pack.zip", "old");
  EXPECT_FALSE(update_.CheckForUpdate(info));
  EXPECT_EQ(ReadFile(local), "old");
  EXPECT_EQ(events_, Then(kUpToInfo, {"UpdateAvailable", "GetClientFileName", "DownloadError"}));
  update_.SetOptions({uoOverwrite});
  EXPECT_TRUE(update_.CheckForUpdate(info));
  EXPECT_TRUE(ReadFile(local) == PatternContent(kPackSize));
}

TEST_F(CheckTest, TargetFolderAndClientSideName) {
  const TempDir target;
  struct Row {
    std::string targetFolder;
    std::string clientSideName;
    std::string expected;
  };
  const Row rows[] = {
      {"", "pack.zip", temp_.Path() + "/pack.zip"},
      {target.Path(), "pack.zip", target.Path() + "/pack.zip"},
      {target.Path() + "/", "pack.zip", target.Path() + "/pack.zip"},
      {target.Path() + "/missing", "pack.zip", temp_.Path() + "/pack.zip"},
      {target.Path(), "../../escape.zip", target.Path() + "/escape.zip"},
      {target.Path(), "..\\Startup\\x.exe", target.Path() + "/x.exe"},
      {"", "/etc/cron.d/x", temp_.Path() + "/x"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.targetFolder + " + " + row.clientSideName);
    update_.SetTargetFolder(row.targetFolder);
    overwrite_ = true;
    EXPECT_TRUE(update_.CheckForUpdate(
        Offer("target" + std::to_string(n++) + ".ini", "1.3", row.clientSideName)));
    EXPECT_EQ(update_.ClientFileName(), row.expected);
    EXPECT_TRUE(ReadFile(row.expected) == PatternContent(kPackSize));
  }
  system_.temp.clear();
  update_.SetTargetFolder("");
  EXPECT_EQ(update_.DefaultClientFileName(), "");
}

TEST_F(CheckTest, PaidUpgradeQuestionAndUpgradePage) {
  const std::string info = Offer("paid.ini", "2.0");
  const std::string question =
      "You are using version 1.2, but version 2.0 is available \r\nfor paid upgrade as the "
      "major version changed.\r\nDo you want to upgrade your application now ?";
  // Cancel: nothing opened.
  ui_.answers = {platform::MessageAnswer::kCancel};
  EXPECT_FALSE(update_.CheckForUpdate(info));
  ASSERT_EQ(ui_.messages.size(), 1U);
  EXPECT_EQ(ui_.messages[0].caption, "Upgrade");
  EXPECT_EQ(ui_.messages[0].text, question);
  EXPECT_EQ(ui_.messages[0].icon, platform::MessageIcon::kQuestion);
  EXPECT_EQ(ui_.messages[0].buttons, platform::MessageButtons::kOkCancel);
  EXPECT_TRUE(system_.opened.empty());
  // OK: the page opens.
  ui_.answers = {platform::MessageAnswer::kOk};
  EXPECT_FALSE(update_.CheckForUpdate(info));
  EXPECT_EQ(system_.opened, std::vector<std::string>{"http://127.0.0.1:1/upgrade?from=1.2"});
  EXPECT_EQ(ui_.messages.size(), 2U);
  // OK, but the shell cannot open it: the error box.
  system_.shellOpenWorks = false;
  ui_.answers = {platform::MessageAnswer::kOk};
  EXPECT_FALSE(update_.CheckForUpdate(info));
  ASSERT_EQ(ui_.messages.size(), 4U);
  EXPECT_EQ(ui_.messages[3].caption, "ERROR");
  EXPECT_EQ(ui_.messages[3].text, "Can not start \"http://127.0.0.1:1/upgrade?from=1.2\" !");
  EXPECT_EQ(ui_.messages[3].icon, platform::MessageIcon::kError);
  EXPECT_TRUE(ui_.messages[3].systemModal);
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "NoUpdateFound"), 0);
}

TEST_F(CheckTest, RedirectionUsesTheLastFileRead) {
  const std::string second = Offer("second.ini", "1.3", "second.zip");
  nginx_->Put("first.ini", InfoFile("9.9", "http://127.0.0.1:1/wrong.zip", "wrong.zip", second));
  EXPECT_TRUE(update_.CheckForUpdate(nginx_->Url("/first.ini")));
  EXPECT_EQ(update_.NewVersion(), "1.3");
  EXPECT_EQ(update_.ClientSideName(), "second.zip");
  EXPECT_EQ(update_.RedirectionURL(), "");
  EXPECT_TRUE(ReadFile(temp_.Path() + "/second.zip") == PatternContent(kPackSize));
}

TEST_F(CheckTest, EndlessRedirectionIsBounded) {
  const std::string self = nginx_->Url("/self.ini");
  nginx_->Put("self.ini", InfoFile("1.3", nginx_->Url("/pack-1.3.zip"), "pack.zip", self));
  int fetches = 0;
  update_.OnDownload = [&](TWebUpdate&, int32_t, int32_t) { ++fetches; };
  EXPECT_FALSE(update_.CheckForUpdate(self));
  EXPECT_EQ(fetches, kMaxInfoRedirections + 1);
  EXPECT_EQ(update_.NewVersion(), "");
  EXPECT_EQ(events_, (Events{"BeforeGetInfo", "AfterGetInfo", "DownloadError"}));
  EXPECT_FALSE(update_.Busy());
}

TEST_F(CheckTest, CancelDuringTheInformationFetchEndsTheCheck) {
  fault_->Put("slow.ini", InfoFile("1.3", nginx_->Url("/pack-1.3.zip"), "pack.zip") +
                              std::string(20000, ';') + "\n");
  ui_.onProcessMessages = [this](int) { update_.Cancel(); };
  EXPECT_FALSE(update_.CheckForUpdate(fault_->Url("/slow/slow.ini")));
  EXPECT_EQ(update_.NewVersion(), "");
  EXPECT_EQ(events_, (Events{"BeforeGetInfo", "Download", "AfterGetInfo", "DownloadError"}));
}

}  // namespace
}  // namespace lumivora::webupdate
