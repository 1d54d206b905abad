// The self-update through the real lumivora binary: a loopback nginx (started
// by tools/update-server) serves the update information file and new packs on
// 127.0.0.1:8808, the address built into the demo launcher. The whole test
// program runs in a private network namespace (tests/e2e/in-private-network),
// so that port is free and nothing leaves the machine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>

#include "tests/e2e/update_server.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/zip.h"
#include "tests/webupdate/servers.h"
#include "webupdate/release_time.h"

namespace lumivora::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class SelfUpdateTest : public ::testing::Test, public LauncherInstall {
 protected:
  // Without a display: the launcher's questions come to the terminal.
  // MORE: further environment; ARGUMENT: the launcher's; WRAPPER: the command
  // that runs the launcher.
  ChildProcess Start(bool terminal = false, const std::map<std::string, std::string>& more = {},
                     const std::string& argument = "first argument",
                     std::vector<std::string> wrapper = {}) {
    auto env = Env();
    env.insert({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    env.insert(more.begin(), more.end());
    wrapper.insert(wrapper.end(), {dir / "install/lumivora", argument});
    return ChildProcess(wrapper, lumivora::testing::Environment(env), terminal);
  }
  // Makes the next start's update check due, keeping the other settings.
  void CheckDue() const {
    const std::string text = ReadFile(Settings());
    const size_t day = text.find("NextUpdate=");
    WriteFile(Settings(),
              text.substr(0, day) + text.substr(text.find('\n', day) + 1) + "NextUpdate=0\n");
  }
  // The pack is the old or the new one, whole, and Version names it.
  [[nodiscard]] bool PackAndVersionAgree(const std::string& newPack) const {
    const std::string pack = ReadFile(Pack());
    return PackIsWhole(Pack()) &&
           ((pack == oldPack && Version() == "1.0") || (pack == newPack && Version() == "1.1"));
  }
  // Downloads and download folders left in the temporary folder.
  [[nodiscard]] std::vector<std::string> Downloads() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "tmp")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("Lumivorapack", 0) == 0 || name.rfind("Lumivora-update-", 0) == 0) {
        names.push_back(entry.path().filename());
      }
    }
    return names;
  }
};

const std::string kUpdateIni = "GET /lumivora/update.ini";
const std::string kUpdate2Ini = "GET /lumivora/update2.ini";
const std::string kNewPack = "GET /lumivora/Lumivorapack-1.1";

