// Console user interface: message boxes and progress on standard error.
// A question is asked on the terminal when standard input is one; otherwise it
// gets the safe answer (No, or Cancel). While a window with a Cancel button is
// alive, Ctrl-C presses that button: the signal only sets a flag, and the next
// ProcessMessages call fires the window's OnCancel.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/text.h"
#include "platform/ui.h"

namespace lumivora::platform {
namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int /*signal*/) {
  gInterrupted.store(true);
}

// Installing and restoring the Ctrl-C handler: sigaction where there is one
// (without SA_RESTART, so that a blocking read is interrupted), the C
// library's signal() on a Windows console.
#ifdef _WIN32
using SavedInterruptHandler = void (*)(int);
bool InstallInterruptHandler(SavedInterruptHandler& previous) {
  previous = std::signal(SIGINT, OnInterrupt);
  return previous != SIG_ERR;
}
void RestoreInterruptHandler(SavedInterruptHandler previous) {
  std::signal(SIGINT, previous);
}
#else
using SavedInterruptHandler = struct sigaction;
bool InstallInterruptHandler(SavedInterruptHandler& previous) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGINT, &action, &previous) == 0;
}
void RestoreInterruptHandler(const SavedInterruptHandler& previous) {
  ::sigaction(SIGINT, &previous, nullptr);
}
#endif

class ConsoleInterface;

// How the console shows a control's text: as the window's caption, which
// opens each of its lines; not at all (a caption label, shown before its
// value; the group box; the button); or as a line of its own.
enum class Shown { kCaption, kNot, kLine };

Shown ShownAs(SplashControl control) {
  switch (control) {
    case SplashControl::kCaption:
      return Shown::kCaption;
    case SplashControl::kPrompt:
    case SplashControl::kStatus:
      return Shown::kLine;
  }
  return Shown::kNot;
}

Shown ShownAs(UpdaterControl control) {
  switch (control) {
    case UpdaterControl::kCaption:
      return Shown::kCaption;
    case UpdaterControl::kGroup:
    case UpdaterControl::kYourVersionLabel:
    case UpdaterControl::kWebVersionLabel:
    case UpdaterControl::kCancelButton:
      return Shown::kNot;
    case UpdaterControl::kYourVersion:
    case UpdaterControl::kWebVersion:
    case UpdaterControl::kFile:
      return Shown::kLine;
  }
  return Shown::kNot;
}

// The caption label whose text goes before CONTROL's on its line: a version
// follows its caption. The splash window has none.
std::optional<SplashControl> LabelOf(SplashControl /*control*/) {
  return std::nullopt;
}

std::optional<UpdaterControl> LabelOf(UpdaterControl control) {
  switch (control) {
    case UpdaterControl::kYourVersion:
      return UpdaterControl::kYourVersionLabel;
    case UpdaterControl::kWebVersion:
      return UpdaterControl::kWebVersionLabel;
    case UpdaterControl::kCaption:
    case UpdaterControl::kGroup:
    case UpdaterControl::kYourVersionLabel:
    case UpdaterControl::kWebVersionLabel:
    case UpdaterControl::kFile:
    case UpdaterControl::kCancelButton:
      break;
  }
  return std::nullopt;
}

// What every window shows on the console besides its texts: the progress
// bar, and for a window with a Cancel button (one that tracks bytes) the
// Ctrl-C that presses it.
class ConsoleWindow {
 public:
  ConsoleWindow(ConsoleInterface& owner, View& view, bool tracksBytes);
  ~ConsoleWindow();
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  // True the first time only.
  bool Show() { return !std::exchange(shown_, true); }
  [[nodiscard]] bool IsShown() const { return shown_; }
  void SetProgressMax(int64_t maximum) {
    maximum_ = maximum;
    DrawProgress();
  }
  void SetProgressPosition(int64_t position) {
    position_ = position;
    DrawProgress();
  }
  void EndProgressLine() {
    if (progressDrawn_) {
      std::fputc('\n', stderr);
      progressDrawn_ = false;
    }
  }
  void Cancel() {
    if (view_.OnCancel) {
      view_.OnCancel();
    }
  }

 private:
  void DrawProgress();

  ConsoleInterface& owner_;
  View& view_;
  bool tracksBytes_;
  bool shown_ = false;
  bool progressDrawn_ = false;
  int64_t maximum_ = 100;
  int64_t position_ = 0;
};

void ConsoleWindow::DrawProgress() {
  if (!shown_ || maximum_ <= 0 || position_ <= 0) {
    return;
  }
  const int64_t position = std::clamp<int64_t>(position_, 0, maximum_);
  constexpr int kWidth = 40;
  const auto filled = static_cast<int>(position * kWidth / maximum_);
  const std::string bar = std::string(static_cast<size_t>(filled), '#') +
                          std::string(static_cast<size_t>(kWidth - filled), '.');
  const std::string figures =
      tracksBytes_ ? std::to_string(position) + " of " + std::to_string(maximum_) + " bytes"
                   : std::to_string(position) + "/" + std::to_string(maximum_);
  if (::isatty(STDERR_FILENO) != 0) {
    std::fprintf(stderr, "\r[%s] %s", bar.c_str(), figures.c_str());
    progressDrawn_ = true;
    if (position == maximum_) {
      EndProgressLine();
    }
  } else if (position == maximum_ || !tracksBytes_) {
    std::fprintf(stderr, "[%s] %s\n", bar.c_str(), figures.c_str());
  }
  std::fflush(stderr);
}

// A window on the console: its caption when it is shown, then one line per
// text (none for a blank one), and its progress bar.
template <typename Control>
class ConsoleView final : public WindowView<Control> {
 public:
  ConsoleView(ConsoleInterface& owner, bool tracksBytes) : window_(owner, *this, tracksBytes) {}

