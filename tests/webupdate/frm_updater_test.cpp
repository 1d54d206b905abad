// The update dialog over a scripted HTTP transport: every question, message,
// label and progress step it shows, the second check, and how the pack is
// replaced (or kept).
#include "webupdate/frm_updater.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "platform/recording/ui_recording.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/webupdate/servers.h"
#include "webupdate/info_file.h"
#include "webupdate/release_signing.h"

namespace lumivora::webupdate {
namespace {

using lumivora::testing::FakeSystem;
using lumivora::testing::ReadFile;
using lumivora::testing::TempDir;
using lumivora::testing::WriteFile;

struct Resource {
  int status = 200;
  std::string body;
  size_t cut = std::string::npos;  // the body of each answer ends after this many bytes
};

// Serves RESOURCES by path from host "update.test"; unknown paths are 404.
// A range is honoured (206) unless If-Range names another tag than "v1".
class ScriptedTransport final : public platform::HttpTransport {
 public:
  std::map<std::string, Resource> resources;
  std::vector<std::string> requested;
  std::vector<std::string> ranges;  // of each request that asked for one
  std::string etag = "\"v1\"";      // of every file; If-None-Match on it is answered 304
  bool honourConditions = true;
  std::vector<std::string> conditions;  // the If-None-Match values asked on
  std::vector<int> statuses;            // of each answer

  std::unique_ptr<platform::HttpResponse> Get(const platform::HttpRequest& request) override {
    requested.push_back(request.path);
    const auto it = resources.find(request.path);
    Resource resource = it == resources.end() ? Resource{404, "not found"} : it->second;
    std::string range;
    size_t from = 0;
    for (const std::string& line : request.headers) {
      if (line.starts_with("Range: bytes=")) {
        ranges.push_back(line.substr(13));
        from = std::stoul(line.substr(13));
      } else if (line.starts_with("If-Range: ") && line != "If-Range: " + etag) {
        from = 0;
      } else if (line.starts_with("If-None-Match: ")) {
        conditions.push_back(line.substr(15));
        resource =
            honourConditions && line == "If-None-Match: " + etag ? Resource{304, ""} : resource;
      }
    }
    statuses.push_back(resource.status);
    if (from > 0 && from < resource.body.size() && resource.status == 200) {
      range = "bytes " + std::to_string(from) + "-" + std::to_string(resource.body.size() - 1) +
              "/" + std::to_string(resource.body.size());
      resource = {206, resource.body.substr(from), resource.cut};
    }
    return std::make_unique<Response>(resource, range, etag);
  }

 private:
  class Response final : public platform::HttpResponse {
   public:
    Response(Resource resource, std::string range, std::string etag)
        : resource_(std::move(resource)), range_(std::move(range)), etag_(std::move(etag)) {}
    [[nodiscard]] int StatusCode() const override { return resource_.status; }
    [[nodiscard]] std::optional<std::string> ContentLength() const override {
      return std::to_string(resource_.body.size());
    }
    [[nodiscard]] std::optional<std::string> Header(std::string_view name) const override {
      if (name == "Content-Range" && !range_.empty()) {
        return range_;
      }
      return name == "ETag" ? std::optional<std::string>(etag_) : std::nullopt;
    }
    size_t Read(std::span<uint8_t> block) override {
      const size_t end = std::min(resource_.body.size(), resource_.cut);
      const size_t n = std::min(block.size(), end - position_);
      std::copy_n(resource_.body.begin() + static_cast<std::ptrdiff_t>(position_), n,
                  block.begin());
      position_ += n;
      return n;
    }
    [[nodiscard]] std::string Error() const override { return {}; }

   private:
    Resource resource_;
    std::string range_;
    std::string etag_;
    size_t position_ = 0;
  };
};

std::string InfoFile(const std::string& version, const std::string& file) {
  return testing::InfoFile(version, "http://update.test/" + file, file);
}

class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() {
    ::mkdir((dir / "tmp").c_str(), 0700);
    system.temp = dir / "tmp/";
    system.executable = dir / "LUMIVORA.EXE";
    WriteFile(PackPath(), "old pack");
  }

  [[nodiscard]] std::string PackPath() const {
    return packFolder.empty() ? dir / "Lumivorapack" : packFolder + "/Lumivorapack";
  }