// Directly, through a proxy the environment or a PAC file names (tinyproxy,
// whose own log shows the requests), with the proxy's Basic credentials in its
// address; a proxy that wants credentials it is not given ends the check and
// the installed program starts. The diagnostic log names each step, and
// neither the pack password, the hand-off record nor a credential.
TEST_F(SelfUpdateTest, SilentFreeUpdateReplacesThePackAndStartsTheNewProgram) {
  const webupdate::testing::Tinyproxy open;
  const webupdate::testing::Tinyproxy locked("alice", "s3cret");
  WriteFile(
      dir / "www/lumivora/proxy.pac",
      "function FindProxyForURL(url, host) { return \"PROXY " + open.Url().substr(7) + "\"; }");
  struct Row {
    const char* what;
    std::string httpProxy;
    const webupdate::testing::Tinyproxy* via;
    bool updated;
    std::string logged;  // the proxy step of the log
  };
  const std::string info = "http://127.0.0.1:8808/lumivora/update.ini";
  const Row rows[] = {
      {"directly", "", nullptr, true, "fetch " + info + ": status 200"},
      {"http_proxy", open.Url(), &open, true, "redirections, proxy " + open.Url()},
      {"a PAC file", "pac+http://127.0.0.1:8808/lumivora/proxy.pac", &open, true,
       "redirections, proxy " + open.Url()},
      {"Basic credentials", locked.Url("alice:s3cret"), &locked, true,
       "redirections, proxy " + locked.Url()},
      {"no credentials", locked.Url(), &locked, false, "status 407, 0 bytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WriteFile(Pack(), oldPack);
    WriteSettings("1");
    Offer("update.ini", "1.1", "Lumivorapack-1.1");
    Offer("update2.ini", "1.1", "Lumivorapack-1.1");
    const UpdateServer server(dir / "www", "0");
    // Under umask 000 the new pack still has the old one's mode.
    ::chmod(Pack().c_str(), 0750);
    const mode_t umask = ::umask(0);
    ChildProcess launcher = Start(false, {{"http_proxy", row.httpProxy}});
    ::umask(umask);
    const ProcessResult result = launcher.Wait(seconds(60));
    struct stat status {};
    ASSERT_EQ(::stat(Pack().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, 0750U);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string started =
        row.updated ? "Lumivoramain 1.1 started" : "Lumivoramain 1.0 started";
    EXPECT_NE(result.out.find(started), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("argument 2: first argument"), std::string::npos) << result.out;
    EXPECT_EQ(ReadFile(Pack()) != oldPack, row.updated);
    EXPECT_EQ(Version(), row.updated ? "1.1" : "1.0");
    EXPECT_TRUE(Downloads().empty());
    std::vector<std::string> served{kUpdateIni, kNewPack};
    if (row.httpProxy.starts_with("pac+")) {
      served.insert(served.begin(), "GET /lumivora/proxy.pac");  // libproxy's own fetch
    }
    EXPECT_EQ(server.Requests(), row.updated ? served : std::vector<std::string>{});
    if (row.via != nullptr) {  // the proxy's last request: the pack, or the refused file
      ASSERT_FALSE(row.via->Requests().empty());
      EXPECT_EQ(row.via->Requests().back(), "GET http://127.0.0.1:8808" +
                                                (row.updated ? kNewPack : kUpdateIni).substr(4) +
                                                " HTTP/1.0");
    }
    const std::string log = ReadFile(dir / "home/.config/Lumivora/Lumivora.log");
    const std::string steps[] = {
        "Z guard: no main program runs",
        "Z schedule: an update check is due",
        row.logged,
        row.updated ? "Z statement accepted: key " : "information: none usable: HTTP status 407",
        row.updated ? "Z version: installed 1.0, offered 1.1: a free update" : "proxy refused",
        row.updated ? "Z download: address 1 of 1, http://127.0.0.1:8808/lumivora/Lumivorapack-1.1"
                    : "Z update: none installed, version 1.0 stays",
        row.updated ? "Z replacement: the pack is version 1.1" : "Z extraction: ",
        "Z extraction: Lumivoramain extracted",
        "Z start: started "};
    const size_t at = log.rfind("Z guard: ");
    for (const std::string& step : steps) {
      EXPECT_NE(log.find(step, at), std::string::npos) << step << "\n" << log;
    }
    const size_t record = result.out.find("hand-off record: ") + 17;
    const std::string handOff = result.out.substr(record, result.out.find('\n', record) - record);
    for (const std::string& secret :
         {std::string(LUMIVORA_PACK_PASSWORD), handOff, std::string("s3cret")}) {
      EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
  }
  // A read-only data folder (mounted so, for root too): no log line, no update
  // (the schedule cannot be recorded), and the installed program starts.
  WriteFile(Pack(), oldPack);
  const std::string data = dir / "home/.config/Lumivora";
  const std::string log = ReadFile(data + "/Lumivora.log");
  const UpdateServer server(dir / "www", "0");
  const ProcessResult result =
      Start(false, {}, "first argument",
            {"unshare", "-m", "sh", "-c", R"(mount --bind -o ro "$0" "$0" && exec "$@")", data})
          .Wait(seconds(60));
  EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos)
      << result.out << result.err;
  EXPECT_NE(result.err.find("Unable to write to " + data), std::string::npos) << result.err;
  EXPECT_EQ(ReadFile(data + "/Lumivora.log"), log);
}

// A delta update: the vendor's `release --previous` with the installed 1.0
// pack; the launcher fetches the information file and the patch only, makes
// the pack (the 1.1 program byte for byte) and starts 1.1. A patch that is
// damaged, cut short or made for another 1.0 falls back to the whole pack, with
// no message.
TEST_F(SelfUpdateTest, PatchFromTheInstalledVersionReplacesThePackDownload) {
  const std::string tool = kBin + "/lumivora-tool";
  const std::string www = dir / "www/lumivora";
  const std::string patch = "GET /lumivora/Lumivorapack-1.1-from-1.0.patch";
  struct Row {
    const char* what;
    std::function<void(const std::string& patchFile)> spoil;
    bool otherBase;
    std::vector<std::string> served;
  };
  const Row rows[] = {
      {"the patch applies", nullptr, false, {kUpdateIni, patch}},
      {"a tampered patch",
       [](const std::string& file) {
         std::string bytes = ReadFile(file);
         bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x40);
         WriteFile(file, bytes);
       },
       false,
       {kUpdateIni, patch, kNewPack}},
      {"a truncated patch",
       [](const std::string& file) { fs::resize_file(file, fs::file_size(file) / 2); },
       false,
       {kUpdateIni, patch, kNewPack}},
      {"a patch for another 1.0", nullptr, true, {kUpdateIni, patch, kNewPack}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string base = row.otherBase ? dir / "other-1.0" : Pack();
    ASSERT_EQ(
        RunProcess({tool, "pack", kBin + "/lumivora-sample-main", "-o", Pack(), "--version", "1.0"},
                   {})
            .exitCode,
        0);
    const std::string installed = ReadFile(Pack());
    if (row.otherBase) {  // the same version made from another program
      ASSERT_EQ(
          RunProcess({tool, "pack", kBin + "/lumivora-tool", "-o", base, "--version", "1.0"}, {})
              .exitCode,
          0);
    }
    const ProcessResult release =
        RunProcess({tool, "release", kBin + "/lumivora-sample-main-1.1", "--version", "1.1",
                    "--url", "http://127.0.0.1:8808/lumivora/Lumivorapack-1.1", "--key",
                    kSource + "/keys/demo-only/root.key", "--previous", base, "-o", www},
                   {});
    ASSERT_EQ(release.exitCode, 0) << release.err;
    if (row.spoil) {
      row.spoil(www + "/Lumivorapack-1.1-from-1.0.patch");
    }
    WriteSettings("1");
    const UpdateServer server(dir / "www", "0");
    const ProcessResult result = Start().Wait(seconds(60));
    EXPECT_NE(result.out.find("Lumivoramain 1.1 started"), std::string::npos) << result.err;
    EXPECT_EQ(server.Requests(), row.served);
    EXPECT_EQ(Version(), "1.1");
    EXPECT_EQ(ReadFile(Pack() + ".previous"), installed);  // kept for a rollback
    fs::remove_all(dir / "extracted");
    const ProcessResult extracted = RunProcess(
        {tool, "extract", Pack(), "-d", dir / "extracted", "-P", LUMIVORA_PACK_PASSWORD}, {});
    ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(ReadFile(dir / "extracted/Lumivoramain"),
              ReadFile(kBin + "/lumivora-sample-main-1.1"));
    EXPECT_TRUE(Downloads().empty());
    const std::string log = ReadFile(dir / "home/.config/Lumivora/Lumivora.log");
    EXPECT_NE(log.find(row.served.size() == 2 ? "delta: version 1.1 made from version 1.0"
                                              : "Z download: address 1 of 1",
                       log.rfind("Z guard: ")),
              std::string::npos)
        << log;
  }
}

// The question at the terminal: answered there, answered No without a
// terminal, and a paid upgrade asked even in silent mode, which changes
// nothing. (When to ask, and the second address, are the update dialog's
// rules, tested over a scripted transport.)
TEST_F(SelfUpdateTest, QuestionsAtTheTerminal) {
  struct Row {
    const char* answer;  // typed at the terminal; nullptr: no terminal
    const char* silent;
    const char* offered;
    std::string shown;  // on standard error
    bool updated;
  };
  const std::string free =
      "Warning (warning)\nYou are using version 1.0, but version 1.1 is available to download.\n"
      "Do you want to update your application now ?";
  const Row rows[] = {
      {"y\n", "0", "1.1", free, true},
      {"n\n", "0", "1.1", free, false},
      {nullptr, "0", "1.1", "(no terminal: answered No)", false},
      {nullptr, "1", "2.0",
       "Upgrade (question)\nYou are using version 1.0, but version 2.0 is available \nfor paid "
       "upgrade as the major version changed.\nDo you want to upgrade your application now ?",
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown.substr(0, 20) + (row.answer != nullptr ? row.answer : ""));
    WriteFile(Pack(), oldPack);
    WriteSettings(row.silent);
    Offer("update.ini", row.offered, "Lumivorapack-1.1");
    Offer("update2.ini", row.offered, "Lumivorapack-1.1");
    const UpdateServer server(dir / "www", "0");
    ChildProcess launcher = Start(row.answer != nullptr);
    if (row.answer != nullptr) {
      ASSERT_TRUE(
          launcher.WaitForError("Do you want to update your application now ?", seconds(30)));
      launcher.Type(row.answer);
    }
    const ProcessResult result = launcher.Wait(seconds(60));
    EXPECT_NE(result.err.find(row.shown), std::string::npos) << result.err;
    // The dialog's lines: each version after its own caption.
    EXPECT_NE(result.err.find("Lumivora: Your version: 1.0\nLumivora: Version at the web: " +
                              std::string(row.offered) + "\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(Version(), row.updated ? "1.1" : "1.0");
    EXPECT_EQ(OldPackKept(), !row.updated);
    EXPECT_NE(
        result.out.find(row.updated ? "Lumivoramain 1.1 started" : "Lumivoramain 1.0 started"),
        std::string::npos);
    // No is not retried with the second address.
    EXPECT_EQ(server.Requests(), (row.updated ? std::vector<std::string>{kUpdateIni, kNewPack}
                                              : std::vector<std::string>{kUpdateIni}));
  }
}

// A release whose main program fails at once is rolled back on the same
// start and not installed again by the next due check; the next higher
// release is, and its healthy first start is not waited on once its main
// program holds the guard (the watch's window is 10 s).
TEST_F(SelfUpdateTest, BadReleaseIsRolledBackAndOnlyAHigherOneInstalled) {
  const std::map<std::string, std::string> failing = {{"LUMIVORA_SAMPLE_FAIL", "1.1"}};
  WriteSettings("1");
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  for (const bool again : {false, true}) {
    SCOPED_TRACE(again ? "the bad release offered again" : "the bad release");
    const UpdateServer server(dir / "www", "0");
    const ProcessResult result = Start(false, failing).Wait(seconds(60));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const size_t failed = result.out.find("Lumivoramain 1.1 failed");
    EXPECT_EQ(failed != std::string::npos, !again) << result.out;
    EXPECT_NE(result.out.find("Lumivoramain 1.0 started", again ? 0 : failed), std::string::npos)
        << result.out;
    EXPECT_EQ(
        result.err.find("Version 1.1 did not start properly, so version 1.0 has been restored.") !=
            std::string::npos,
        !again)
        << result.err;
    EXPECT_TRUE(OldPackKept());
    EXPECT_EQ(Version(), "1.0");
    EXPECT_EQ(SettingsValue("BadRelease"), "1.1");
    EXPECT_FALSE(fs::exists(Pack() + ".previous"));
    EXPECT_EQ(server.Requests(), (again ? std::vector<std::string>{kUpdateIni}
                                        : std::vector<std::string>{kUpdateIni, kNewPack}));
    CheckDue();
  }
  MakePack(kBin + "/lumivora-sample-main-1.2", dir / "www/lumivora/Lumivorapack-1.2");
  Offer("update.ini", "1.2", "Lumivorapack-1.2");
  const UpdateServer server(dir / "www", "0");
  // "--hold" goes on to the main program, which holds the guard until its
  // standard input closes.
  ChildProcess launcher = Start(false, failing, "--hold");
  ASSERT_TRUE(launcher.WaitForOutput("holding the guard", seconds(30)));
  const auto held = std::chrono::steady_clock::now();
  ASSERT_TRUE(PollUntil([&] { return launcher.Ended(); }, seconds(8)));
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - held);
  std::printf("launcher ended %lld ms after the guard was taken\n",
              static_cast<long long>(after.count()));
  EXPECT_LT(after, seconds(3));
  launcher.CloseInput();
  const ProcessResult result = launcher.Wait(seconds(30));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFile(Pack()), ReadFile(dir / "www/lumivora/Lumivorapack-1.2"));
  EXPECT_EQ(Version(), "1.2");
  EXPECT_EQ(ReadFile(Pack() + ".previous"), oldPack);
  EXPECT_EQ(SettingsValue("PreviousVersion"), "1.0");
  EXPECT_EQ(SettingsValue("FirstStart"), "");
}

// A check that finds nothing new asks update.ini on the validator of the last
// one (nginx's Last-Modified): one request, a 304 without a body, logged; a
// changed file is fetched in full and installed.
TEST_F(SelfUpdateTest, UnchangedInformationFileIsAnswered304) {
  WriteSettings("1");
  Offer("update.ini", "1.0", "Lumivorapack-1.1");
  for (const int check : {1, 2, 3}) {
    SCOPED_TRACE(check);
    if (check == 3) {
      Offer("update.ini", "1.1", "Lumivorapack-1.1");
    }
    const UpdateServer server(dir / "www", "0");
    const ProcessResult result = Start().Wait(seconds(60));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(server.Requests(), (check == 3 ? std::vector<std::string>{kUpdateIni, kNewPack}
                                             : std::vector<std::string>{kUpdateIni}));
    const uint64_t body = server.BytesSent(kUpdateIni).first;
    std::printf("check %d: update.ini body %llu bytes\n", check,
                static_cast<unsigned long long>(body));
    EXPECT_EQ(body == 0, check == 2);
    const std::string log = ReadFile(dir / "home/.config/Lumivora/Lumivora.log");
    EXPECT_EQ(log.find("status 304") != std::string::npos, check >= 2) << log;
    EXPECT_EQ(Version(), check == 3 ? "1.1" : "1.0");
    EXPECT_EQ(SettingsValue("InfoAddress").empty(), check == 3);
    CheckDue();
  }
}

TEST_F(SelfUpdateTest, CtrlCDuringTheDownloadCancelsIt) {
  WriteSettings("1");
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "20000");  // bytes per second
  ChildProcess launcher = Start();
  ASSERT_TRUE(launcher.WaitForError("Downloading file", seconds(30)));
  launcher.Signal(SIGINT);
  const ProcessResult result = launcher.Wait(seconds(60));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(OldPackKept());
  EXPECT_EQ(Version(), "1.0");
  // The accepted update is tried once more at the second address.
  EXPECT_EQ(server.Requests(), (std::vector<std::string>{kUpdateIni, kNewPack, kUpdate2Ini}));
  EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos);
  EXPECT_TRUE(Downloads().empty());  // the cancelled download's file is gone
}

