// A scripted SystemServices for launcher tests: folders point into a
// temporary directory, and every process start is recorded instead of run.
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
  std::string executable;
  int today = 46000;
  unsigned startResult = 33;
  bool startThrows = false;
  std::vector<platform::CommandLine> started;

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
  bool ShellOpen(const std::string& /*address*/) override { return false; }
};

}  // namespace lumivora::testing