  std::string Run(const std::string& version, bool silent) {
    UpdaterEnvironment environment{
        ui, system, transport, [this](const std::string& path) {
          checked.push_back(ReadFile(path));
          return packProblem.empty() ? platform::Result() : platform::Result::Failure(packProblem);
        }};
    environment.lockFile = lockFile;
    environment.trust = trust;
    environment.previousPack = PackPath() + ".previous";
    environment.badRelease = badRelease;
    environment.dataFolder = data.Path();
    environment.buildPatched = buildPatched;
    environment.preparePatched = preparePatched;
    environment.infoValidator = validator;
    environment.retryPause = [this](std::chrono::milliseconds wait) {
      pauses.push_back(wait.count());
      return true;
    };
    std::string result = "unchanged";
    TfrmUpdater::Execute(environment, version, PackPath(), "http://update.test/info1.ini",
                         "http://update.test/info2.ini", "http://update.test/upgrade?from=%s",
                         silent, result);
    validator = environment.infoValidator;
    freshOfferSeen = environment.trust.freshOfferSeen;
    return result;
  }

  [[nodiscard]] std::vector<std::string> MessageTexts() const {
    std::vector<std::string> texts;
    for (const auto& message : ui.messages) {
      texts.push_back(message.caption + "|" + message.text);
    }
    return texts;
  }