// A ZIP archive made by hand that holds PROGRAM once per entry of NAMES;
// with PASSWORD encrypted; entry BADCRC (if any) with a wrong CRC.
std::string HandMadeZip(const Bytes& program, const std::vector<std::string>& names,
                        const std::string& password, size_t badCrc = SIZE_MAX) {
  ZipLayout layout;
  for (size_t i = 0; i < names.size(); ++i) {
    // A wrong low byte only: the password check uses the high one.
    const int64_t crc = i == badCrc ? int64_t{Crc(program) ^ 1U} : -1;
    layout.entries.push_back(
        {.name = names[i], .data = program, .password = password, .crcOverride = crc});
  }
  const Bytes bytes = BuildZip(layout);
  return {bytes.begin(), bytes.end()};
}

// Forged, damaged and refused releases leave the old pack and Version with a
// message that says why; whole releases signed by a certified signing key are
// installed (signed by the root key: the silent update above). (Which signatures are refused is the
// signature check's table; here one unsigned offer and a serial below the
// one in the settings prove that a refusal keeps the pack.)
TEST_F(SelfUpdateTest, OnlyWholeSignedReleasesReplaceThePack) {
  if (!LauncherTrustsDemoRoot()) {
    GTEST_SKIP() << "this launcher does not trust the demo-only root key";
  }
  namespace wu = webupdate;
  const std::string pack = ReadFile(dir / "www/lumivora/Lumivorapack-1.1");
  const std::string good = SignatureLines(pack, "1.1");
  const wu::SecretKey signer = wu::SecretKey::Generate();
  const auto certified = [&](uint64_t serial) {
    return SignatureLines(pack, "1.1", signer,
                          wu::EncodeCertificate(wu::CertifyKey(DemoRootKey(), signer.Public(),
                                                               serial, LUMIVORA_PRODUCT_IDENTITY)));
  };
  // A statement that expired two days ago, and the same after
  // "lumivora-tool refresh" re-signed it for 30 days more.
  wu::Sha256Stream hash;
  hash.Update(ToBytes(pack));
  const auto unixTime = [] {
    return std::chrono::duration_cast<seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const int64_t now = unixTime();
  const std::string expired = wu::SignedReleaseLines(
      {LUMIVORA_PRODUCT_IDENTITY, "1.1", pack.size(), hash.Finish(), now - int64_t{2} * 86400},
      DemoRootKey(), "");
  WriteFile(dir / "refreshed.ini", "[Setup]\r\nVersion=1.1\r\n" + expired);
  EXPECT_EQ(RunProcess({kBin + "/lumivora-tool", "refresh", dir / "refreshed.ini", "--key",
                        kSource + "/keys/demo-only/root.key", "--expires", "30"},
                       {})
                .exitCode,
            0);
  std::string refreshed = ReadFile(dir / "refreshed.ini");
  refreshed.erase(0, refreshed.find("ReleaseProduct="));
  std::string flipped = pack;
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 1);
  const std::string garbage(5000, 'g');
  const Bytes program = ReadBytes(kBin + "/lumivora-sample-main-1.1");
  const std::string password = LUMIVORA_PACK_PASSWORD;
  const Bytes deflated = RawDeflate(ToBytes(pack));
  const std::string gzip = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) +
                           std::string(deflated.begin(), deflated.end());
  const std::string plain = HandMadeZip(program, {"Lumivoramain"}, "");
  const std::string twice = HandMadeZip(program, {"Lumivoramain", "Lumivoramain"}, password, 1);
  const std::string capitals = HandMadeZip(program, {"LUMIVORAMAIN"}, password);
  const std::string otherPassword = HandMadeZip(program, {"Lumivoramain"}, "not the pack's");
  const std::string noMain = HandMadeZip(program, {"Readme"}, password);
  const std::string script =
      HandMadeZip(ToBytes("#!/bin/sh\necho 1.1\n"), {"Lumivoramain"}, password);
  const std::string refused = "lumivora (error)\nThe update was refused: ";
  const std::string notCopied = "\n to: " + Pack() + "\n";
  const std::string mirror = "http://127.0.0.1:8808/lumivora/mirror/Lumivorapack-1.1";
  fs::create_directories(dir / "www/lumivora/mirror");
  WriteFile(dir / "www/lumivora/mirror/Lumivorapack-1.1", pack);
  struct Row {
    const char* name;
    std::string signature;  // the statement's lines in the information file
    std::string served;     // as the new pack
    std::string before;     // settings lines before the run
    std::string message;    // in the output; empty: the update is installed
    std::string serial;     // SigningSerial after the run
  };
  const Row rows[] = {
      {"no signature", "", pack, "", refused + "The update is not signed.", ""},
      {"one byte of the file changed", good, flipped, "",
       notCopied + "The download's SHA-256 is not the one of the signed release.", ""},
      // Refused as soon as the server announces it, before a byte is written.
      {"the size changed", good, pack + "x", "",
       refused + "The download has " + std::to_string(pack.size() + 1) +
           " bytes, but the signed release has " + std::to_string(pack.size()) + ".",
       ""},
      {"certificate serial below the recorded one", certified(4), pack, "SigningSerial=5\n",
       refused + "The update's certificate has serial 4, below the highest accepted serial 5", "5"},
      {"download that is not a pack", SignatureLines(garbage, "1.1"), garbage, "",
       notCopied + "The download is not a valid pack: ", ""},
      {"gzip download", SignatureLines(gzip, "1.1"), gzip, "",
       notCopied + "The download is gzip data, not a pack.", ""},
      {"main program not encrypted", SignatureLines(plain, "1.1"), plain, "",
       notCopied + "The main program in the download is not encrypted.", ""},
      {"two main programs, the second with a bad CRC", SignatureLines(twice, "1.1"), twice, "",
       notCopied + "The download holds 2 entries named \"Lumivoramain\".", ""},
      {"main program stored in capitals", SignatureLines(capitals, "1.1"), capitals, "",
       notCopied + "The main program is stored as \"LUMIVORAMAIN\", not \"Lumivoramain\".", ""},
      {"main program under another password", SignatureLines(otherPassword, "1.1"), otherPassword,
       "", notCopied + "The download is not encrypted with the pack password.", ""},
      {"no main program", SignatureLines(noMain, "1.1"), noMain, "",
       notCopied + "The download holds no main program.", ""},
      {"main program not an ELF executable", SignatureLines(script, "1.1"), script, "",
       notCopied + "The main program in the download is not a program for this system.", ""},
      // A mirror serves the signed pack that the first address does not.
      {"a tampered first address, then a mirror", good + "URL2=" + mirror + "\r\n", flipped, "", "",
       ""},
      {"signed by a certified signing key", certified(1), pack, "", "", "1"},
      {"after a rotation to a higher serial", certified(3), pack, "SigningSerial=2\n", "", "3"},
      {"expired statement", expired, pack, "",
       refused + "The update's statement expired on " + wu::ShownUtcTime(now - int64_t{2} * 86400) +
           ".",
       ""},
      {"refreshed statement", refreshed, pack, "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(Pack(), oldPack);
    WriteSettings("1", row.before);
    WriteFile(dir / "www/lumivora/Lumivorapack-1.1", row.served);
    Offer("update.ini", "1.1", "Lumivorapack-1.1", row.signature);
    const UpdateServer server(dir / "www", "0");
    const ProcessResult result = Start().Wait(seconds(60));
    EXPECT_EQ(result.exitCode, 0);
    const bool installed = row.message.empty();
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
    EXPECT_EQ(ReadFile(Pack()), installed ? pack : oldPack);
    EXPECT_EQ(Version(), installed ? "1.1" : "1.0");
    EXPECT_EQ(SettingsValue("SigningSerial"), row.serial);
    // The day of an accepted statement with an expiry is recorded.
    const bool fresh = row.signature.find("ReleaseExpires=") != std::string::npos &&
                       row.message.rfind(refused, 0) != 0;
    EXPECT_EQ(SettingsValue("LastFreshOffer"), fresh ? wu::UtcDateText(unixTime()) : "");
    EXPECT_TRUE(Downloads().empty());
    EXPECT_NE(result.out.find(installed ? "Lumivoramain 1.1 started" : "Lumivoramain 1.0 started"),
              std::string::npos);
    // An offer refused for its signature is followed by the second address,
    // as a download that did not arrive; its pack is never asked for.
    if (row.message.rfind(refused, 0) == 0 && row.served == pack) {
      EXPECT_EQ(server.Requests(), (std::vector<std::string>{kUpdateIni, kUpdate2Ini}));
    }
  }
}

