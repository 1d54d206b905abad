// The loopback update server of the self-update tests (tools/update-server:
// nginx on 127.0.0.1:8808, the address built into the demo launcher) and the
// packs it offers. Used inside a private network namespace, where that port
// is always free.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/signed_offer.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace lumivora::testing {

using std::chrono::seconds;

inline const std::string kBin = LUMIVORA_BIN_DIR;
inline const std::string kSource = LUMIVORA_SOURCE_DIR;

// A pack holding PROGRAM as "Lumivoramain", made with the vendor tool.
inline void MakePack(const std::string& program, const std::string& pack) {
  const ProcessResult result =
      RunProcess({kBin + "/lumivora-tool", "pack", program, "-o", pack}, {});
  if (result.exitCode != 0) {
    throw std::runtime_error("lumivora-tool pack failed: " + result.err);
  }
}

// True when PACK is a whole pack whose main program passes its CRC check.
inline bool PackIsWhole(const std::string& pack) {
  return RunProcess({kBin + "/lumivora-tool", "test", pack, "-P", LUMIVORA_PACK_PASSWORD}, {})
             .exitCode == 0;
}

class UpdateServer {
 public:
  UpdateServer(const std::string& root, const std::string& rate)
      : child_({kSource + "/tools/update-server", root, "8808", "--rate", rate,
                "--until-stdin-closes"},
               lumivora::testing::Environment({})) {
    if (!child_.WaitForOutput("ready", seconds(20))) {
      throw std::runtime_error("the update server did not start");
    }
    const std::string& line = child_.Output();
    log_ = line.substr(line.find(" log ") + 5);
    log_ = log_.substr(0, log_.find('\n'));
  }
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;
  // Closing its input stops the server and its nginx, which frees the port.
  ~UpdateServer() {
    child_.CloseInput();
    child_.Wait(seconds(20));
  }
  // The body bytes nginx logged as sent for REQUEST ("GET /lumivora/...")
  // so far, and how many of those answers were 206 (a range).
  [[nodiscard]] std::pair<uint64_t, int> BytesSent(const std::string& request) const {
    std::pair<uint64_t, int> sent{0, 0};
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
      const size_t start = line.find("\"" + request + " HTTP/");
      if (start != std::string::npos) {
        std::istringstream fields(line.substr(line.find('"', start + 1) + 1));
        int status = 0;
        uint64_t bytes = 0;
        fields >> status >> bytes;
        sent.first += bytes;
        sent.second += status == 206 ? 1 : 0;
      }
    }
    return sent;
  }
  // The request lines nginx logged so far ("GET /lumivora/update.ini").
  [[nodiscard]] std::vector<std::string> Requests() const {
    std::vector<std::string> requests;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
      const size_t start = line.find("\"GET ");
      if (start != std::string::npos) {
        requests.push_back(line.substr(start + 1, line.find(" HTTP/") - start - 1));
      }
    }
    return requests;
  }

 private:
  ChildProcess child_;
  std::string log_;
};

// The real launcher installed in a temporary folder with a home, a
// temporary folder and a web root of its own: the 1.0 pack installed, the
// 1.1 pack served, settings that name version 1.0.
class LauncherInstall {
 public:
  LauncherInstall() {
    for (const char* folder : {"install", "home/.config/Lumivora", "tmp", "www/lumivora"}) {
      std::filesystem::create_directories(dir / folder);
    }
    InstallLauncher(kBin, dir / "install");
    MakePack(kBin + "/lumivora-sample-main", Pack());
    oldPack = ReadFile(Pack());
    MakePack(kBin + "/lumivora-sample-main-1.1", dir / "www/lumivora/Lumivorapack-1.1");
    WriteSettings("0");
  }

  [[nodiscard]] std::string Pack() const { return dir / "install/Lumivorapack"; }
  [[nodiscard]] std::string Settings() const { return dir / "home/.config/Lumivora/Lumivora.ini"; }
  // Where a download that did not complete is kept for the next start.
  [[nodiscard]] std::string Partial() const {
    return dir / "home/.config/Lumivora/Lumivora-download/Lumivorapack-1.1";
  }
  void WriteSettings(const std::string& silent, const std::string& more = "") const {
    WriteFile(Settings(), "[Setup]\nVersion=1.0\nSilentUpdate=" + silent + "\n" + more);
  }
  [[nodiscard]] std::string SettingsValue(const std::string& key) const {
    const std::string text = ReadFile(Settings());
    const size_t found = text.find("\n" + key + "=");
    if (found == std::string::npos) {
      return {};
    }
    const size_t start = found + key.size() + 2;
    return text.substr(start, text.find('\n', start) - start);
  }
  [[nodiscard]] std::string Version() const { return SettingsValue("Version"); }
  [[nodiscard]] bool OldPackKept() const { return ReadFile(Pack()) == oldPack; }
  // Offers FILE as VERSION in the information file NAME, with the release
  // statement SIGNATURE, by default that of FILE (of the 1.1 pack when FILE
  // is not served) signed with the demo root key.
  void Offer(const std::string& name, const std::string& version, const std::string& file,
             std::optional<std::string> signature = std::nullopt,
             const std::string& folder = "http://127.0.0.1:8808/lumivora/") const {
    if (!signature) {
      const std::string served = dir / ("www/lumivora/" + file);
      signature = SignatureLines(
          ReadFile(std::filesystem::exists(served) ? served
                                                   : dir / "www/lumivora/Lumivorapack-1.1"),
          version);
    }
    const std::filesystem::path path = dir / ("www/lumivora/" + name);
    const auto before = std::filesystem::exists(path) ? std::filesystem::last_write_time(path)
                                                      : std::filesystem::file_time_type::min();
    WriteFile(path, "[Setup]\r\nVersion=" + version + "\r\nURL=" + folder + file +
                        "\r\nClientSideName=" + file + "\r\n" + *signature);
    // A file rewritten within its second gets the next one, so that the
    // server's Last-Modified tells the two apart.
    if (before != std::filesystem::file_time_type::min() &&
        std::filesystem::last_write_time(path) < before + seconds(1)) {
      std::filesystem::last_write_time(path, before + seconds(1));
    }
  }
  // The environment of the launcher: this folder's home and temporary folder.
  [[nodiscard]] std::map<std::string, std::string> Env() const {
    return {{"HOME", dir / "home"},
            {"XDG_CONFIG_HOME", dir / "home/.config"},
            {"XDG_RUNTIME_DIR", ""},
            {"TMPDIR", dir / "tmp"}};
  }

  TempDir dir;
  std::string oldPack;
};

}  // namespace lumivora::testing