  void SetText(Control control, const std::string& text) override {
    std::string& kept = texts_[control];
    if (kept == text) {
      return;
    }
    kept = text;
    if (window_.IsShown() && ShownAs(control) == Shown::kLine && IsPrinted(text)) {
      window_.EndProgressLine();
      Report(control, text);
    }
  }
  void SetProgressMax(int64_t maximum) override { window_.SetProgressMax(maximum); }
  void SetProgressPosition(int64_t position) override { window_.SetProgressPosition(position); }
  void Show() override {
    if (window_.Show()) {
      std::fprintf(stderr, "%s\n", Caption().c_str());
      for (const auto& [control, text] : texts_) {
        if (ShownAs(control) == Shown::kLine && IsPrinted(text)) {
          Report(control, text);
        }
      }
    }
  }
  void BringToFront() override { Show(); }

 private:
  static bool IsPrinted(const std::string& text) { return !text.empty() && text != " "; }
  [[nodiscard]] std::string Caption() const {
    const auto it = texts_.find(Control::kCaption);
    return it == texts_.end() || it->second.empty() ? ControlName(Control::kCaption) : it->second;
  }
  void Report(Control control, const std::string& text) {
    const std::optional<Control> label = LabelOf(control);
    const std::string before = label ? texts_[*label] + " " : std::string();
    std::fprintf(stderr, "%s: %s%s\n", Caption().c_str(), before.c_str(),
                 LfLineBreaks(text).c_str());
  }

  ConsoleWindow window_;
  std::map<Control, std::string> texts_;
};

class ConsoleInterface final : public UserInterface {
 public:
  ConsoleInterface() = default;
  ~ConsoleInterface() override { RestoreSignal(); }
  ConsoleInterface(const ConsoleInterface&) = delete;
  ConsoleInterface& operator=(const ConsoleInterface&) = delete;

  MessageAnswer ShowMessage(const MessageBoxRequest& request) override {
    for (ConsoleWindow* window : windows_) {
      window->EndProgressLine();
    }
    const bool icon = request.icon != MessageIcon::kNone;
    std::fprintf(stderr, "%s%s%s%s\n", request.caption.c_str(), icon ? " (" : "",
                 icon ? IconName(request.icon) : "", icon ? ")" : "");
    std::fprintf(stderr, "%s\n", LfLineBreaks(request.text).c_str());
    if (request.buttons == MessageButtons::kOk) {
      return MessageAnswer::kOk;
    }
    const bool yesNo = request.buttons != MessageButtons::kOkCancel;
    const MessageAnswer safe = EscapeAnswer(request.buttons);
    if (::isatty(STDIN_FILENO) == 0) {
      std::fprintf(stderr, "(no terminal: answered %s)\n",
                   safe == MessageAnswer::kNo ? "No" : "Cancel");
      return safe;
    }
    const bool defaultYes =
        request.defaultButton == MessageAnswer::kYes || request.defaultButton == MessageAnswer::kOk;
    std::fprintf(
        stderr, "%s ",
        yesNo ? (defaultYes ? "[Y/n]" : "[y/N]") : (defaultYes ? "[OK/cancel]" : "[ok/CANCEL]"));
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) {
      return safe;
    }
    const char first = line.empty() ? '\0' : LowerAscii(line[0]);
    const bool positive = first == '\0' ? defaultYes : (first == 'y' || first == 'o');
    if (yesNo) {
      return positive ? MessageAnswer::kYes : MessageAnswer::kNo;
    }
    return positive ? MessageAnswer::kOk : MessageAnswer::kCancel;
  }

  std::unique_ptr<SplashView> CreateSplash() override {
    return std::make_unique<ConsoleView<SplashControl>>(*this, false);
  }
  std::unique_ptr<UpdaterView> CreateUpdater() override {
    return std::make_unique<ConsoleView<UpdaterControl>>(*this, true);
  }
  void SetCursor(CursorKind /*cursor*/) override {}  // a terminal has no pointer to change

  void ProcessMessages() override {
    if (gInterrupted.exchange(false)) {
      for (ConsoleWindow* window : std::set<ConsoleWindow*>(windows_)) {
        if (windows_.count(window) != 0) {
          window->Cancel();
        }
      }
    }
  }

  void Register(ConsoleWindow* window) {
    windows_.insert(window);
    if (!signalInstalled_) {
      signalInstalled_ = InstallInterruptHandler(previous_);
    }
  }
  void Unregister(ConsoleWindow* window) {
    windows_.erase(window);
    if (windows_.empty()) {
      RestoreSignal();
    }
  }

 private:
  void RestoreSignal() {
    if (signalInstalled_) {
      RestoreInterruptHandler(previous_);
      signalInstalled_ = false;
      if (gInterrupted.exchange(false)) {
        std::raise(SIGINT);  // Ctrl-C outside any cancellable work ends the program
      }
    }
  }

  std::set<ConsoleWindow*> windows_;
  bool signalInstalled_ = false;
  SavedInterruptHandler previous_{};
};

ConsoleWindow::ConsoleWindow(ConsoleInterface& owner, View& view, bool tracksBytes)
    : owner_(owner), view_(view), tracksBytes_(tracksBytes) {
  if (tracksBytes_) {
    owner_.Register(this);
  }
}

ConsoleWindow::~ConsoleWindow() {
  EndProgressLine();
  if (tracksBytes_) {
    owner_.Unregister(this);
  }
}

}  // namespace

std::unique_ptr<UserInterface> CreateConsoleInterface() {
  return std::make_unique<ConsoleInterface>();
}

}  // namespace lumivora::platform
