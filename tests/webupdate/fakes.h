// Scripted user interface and system services for the web update tests:
// they record what the user would see and answer from a script.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/ui.h"

namespace lumivora::webupdate::testing {

class NullView final : public platform::View {
 public:
  void SetText(const std::string& /*control*/, const std::string& /*text*/) override {}
  void SetProgressMax(int64_t /*maximum*/) override {}
  void SetProgressPosition(int64_t /*position*/) override {}
  void Show() override {}
  void BringToFront() override {}
};

class ScriptedUi final : public platform::UserInterface {
 public:
  platform::MessageAnswer ShowMessage(const platform::MessageBoxRequest& request) override {
    messages.push_back(request);
    if (answers.empty()) {
      return platform::MessageAnswer::kCancel;
    }
    const platform::MessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::unique_ptr<platform::View> CreateSplash() override { return std::make_unique<NullView>(); }
  std::unique_ptr<platform::View> CreateUpdater() override { return std::make_unique<NullView>(); }
  void SetCursor(platform::CursorKind /*cursor*/) override {}
  void ProcessMessages() override {
    ++processCount;
    if (onProcessMessages) {
      onProcessMessages();
    }
  }

  std::vector<platform::MessageBoxRequest> messages;
  std::deque<platform::MessageAnswer> answers;
  int processCount = 0;
  // Runs inside ProcessMessages: what a click during a transfer would do.
  std::function<void()> onProcessMessages;
};

class ScriptedSystem final : public platform::SystemServices {
 public:
  bool InstanceGuardExists(const std::string& /*name*/) override { return false; }
  bool RestoreWindow(const std::string& /*title*/) override { return false; }
  std::string AppDataFolder() override { return {}; }
  std::string TempFolder() override { return tempFolder; }
  int PlatformId(int& major, int& minor) override {
    major = 0;
    minor = 0;
    return 2;
  }
  bool IsOnline() override { return true; }
  std::string ExecutablePath() override { return "/nonexistent/LUMIVORA.EXE"; }
  int Today() override { return 46000; }
  unsigned StartProcess(const platform::CommandLine& /*commandLine*/) override { return 2; }
  bool ShellOpen(const std::string& address) override {
    opened.push_back(address);
    return shellOpenWorks;
  }

  std::string tempFolder;
  bool shellOpenWorks = true;
  std::vector<std::string> opened;
};

}  // namespace lumivora::webupdate::testing
