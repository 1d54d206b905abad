// Recording user interface for tests: keeps, in order, everything a user
// would see (message boxes, window texts, progress, cursor changes, message
// processing), answers message boxes from a script and presses a window's
// Cancel button at a chosen message-processing point.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace lumivora::platform {

class RecordingInterface final : public UserInterface {
 public:
  // One line per thing seen, controls named by ControlName, for example:
  //   "message Lumivora|Problem : \rboom|error|ok"
  //   "create frmSplash", "show frmSplash", "frmSplash.lblStatus=Ready !",
  //   "frmSplash.max=3", "frmSplash.position=1", "cursor appstarting",
  //   "process", "destroy frmSplash".
  std::vector<std::string> events;
  std::vector<MessageBoxRequest> messages;
  // Answers for the next message boxes; when empty, the default button.
  std::deque<MessageAnswer> answers;
  // Called at every ProcessMessages with its 1-based count, before the
  // Cancel buttons are pressed; a test may call PressCancel() from it.
  std::function<void(int)> onProcessMessages;
  // Called with every message box as it is shown.
  std::function<void(const MessageBoxRequest&)> onMessage;
  int processCount = 0;
  CursorKind cursor = CursorKind::kDefault;

  // Presses the Cancel button of every live window at the next
  // ProcessMessages, as a click waiting in the queue would.
  void PressCancel() { cancelPending_ = true; }
  // Events that start with PREFIX, in order.
  [[nodiscard]] std::vector<std::string> EventsStartingWith(const std::string& prefix) const;

  MessageAnswer ShowMessage(const MessageBoxRequest& request) override;
  std::unique_ptr<SplashView> CreateSplash() override;
  std::unique_ptr<UpdaterView> CreateUpdater() override;
  void SetCursor(CursorKind kind) override;
  void ProcessMessages() override;

 private:
  template <typename Control>
  friend class RecordingView;
  std::vector<View*> views_;
  bool cancelPending_ = false;
};

}  // namespace lumivora::platform
