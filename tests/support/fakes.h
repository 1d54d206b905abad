// The scripted system services of the tests: folders point into a temporary
// folder, the connection state, the day and the guard are set by the test,
// and every process start and every address opened is recorded instead of
// done. (The scripted user interface is platform::RecordingInterface.)
#pragma once

#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/system.h"

namespace lumivora::testing {

class FakeSystem final : public platform::SystemServices {
 public:
  bool guardExists = false;
  bool windowExists = false;
  int restoreRequests = 0;
  std::string appData;
  std::string temp;
  int platformId = 2;
  bool online = false;
  int onlineQueries = 0;
  std::string executable = "/nonexistent/LUMIVORA.EXE";
  int today = 46000;
  unsigned startResult = 33;
  bool startThrows = false;
  std::vector<platform::CommandLine> started;
  bool shellOpenWorks = true;
  std::vector<std::string> opened;

  bool InstanceGuardExists(const std::string& /*name*/) override { return guardExists; }
  bool RestoreWindow(const std::string& /*title*/) override {
    if (windowExists) {
      ++restoreRequests;
    }
    return windowExists;
  }
  std::string AppDataFolder() override { return appData; }
  std::string TempFolder() override { return temp; }
  int PlatformId(int& major, int& minor) override {
    major = 10;
    minor = 0;
    return platformId;
  }
  bool IsOnline() override {
    ++onlineQueries;
    return online;
  }
  std::string ExecutablePath() override { return executable; }
  int Today() override { return today; }
  unsigned StartProcess(const platform::CommandLine& commandLine) override {
    started.push_back(commandLine);
    if (startThrows) {
      throw Exception("start refused");
    }
    return startResult;
  }
  bool ShellOpen(const std::string& address) override {
    opened.push_back(address);
    return shellOpenWorks;
  }
};

}  // namespace lumivora::testing
