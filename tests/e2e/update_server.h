// The loopback update server of the self-update tests (tools/update-server:
// nginx on 127.0.0.1:8808, the address built into the demo launcher) and the
// packs it offers. Used inside a private network namespace, where that port
// is always free.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/signed_offer.h"
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

}  // namespace lumivora::testing
