#include "platform/recording/ui_recording.h"

#include <algorithm>
#include <memory>
#include <string>

namespace lumivora::platform {

// A window of the recording interface; CONTROL is its window's enumeration
// of controls, named in the events as the form tables name them.
template <typename Control>
class RecordingView final : public WindowView<Control> {
 public:
  explicit RecordingView(RecordingInterface& owner)
      : owner_(owner), name_(ControlName(Control::kCaption)) {
    owner_.events.push_back("create " + name_);
    owner_.views_.push_back(this);
  }
  ~RecordingView() override {
    owner_.events.push_back("destroy " + name_);
    owner_.views_.erase(std::remove(owner_.views_.begin(), owner_.views_.end(), this),
                        owner_.views_.end());
  }
  RecordingView(const RecordingView&) = delete;
  RecordingView& operator=(const RecordingView&) = delete;

  void SetText(Control control, const std::string& text) override {
    owner_.events.push_back(name_ + "." + ControlName(control) + "=" + text);
  }
  void SetProgressMax(int64_t maximum) override {
    owner_.events.push_back(name_ + ".max=" + std::to_string(maximum));
  }
  void SetProgressPosition(int64_t position) override {
    owner_.events.push_back(name_ + ".position=" + std::to_string(position));
  }
  void Show() override { owner_.events.push_back("show " + name_); }
  void BringToFront() override { owner_.events.push_back("front " + name_); }

 private:
  RecordingInterface& owner_;
  std::string name_;
};

namespace {

const char* ButtonsName(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::kOk:
      return "ok";
    case MessageButtons::kOkCancel:
      return "okcancel";
    case MessageButtons::kYesNo:
      return "yesno";
    case MessageButtons::kYesNoCancel:
      return "yesnocancel";
  }
  return "";
}

}  // namespace

std::vector<std::string> RecordingInterface::EventsStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  std::copy_if(events.begin(), events.end(), std::back_inserter(found),
               [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
  return found;
}

MessageAnswer RecordingInterface::ShowMessage(const MessageBoxRequest& request) {
  messages.push_back(request);
  if (onMessage) {
    onMessage(request);
  }
  events.push_back("message " + request.caption + "|" + request.text + "|" +
                   IconName(request.icon) + "|" + ButtonsName(request.buttons));
  if (!answers.empty()) {
    const MessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return request.defaultButton;
}

std::unique_ptr<SplashView> RecordingInterface::CreateSplash() {
  return std::make_unique<RecordingView<SplashControl>>(*this);
}

std::unique_ptr<UpdaterView> RecordingInterface::CreateUpdater() {
  return std::make_unique<RecordingView<UpdaterControl>>(*this);
}

void RecordingInterface::SetCursor(CursorKind kind) {
  cursor = kind;
  events.emplace_back(kind == CursorKind::kAppStarting ? "cursor appstarting" : "cursor default");
}

void RecordingInterface::ProcessMessages() {
  ++processCount;
  events.emplace_back("process");
  if (onProcessMessages) {
    onProcessMessages(processCount);
  }
  if (cancelPending_) {
    cancelPending_ = false;
    const std::vector<View*> live = views_;
    for (View* view : live) {
      if (std::find(views_.begin(), views_.end(), view) != views_.end() && view->OnCancel) {
        view->OnCancel();
      }
    }
  }
}

}  // namespace lumivora::platform
