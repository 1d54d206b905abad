// The scripted system services of the tests: folders point into a temporary
// folder, the connection state, the day and the guard are set by the test,
// and every process start and every address opened is recorded instead of
// done. (The scripted user interface is platform::RecordingInterface.)
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
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
  // Watched starts: the start's result, how the program ends (nullopt: it
  // runs on), after how many looks the guard is taken (-1: never), and the
  // time the watch waited on it.
  unsigned watchedStartResult = 33;
  std::vector<platform::CommandLine> watched;
  std::optional<platform::ProcessEnd> watchedEnd;
  int guardTakenAfterLooks = -1;
  int guardLooks = 0;
  std::chrono::milliseconds waitedOnWatched{0};

  bool InstanceGuardExists(const std::string& /*name*/) override { return guardExists; }
  bool InstanceGuardTaken(const std::string& /*name*/) override {
    return guardTakenAfterLooks >= 0 && ++guardLooks > guardTakenAfterLooks;
  }
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
  std::unique_ptr<platform::WatchedProcess> StartWatchedProcess(
      const platform::CommandLine& commandLine, unsigned& error) override {
    watched.push_back(commandLine);
    error = watchedStartResult;
    return platform::ProcessStarted(error) ? std::make_unique<Watched>(*this) : nullptr;
  }
  bool ShellOpen(const std::string& address) override {
    opened.push_back(address);
    return shellOpenWorks;
  }

 private:
  // A program that runs (the wait takes its time) until it ends as scripted.
  struct Watched final : platform::WatchedProcess {
    explicit Watched(FakeSystem& owner) : system(owner) {}
    std::optional<platform::ProcessEnd> WaitForEnd(std::chrono::milliseconds timeout) override {
      if (!system.watchedEnd) {
        std::this_thread::sleep_for(timeout);
        system.waitedOnWatched += timeout;
      }
      return system.watchedEnd;
    }
    FakeSystem& system;
  };
};

}  // namespace lumivora::testing