// Two launchers update at once: both have asked the question (the second
// started once the first recorded its schedule); the second downloads while
// the first replaces the pack, and the server answers it whole only after
// the first has ended.
TEST_F(SelfUpdateTest, TwoLaunchersUpdatingAtOnceLeaveAWholePackThatVersionNames) {
  ChildProcess packs({"/usr/bin/python3", kSource + "/tests/webupdate/fault_server.py", "--root",
                      dir / "www/lumivora", "--log", dir / "packs.log", "--lifetime", "120"},
                     lumivora::testing::Environment({}));
  ASSERT_TRUE(packs.WaitForOutput("READY ", seconds(20)));
  const std::string port = packs.Output().substr(packs.Output().find("READY ") + 6);
  Offer("update.ini", "1.1", "Lumivorapack-1.1", std::nullopt,
        "http://127.0.0.1:" + port.substr(0, port.find('\n')) + "/hold/");
  const std::string newPack = ReadFile(dir / "www/lumivora/Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "0");
  const std::string question = "Do you want to update your application now ?";
  ChildProcess first = Start(true);
  ASSERT_TRUE(first.WaitForError(question, seconds(30)));
  // The first has recorded its schedule before its check: due again for the
  // second.
  WriteSettings("0");
  ChildProcess second = Start(true);
  ASSERT_TRUE(second.WaitForError(question, seconds(30)));
  first.Type("y\n");
  ASSERT_TRUE(first.WaitForError(" of ", seconds(30)));  // its download is complete
  second.Type("y\n");
  ASSERT_TRUE(packs.WaitForOutput("HELD", seconds(30)));  // the second is downloading
  const ProcessResult firstResult = first.Wait(seconds(60));
  EXPECT_NE(firstResult.out.find("Lumivoramain 1.1 started"), std::string::npos) << firstResult.err;
  EXPECT_TRUE(PackAndVersionAgree(newPack));
  packs.Type("release\n");
  const ProcessResult secondResult = second.Wait(seconds(60));
  EXPECT_NE(secondResult.out.find("Lumivoramain 1.1 started"), std::string::npos)
      << secondResult.err;
  EXPECT_EQ(ReadFile(Pack()), newPack);
  EXPECT_TRUE(PackAndVersionAgree(newPack));
  EXPECT_TRUE(Downloads().empty());
}

// A server that only trickles (the information file one byte every 0.8 s, the
// new pack far below 1 KiB/s) neither holds the launcher nor keeps a core
// busy: the launcher built with limits of seconds instead of minutes (3 s for
// the information file, 1 KiB/s over 2 s for a download) waits in the poll,
// gives the transfer up when its limit passes, ends the check as any failed
// one (no message, the next check scheduled, the pack and Version kept) and
// starts the program that is there.
TEST_F(SelfUpdateTest, TrickledTransferIsGivenUpAtItsLimitWithoutBusyWaiting) {
  fs::copy_file(kBin + "/lumivora-short-limits", dir / "install/lumivora",
                fs::copy_options::overwrite_existing);
  const webupdate::testing::FaultServer slow;
  Offer("slow.ini", "1.1", "Lumivorapack-1.1");
  for (const char* name : {"slow.ini", "Lumivorapack-1.1"}) {
    slow.Put(name, ReadFile(dir / "www/lumivora/" + name));
  }
  // Redirections each within the limit of one file (about 1.9 s): together
  // they get the time of one.
  for (int hop = 1; hop <= 10; ++hop) {
    const auto name = [](int number) {
      return std::string(1, 'r').append(std::to_string(number)) + ".ini";
    };
    slow.Put(name(hop),
             "[Setup]\r\nRedirectionURL=" + slow.Url("/trickle/30/" + name(hop + 1)) + "\r\n");
  }
  struct Row {
    const char* name;
    bool information;     // the information file trickles, else the download
    const char* trickle;  // its route: byte interval in ms / file
    std::chrono::milliseconds limit;
    std::vector<std::string> requests;                // of the update server
    std::chrono::milliseconds longest = seconds(30);  // the product's limits are minutes
  };
  const Row rows[] = {
      {"information file, a byte per 0.8 s", true, "800/slow.ini", seconds(3), {kUpdateIni}},
      // The accepted update is tried once more at the second address.
      {"download, 100 B/s", false, "10/Lumivorapack-1.1", seconds(2), {kUpdateIni, kUpdate2Ini}},
      {"ten trickled redirections", true, "30/r1.ini", seconds(3), {kUpdateIni}, seconds(6)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteSettings("1");
    if (row.information) {
      WriteFile(dir / "www/lumivora/update.ini",
                "[Setup]\r\nRedirectionURL=" + slow.Url("/trickle/") + row.trickle + "\r\n");
    } else {
      Offer("update.ini", "1.1", "Lumivorapack-1.1", std::nullopt, slow.Url("/trickle/10/"));
    }
    const UpdateServer server(dir / "www", "0");
    const size_t before = slow.Requests().size();
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult result = Start().Wait(seconds(45));
    const auto wall = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_GE(wall, row.limit);
    EXPECT_LT(wall, row.longest);
    EXPECT_LT(result.cpu * 4, wall) << "CPU " << result.cpu.count() << " us";
    const std::vector<webupdate::testing::RecordedRequest> trickled = slow.Requests();
    ASSERT_GT(trickled.size(), before);
    EXPECT_EQ(trickled[before].requestLine,
              "GET /trickle/" + std::string(row.trickle) + " HTTP/1.0");
    EXPECT_EQ(server.Requests(), row.requests);
    EXPECT_EQ(result.err.find("(error)"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos) << result.out;
    EXPECT_TRUE(OldPackKept());
    EXPECT_EQ(Version(), "1.0");
    EXPECT_NE(SettingsValue("NextUpdate"), "");
    EXPECT_TRUE(Downloads().empty());
  }
}

TEST_F(SelfUpdateTest, KilledLauncherNeverLeavesABrokenPack) {
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  const std::string newPack = ReadFile(dir / "www/lumivora/Lumivorapack-1.1");
  // Killed during the download, and killed as soon as the download is
  // complete (while the pack is checked, copied and renamed).
  for (const char* moment : {"Downloading file", " of "}) {
    SCOPED_TRACE(moment);
    WriteSettings("1");  // due again (the schedule was recorded before the check)
    WriteFile(Pack(), oldPack);
    const UpdateServer server(dir / "www", std::string(moment)[0] == ' ' ? "0" : "50000");
    ChildProcess launcher = Start();
    ASSERT_TRUE(launcher.WaitForError(moment, seconds(30)));
    launcher.Signal(SIGKILL);
    launcher.Wait(seconds(20));
    const std::string pack = ReadFile(Pack());
    EXPECT_TRUE(pack == oldPack || pack == newPack);
    EXPECT_TRUE(PackIsWhole(Pack()));
  }
  // The next start (due because of the kept download, whatever the
  // schedule) installs what the killed ones downloaded and sweeps the rest.
  WriteSettings("1", "NextUpdate=99999\n");
  EXPECT_TRUE(fs::exists(Partial()) || ReadFile(Pack()) == newPack);
  const UpdateServer server(dir / "www", "0");
  EXPECT_EQ(Start().Wait(seconds(30)).exitCode, 0);
  EXPECT_TRUE(Downloads().empty());
  EXPECT_FALSE(fs::exists(Partial()));
  EXPECT_EQ(ReadFile(Pack()), newPack);
}

// A download cut by killed starts goes on where it stopped. A pack of some
// MiB; each start killed once its kept download reaches a random size; the
// next start is due because of it, whatever the schedule. In the end the
// pack is whole, and the bytes the server sent stay within the signed size
// plus 1 MiB per interruption. A server that ignores Range sends it whole.
TEST_F(SelfUpdateTest, KilledStartsResumeTheDownloadWithinTheirBytes) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  const std::string program = dir / "big-main";
  WriteFile(program, ReadFile(kBin + "/lumivora-sample-main-1.1") +
                         webupdate::testing::PatternContent(6 * kMiB));  // after the ELF image
  ::chmod(program.c_str(), 0755);
  MakePack(program, dir / "www/lumivora/Lumivorapack-1.1");
  const std::string newPack = ReadFile(dir / "www/lumivora/Lumivorapack-1.1");
  const webupdate::testing::FaultServer ignoring;
  ignoring.Put("Lumivorapack-1.1", newPack);
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  for (const auto& [kills, ignoresRange] : {std::pair{3, false}, std::pair{1, true}}) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", kills " + std::to_string(kills));
    WriteFile(Pack(), oldPack);
    WriteSettings("1");
    Offer("update.ini", "1.1", "Lumivorapack-1.1");
    std::pair<uint64_t, int> sent;
    {
      const UpdateServer server(dir / "www", "4000000");  // bytes per second
      for (int kill = 0; kill < kills; ++kill) {
        const uint64_t have = fs::exists(Partial()) ? fs::file_size(Partial()) : 0;
        const uint64_t at = std::uniform_int_distribution<uint64_t>(
            have + 1, std::max(have + 1, newPack.size() * 9 / 10))(random);
        ChildProcess launcher = Start();
        ASSERT_TRUE(PollUntil(
            [&] { return fs::exists(Partial()) && fs::file_size(Partial()) >= at; }, seconds(60)));
        launcher.Signal(SIGKILL);
        launcher.Wait(seconds(20));
        EXPECT_TRUE(OldPackKept());
      }
      if (ignoresRange) {
        Offer("update.ini", "1.1", "Lumivorapack-1.1", std::nullopt, ignoring.Url("/norange/"));
      }
      const ProcessResult result = Start().Wait(seconds(60));
      EXPECT_NE(result.out.find("Lumivoramain 1.1 started"), std::string::npos) << result.err;
      sent = server.BytesSent(kNewPack);
    }
    EXPECT_EQ(ReadFile(Pack()), newPack);
    EXPECT_EQ(Version(), "1.1");
    EXPECT_FALSE(fs::exists(Partial()));
    if (ignoresRange) {
      EXPECT_EQ(ignoring.Requests().back().Header("Range").rfind("bytes=", 0), 0U);
      EXPECT_EQ(ignoring.BytesSent(), newPack.size());
    } else {
      EXPECT_EQ(sent.second, kills);  // each start after a kill asked for the rest
      EXPECT_LE(sent.first, newPack.size() + static_cast<uint64_t>(kills) * kMiB);
      std::cout << "pack " << newPack.size() << " bytes, " << kills
                << " interruptions: " << sent.first << " bytes sent ("
                << sent.first - newPack.size() << " more than the pack)\n";
    }
  }
}

}  // namespace
}  // namespace lumivora::testing