  TempDir dir;
  TempDir data;  // the per-user data folder
  std::vector<int64_t> pauses;
  FakeSystem system;
  platform::RecordingInterface ui;
  ScriptedTransport transport;
  std::string packProblem;
  std::string lockFile;
  std::string packFolder;  // the product folder when not the test's own
  ReleaseTrust trust;
  std::string badRelease;
  std::vector<std::string> checked;
  PatchBuilder buildPatched;
  PatchPreparer preparePatched;
  InfoValidator validator;  // carried from one Run to the next
  int64_t freshOfferSeen = 0;
};

const char kQuestion[] =
    "Warning|You are using version 1.0, but version 1.1 is available to download.\r\n"
    "Do you want to update your application now ?";

// One Execute per row: the answers given, what was asked, requested and
// opened, and the pack afterwards (the new one exactly when a version is
// returned).
TEST_F(UpdaterTest, ChecksFromInformationToPack) {
  using platform::MessageAnswer;
  struct Row {
    const char* name;
    std::map<std::string, std::string> served;
    bool silent;
    std::vector<MessageAnswer> answers;
    std::string result;
    std::vector<std::string> requested;
    std::vector<std::string> captions;  // of the boxes shown
    std::vector<std::string> opened = {};
    bool signedRelease = false;  // "new pack" signed, and the key trusted
    // A partial kept by an earlier start (recorded with VALIDATOR for the
    // offered release, or for another one when OTHER), the cut of each
    // answer of "/new.pack", and the ranges asked for.
    std::string partial = {};
    std::string validator = {};
    bool other = false;
    size_t cut = std::string::npos;
    std::vector<std::string> ranges = {};
    const char* badRelease = "";
  };
  const SecretKey root = SecretKey::Generate();
  Sha256Stream hash;
  hash.Update({reinterpret_cast<const uint8_t*>("new pack"), 8});
  const ReleaseStatement release{"product", "1.1", 8, hash.Finish()};
  const std::string statement = SignedReleaseLines(release, root, "");
  const auto mirrored = [](const std::string& first, const std::string& second) {
    return InfoFile("1.1", first) + "URL2=http://update.test/" + second + "\r\n";
  };
  const std::string info = InfoFile("1.1", "new.pack");
  const std::map<std::string, std::string> free = {{"/info1.ini", info}, {"/new.pack", "new pack"}};
  const std::map<std::string, std::string> paid = {{"/info1.ini", InfoFile("2.0", "new.pack")},
                                                   {"/new.pack", "new pack"}};
  const std::map<std::string, std::string> broken = {
      {"/info1.ini", InfoFile("1.1", "missing.pack")},
      {"/info2.ini", info},
      {"/new.pack", "new pack"}};
  const std::map<std::string, std::string> bothBroken = {
      {"/info1.ini", InfoFile("1.1", "missing.pack")},
      {"/info2.ini", InfoFile("1.1", "missing.pack")}};
  const std::vector<std::string> fetched = {"/info1.ini", "/new.pack"};
  const std::vector<std::string> infoOnly = {"/info1.ini"};
  const std::vector<std::string> secondAddress = {"/info1.ini", "/missing.pack", "/info2.ini",
                                                  "/new.pack"};
  const std::vector<std::string> brokenTwice = {"/info1.ini", "/missing.pack", "/info2.ini",
                                                "/missing.pack"};
  const std::vector<std::string> warning = {"Warning"};
  const std::vector<std::string> warnedTwice = {"Warning", "Warning"};
  const std::vector<std::string> upgrade = {"Upgrade"};
  const std::vector<std::string> upgradePage = {"http://update.test/upgrade?from=1.0"};
  const auto yes = MessageAnswer::kYes;
  const Row rows[] = {
      {"silent free update", free, true, {}, "1.1", fetched, {}},
      {"question answered No", free, false, {MessageAnswer::kNo}, "", infoOnly, warning},
      {"question answered Yes", free, false, {yes}, "1.1", fetched, warning},
      // The release recorded as bad is never installed again automatically.
      {"offer of the bad release",
       free,
       true,
       {},
       "",
       infoOnly,
       {},
       {},
       false,
       {},
       {},
       false,
       std::string::npos,
       {},
       "1.1"},
      // A paid upgrade is asked even when silent; OK opens the upgrade page.
      {"paid upgrade, Cancel", paid, true, {MessageAnswer::kCancel}, "", infoOnly, upgrade},
      {"paid upgrade, OK", paid, true, {MessageAnswer::kOk}, "", infoOnly, upgrade, upgradePage},
      // An unreachable first information file is not retried at the second.
      {"first information unreachable", {}, true, {}, "", infoOnly, {}},
      // A broken first download asks again and uses the second address.
      {"first download broken", broken, false, {yes, yes}, "1.1", secondAddress, warnedTwice},
      {"both downloads broken", bothBroken, true, {}, "", brokenTwice, {}},
      // A failed or refused download tries the next mirror before the
      // second information address.
      {"first address dead, the mirror installs",
       {{"/info1.ini", mirrored("missing.pack", "new.pack")}, {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       {"/info1.ini", "/missing.pack", "/new.pack"},
       {}},
      {"first address tampered, the mirror installs",
       {{"/info1.ini", mirrored("bad.pack", "new.pack") + statement},
        {"/bad.pack", "new pacX"},
        {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       {"/info1.ini", "/bad.pack", "/new.pack"},
       {},
       {},
       true},
      {"every mirror dead, the second information",
       {{"/info1.ini", mirrored("missing.pack", "gone.pack")},
        {"/info2.ini", info},
        {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       {"/info1.ini", "/missing.pack", "/gone.pack", "/info2.ini", "/new.pack"},
       {}},
      // Resumed downloads (signed releases only).
      {"a cut download goes on with ranges after each pause",
       {{"/info1.ini", info + statement}, {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       {"/info1.ini", "/new.pack", "/new.pack", "/new.pack"},
       {},
       {},
       true,
       "",
       "",
       false,
       3,
       {"3-", "6-"}},
      {"retries spent, the mirror goes on from the bytes kept",
       {{"/info1.ini", mirrored("new.pack", "mirror.pack") + statement},
        {"/new.pack", "new pack"},
        {"/mirror.pack", "new pack"}},
       true,
       {},
       "1.1",
       {"/info1.ini", "/new.pack", "/new.pack", "/new.pack", "/new.pack", "/mirror.pack"},
       {},
       {},
       true,
       "",
       "",
       false,
       1,
       {"1-", "2-", "3-", "4-"}},
      {"a partial of the offered release goes on",
       {{"/info1.ini", info + statement}, {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       fetched,
       {},
       {},
       true,
       "new ",
       "\"v1\"",
       false,
       std::string::npos,
       {"4-"}},
      {"a partial whose file changed starts afresh",
       {{"/info1.ini", info + statement}, {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       fetched,
       {},
       {},
       true,
       "old ",
       "\"v0\"",
       false,
       std::string::npos,
       {"4-"}},
      {"a partial of another release is discarded",
       {{"/info1.ini", info + statement}, {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       fetched,
       {},
       {},
       true,
       "new ",
       "\"v1\"",
       true},
      {"a partial larger than the signed size is discarded",
       {{"/info1.ini", info + statement}, {"/new.pack", "new pack"}},
       true,
       {},
       "1.1",
       fetched,
       {},
       {},
       true,
       "new pack!",
       "\"v1\""},
      {"a whole partial of the release is installed without a transfer",
       {{"/info1.ini", info + statement}},
       true,
       {},
       "1.1",
       infoOnly,
       {},
       {},
       true,
       "new pack",
       "\"v1\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(PackPath(), "old pack");
    ::chmod(PackPath().c_str(), 0640);
    ::unlink((PackPath() + ".previous").c_str());
    badRelease = row.badRelease;
    validator = {};
    transport.resources.clear();
    for (const auto& [path, body] : row.served) {
      transport.resources[path] = {200, body, path == "/new.pack" ? row.cut : std::string::npos};
    }
    if (!row.partial.empty()) {
      ReleaseStatement recorded = release;
      recorded.size += row.other ? 1 : 0;
      const auto store = PartialStore::Open(data.Path(), recorded, "new.pack");
      ASSERT_NE(store, nullptr);
      WriteFile(store->FilePath(), row.partial);
      store->Record({row.partial.size(), row.validator});
    }
    pauses.clear();
    transport.ranges.clear();
    transport.requested.clear();
    ui.messages.clear();
    ui.answers.assign(row.answers.begin(), row.answers.end());
    checked.clear();
    system.opened.clear();
    trust = row.signedRelease ? ReleaseTrust{"product", {root.Public()}, 0} : ReleaseTrust{};
    EXPECT_EQ(Run("1.0", row.silent), row.result);
    EXPECT_EQ(transport.requested, row.requested);
    EXPECT_EQ(transport.ranges, row.ranges);
    EXPECT_EQ(pauses.size(),
              row.cut == std::string::npos ? 0 : std::min<size_t>(3, row.ranges.size()));
    EXPECT_FALSE(PartialDownloadPresent(data.Path()));  // installed: consumed
    std::vector<std::string> captions;
    for (const auto& message : ui.messages) {
      captions.push_back(message.caption);
      if (message.caption == "Warning") {
        EXPECT_EQ(message.caption + "|" + message.text, kQuestion);
        EXPECT_EQ(message.buttons, platform::MessageButtons::kYesNo);
        EXPECT_EQ(message.defaultButton, MessageAnswer::kYes);
        EXPECT_EQ(message.icon, platform::MessageIcon::kWarning);
      }
    }
    EXPECT_EQ(captions, row.captions);
    EXPECT_EQ(system.opened, row.opened);
    const bool updated = !row.result.empty();
    EXPECT_EQ(ReadFile(PackPath()), updated ? "new pack" : "old pack");
    EXPECT_EQ(checked, updated ? std::vector<std::string>{"new pack"} : std::vector<std::string>{});
    // The replaced pack is kept whole with its mode, one generation.
    struct stat kept {};
    EXPECT_EQ(::stat((PackPath() + ".previous").c_str(), &kept) == 0, updated);
    if (updated) {
      EXPECT_EQ(ReadFile(PackPath() + ".previous"), "old pack");
      EXPECT_EQ(kept.st_mode & 0777U, 0640U);
    }
    // The download and its folder are gone; nothing else is left beside the pack.
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), updated ? 3 : 2);
  }
}

// Two checks per row, the second on what the first left: an unchanged
// information file costs one request answered 304 (no body, no question);
// anything the first check did not settle is fetched in full again.
TEST_F(UpdaterTest, SecondCheckAsksOnTheValidatorOfASettledOne) {
  struct Row {
    const char* name;
    std::string first;   // the version offered at the first check (1.0 installed)
    std::string second;  // at the second; another one under another tag
    bool honoured = true;
    bool partial = false;     // one is kept before the second check
    int64_t expiresIn = 0;    // the signed statement's expiry from now (0: unsigned)
    bool conditional = true;  // the second check asked on "v1"
    int status = 304;         // of its information file
    std::string result = "";  // of the second check
  };
  const int64_t now = 1'800'000'000;
  const SecretKey root = SecretKey::Generate();
  const ReleaseStatement release{"product", "1.0", 8, Sha256Digest{}};
  const Row rows[] = {
      {"unchanged", "1.0", "1.0"},
      {"changed, installed", "1.0", "1.1", true, false, 0, true, 200, "1.1"},
      {"declined, offered again", "1.1", "1.1", true, false, 0, false, 200, "1.1"},
      {"a partial is kept", "1.0", "1.0", true, true, 0, false, 200},
      {"the server ignores the condition", "1.0", "1.0", false, false, 0, true, 200},
      {"signed, expiring in a week", "1.0", "1.0", true, false, 7 * 86400},
      {"signed, expiring within a day", "1.0", "1.0", true, false, 86000, false, 200},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ReleaseStatement signedOffer = release;
    signedOffer.expires = now + row.expiresIn;
    const std::string statement =
        row.expiresIn != 0 ? SignedReleaseLines(signedOffer, root, "") : "";
    trust = row.expiresIn != 0 ? ReleaseTrust{"product", {root.Public()}, 0, now} : ReleaseTrust{};
    validator = {};
    transport.etag = "\"v1\"";
    transport.conditions.clear();
    transport.honourConditions = row.honoured;
    transport.resources = {{"/info1.ini", {200, InfoFile(row.first, "new.pack") + statement}},
                           {"/new.pack", {200, "new pack"}}};
    ui.answers = {platform::MessageAnswer::kNo};
    EXPECT_EQ(Run("1.0", row.first == "1.0"), "");
    if (row.partial) {
      const auto store = PartialStore::Open(data.Path(), release, "new.pack");
      ASSERT_NE(store, nullptr);
      WriteFile(store->FilePath(), "new ");
      store->Record({4, "\"v1\""});
    }
    if (row.second != row.first) {
      transport.etag = "\"v2\"";
      transport.resources["/info1.ini"].body = InfoFile(row.second, "new.pack");
    }
    transport.requested.clear();
    transport.statuses.clear();
    ui.messages.clear();
    freshOfferSeen = 0;
    EXPECT_EQ(Run("1.0", true), row.result);
    EXPECT_EQ(transport.conditions.size(), row.conditional ? 1U : 0U);
    EXPECT_EQ(transport.statuses.front(), row.status);
    EXPECT_EQ(transport.requested.size(), row.result.empty() ? 1U : 2U);
    EXPECT_TRUE(ui.messages.empty());
    // A 304 keeps the validator, and a statement still fresh counts as seen.
    EXPECT_EQ(validator.Empty(), !row.result.empty());
    EXPECT_EQ(freshOfferSeen, row.expiresIn != 0 ? now : 0);
  }
}

// A patch from the installed version replaces the pack's download: the
// builder gets the verified patch and its pack is installed. A patch that
// does not arrive, is not the signed one, or that the builder refuses (another
// base, a damaged installed pack, a write error) falls back to the whole pack
// without a box.
TEST_F(UpdaterTest, PatchFromTheInstalledVersionOrElseTheWholePack) {
  const SecretKey root = SecretKey::Generate();
  const auto digest = [](const std::string& bytes) {
    Sha256Stream hash;
    hash.Update({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    return hash.Finish();
  };
  ReleaseStatement release{"product", "1.1", 8, digest("new pack")};
  release.patches = {{"http://update.test/p-from-0.9.patch", "0.9", 3, digest("old")},
                     {"http://update.test/p-from-1.0.patch", "1.0", 5, digest("patch")}};
  release.programSize = 7;
  release.programSha256 = digest("program");
  struct Row {
    const char* name;
    std::string base;   // of the second patch
    std::string patch;  // served at the 1.0 patch's address (empty: 404)
    bool builds;
    std::vector<std::string> requested;
    std::string kept = "";  // the patch's partial kept by an earlier start
    std::vector<std::string> ranges = {};
  };
  const std::string patchPath = "/p-from-1.0.patch";
  // The preparer's work ends (before a whole pack is asked for) where this
  // shows among the requests.
  const std::string kReleased = "(prepared work released)";
  preparePatched = [this](const std::string& output) {
    EXPECT_TRUE(output.ends_with("new.pack")) << output;
    return std::shared_ptr<void>(
        nullptr, [this](void*) { transport.requested.push_back("(prepared work released)"); });
  };
  const Row rows[] = {
      {"the patch applies", "1.0", "patch", true, {"/info1.ini", patchPath, kReleased}},
      {"no patch for the installed version", "0.8", "patch", true, {"/info1.ini", "/new.pack"}},
      {"the patch is missing", "1.0", "", true, {"/info1.ini", patchPath, kReleased, "/new.pack"}},
      {"a tampered patch", "1.0", "pAtch", true, {"/info1.ini", patchPath, kReleased, "/new.pack"}},
      {"a truncated patch", "1.0", "pat", true, {"/info1.ini", patchPath, kReleased, "/new.pack"}},
      {"the builder refuses",
       "1.0",
       "patch",
       false,
       {"/info1.ini", patchPath, kReleased, "/new.pack"}},
      {"a kept partial goes on",
       "1.0",
       "patch",
       true,
       {"/info1.ini", patchPath, kReleased},
       "pa",
       {"2-"}},
  };
  trust = ReleaseTrust{"product", {root.Public()}, 0};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(PackPath(), "old pack");
    release.patches[1].fromVersion = row.base;
    const std::string info = InfoFile("1.1", "new.pack") + SignedReleaseLines(release, root, "");
    transport.resources = {{"/info1.ini", {200, info}}, {"/new.pack", {200, "new pack"}}};
    if (!row.patch.empty()) {
      transport.resources[patchPath] = {200, row.patch};
    }
    if (!row.kept.empty()) {
      const auto store = PartialStore::Open(
          data.Path(), PatchStatement(release, release.patches[1]), "p-from-1.0.patch");
      ASSERT_NE(store, nullptr);
      WriteFile(store->FilePath(), row.kept);
      store->Record({row.kept.size(), "\"v1\""});
    }
    transport.requested.clear();
    transport.ranges.clear();
    ui.messages.clear();
    checked.clear();
    std::vector<std::string> given;
    buildPatched = [&](const PatchedPack& request) {
      given.push_back(ReadFile(request.patchFile) + " " + request.version + " " +
                      std::to_string(request.programSize));
      if (!row.builds) {
        return platform::Result::Failure("the patch does not apply");
      }
      EXPECT_TRUE(request.programSha256 == release.programSha256);
      WriteFile(request.output, "made pack");
      return platform::Result();
    };
    const bool patched = row.requested.size() == 3 && row.requested[1] == patchPath;
    EXPECT_EQ(Run("1.0", true), "1.1");
    EXPECT_EQ(transport.requested, row.requested);
    EXPECT_EQ(transport.ranges, row.ranges);
    EXPECT_FALSE(PartialDownloadPresent(data.Path()));
    EXPECT_EQ(ReadFile(PackPath()), patched ? "made pack" : "new pack");
    EXPECT_EQ(ReadFile(PackPath() + ".previous"), "old pack");
    EXPECT_EQ(given.size(), row.patch == "patch" && row.base == "1.0" ? 1U : 0U);
    EXPECT_TRUE(MessageTexts().empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));
  }
}

// Cancel clicked at the Nth message processing (the dialog's, then one per
// block): in a long information file the check ends, in the download the
// second address is tried; the pack is kept, no box, no download is left.
TEST_F(UpdaterTest, CancelKeepsThePack) {
  const std::string info = InfoFile("1.1", "new.pack");
  const std::tuple<std::string, int, std::vector<std::string>> rows[] = {
      {info + std::string(20000, ';'), 2, {"/info1.ini"}},
      {info, 10, {"/info1.ini", "/new.pack", "/info2.ini"}},
  };
  for (const auto& [served, cancelAt, requested] : rows) {
    transport.resources["/info1.ini"] = {200, served};
    transport.resources["/new.pack"] = {200, std::string(100000, 'n')};
    transport.requested.clear();
    ui.processCount = 0;
    ui.onProcessMessages = [this, cancelAt](int count) {
      if (count == cancelAt) {
        ui.PressCancel();
      }
    };
    EXPECT_EQ(Run("1.0", true), "");
    EXPECT_EQ(transport.requested, requested);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ReadFile(PackPath()), "old pack");
    EXPECT_TRUE(checked.empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));
  }
}

TEST_F(UpdaterTest, RefusedReplacementsKeepTheOldPackAndDeleteTheDownload) {
  struct Row {
    const char* name;
    bool readOnly;
    const char* problem;
    std::string message;
    std::string file = "new.pack";  // the name the server gives the download
    std::string shownFile = "new.pack";
    std::string packFolder;  // where the pack lies, when not beside the test
  };
  const std::string refused = "/new.pack\r to: " + PackPath();
  const std::string lock = dir / "lock";
  const std::string hostile = "\x1b[2J" + std::string(200, 'n');
  const std::string shown = "^[[2J" + std::string(76, 'n') + "...";
  const Row rows[] = {
      {"read-only pack", true, "", refused + "\rThe pack is read-only."},
      {"not a pack", false, "The download is not a valid pack: Incomplete Zip File",
       refused + "\rThe download is not a valid pack: Incomplete Zip File"},
      // Never replaced without the lock.
      {"lock file that is a folder", false, "", refused + "\rUnable to lock " + lock},
      // The server's name is shown escaped and cut.
      {"name with control characters", true, "",
       "/" + shown + "\r to: " + PackPath() + "\rThe pack is read-only.", hostile, shown},
      // A product folder this user cannot write says why.
      {"product folder that cannot be written", false, "",
       "/new.pack\r to: " + (dir / "gone/Lumivorapack") + "\rCannot create file " +
           (dir / "gone/Lumivorapack") + ".new-... (No such file or directory)",
       "new.pack", "new.pack", dir / "gone"},
  };
  ::mkdir(lock.c_str(), 0755);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    packFolder = row.packFolder;
    if (packFolder.empty()) {
      WriteFile(PackPath(), "old pack");
      ::chmod(PackPath().c_str(), row.readOnly ? 0444 : 0644);
    }
    ui.messages.clear();
    ui.events.clear();
    packProblem = row.problem;
    lockFile = row.message.find(lock) == std::string::npos ? "" : lock;
    transport.resources["/info1.ini"] = {200, InfoFile("1.1", row.file)};
    transport.resources["/" + row.file] = {200, "new pack"};
    EXPECT_EQ(Run("1.0", true), "");
    EXPECT_EQ(ui.EventsStartingWith("frmUpdater.lbl_File=Downloading file " + row.shownFile).size(),
              1U);
    // The download lies in a folder of this run's own in the temporary folder.
    ASSERT_EQ(MessageTexts().size(), 1U);
    const std::string text = MessageTexts()[0];
    EXPECT_EQ(text.rfind("Lumivora|Can not copy: " + (dir / "tmp/Lumivora-update-"), 0), 0U)
        << text;
    EXPECT_EQ(text.substr(text.find("/" + row.shownFile)), row.message);
    EXPECT_EQ(ReadFile(PackPath()), packFolder.empty() ? "old pack" : "");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));
    ::chmod(PackPath().c_str(), 0644);
  }
}

TEST_F(UpdaterTest, DialogTextsLabelsAndProgressInBytes) {
  transport.resources["/info1.ini"] = {200, InfoFile("1.1", "new.pack")};
  transport.resources["/new.pack"] = {200, std::string(100000, 'n')};
  EXPECT_EQ(Run("1.0", true), "1.1");
  const auto has = [this](const std::string& event) {
    return std::find(ui.events.begin(), ui.events.end(), event) != ui.events.end();
  };
  for (const char* event :
       {"create frmUpdater", "show frmUpdater", "frmUpdater.frmUpdater=Lumivora",
        "frmUpdater.grpUpdate= Program Update: ", "frmUpdater.lblYourVer=Your version:",
        "frmUpdater.lblWebVer=Version at the web:", "frmUpdater.btn_Update=&Cancel",
        "frmUpdater.lbl_YourVersion=1.0", "frmUpdater.lbl_WebVersion=1.1",
        "frmUpdater.lbl_File=Downloading file new.pack", "frmUpdater.max=100000",
        "frmUpdater.position=100000", "destroy frmUpdater"}) {
    EXPECT_TRUE(has(event)) << event;
  }
  // The information fetch moves no progress: the first range set after the
  // labels is the download's.
  const auto labels =
      std::find(ui.events.begin(), ui.events.end(), "frmUpdater.lbl_WebVersion=1.1");
  const auto firstRange = std::find_if(ui.events.begin(), ui.events.end(), [](const auto& e) {
    return e.rfind("frmUpdater.max=", 0) == 0 && e != "frmUpdater.max=100";
  });
  EXPECT_LT(labels, firstRange);
}

TEST(UpdaterText, FormatAndApplicationTitle) {
  EXPECT_EQ(FormatText("http://x/?v=%s", {"1.2"}), "http://x/?v=1.2");
  EXPECT_EQ(FormatText("http://x/100%%/%s", {"1.2"}), "http://x/100%/1.2");
  EXPECT_EQ(FormatText("http://x/", {"1.2"}), "http://x/");
  EXPECT_EQ(FormatText("%", {"1.2"}), "%");
  EXPECT_EQ(ApplicationTitle("/opt/app/LUMIVORA.EXE"), "Lumivora");
  EXPECT_EQ(ApplicationTitle("/opt/app/lumivora"), "lumivora");
  EXPECT_EQ(ApplicationTitle("C:\\Apps\\MyApp.v2.exe"), "Myapp");
}

}  // namespace
}  // namespace lumivora::webupdate
