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
#include <set>
#include <string>

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

// Windows message texts break lines with CR, CR LF or LF.
std::string TerminalText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
    } else {
      out += text[i];
    }
  }
  return out;
}

class ConsoleInterface;

class ConsoleView final : public View {
 public:
  ConsoleView(ConsoleInterface& owner, std::string name, bool tracksBytes);
  ~ConsoleView() override;
  ConsoleView(const ConsoleView&) = delete;
  ConsoleView& operator=(const ConsoleView&) = delete;

  void SetText(const std::string& control, const std::string& text) override {
    if (texts_[control] == text) {
      return;
    }
    texts_[control] = text;
    if (shown_ && IsReportedControl(control) && !text.empty() && text != " ") {
      EndProgressLine();
      Report(control, text);
    }
  }
  void SetProgressMax(int64_t maximum) override {
    maximum_ = maximum;
    DrawProgress();
  }
  void SetProgressPosition(int64_t position) override {
    position_ = position;
    DrawProgress();
  }
  void Show() override {
    if (!shown_) {
      shown_ = true;
      std::fprintf(stderr, "%s\n", Caption().c_str());
      for (const auto& [control, text] : texts_) {
        if (IsReportedControl(control) && !text.empty() && text != " ") {
          Report(control, text);
        }
      }
    }
  }
  void BringToFront() override { Show(); }

  void EndProgressLine() {
    if (progressDrawn_) {
      std::fputc('\n', stderr);
      progressDrawn_ = false;
    }
  }

 private:
  [[nodiscard]] std::string Caption() const {
    const auto it = texts_.find(name_);
    return it == texts_.end() || it->second.empty() ? name_ : it->second;
  }
  [[nodiscard]] bool IsReportedControl(const std::string& control) const {
    return control != name_ && control != "grpUpdate" && control != "lblYourVer" &&
           control != "lblWebVer" && control != "btn_Update";
  }
  // One line per text; a version value follows its caption label.
  // Same-type parameters kept: a control and its text, as the views report them.
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
  void Report(const std::string& control, const std::string& text) {
    std::string label;
    if (control == "lbl_YourVersion") {
      label = texts_["lblYourVer"] + " ";
    } else if (control == "lbl_WebVersion") {
      label = texts_["lblWebVer"] + " ";
    }
    std::fprintf(stderr, "%s: %s%s\n", Caption().c_str(), label.c_str(),
                 TerminalText(text).c_str());
  }
  void DrawProgress() {
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

  ConsoleInterface& owner_;
  std::string name_;
  bool tracksBytes_;
  bool shown_ = false;
  bool progressDrawn_ = false;
  int64_t maximum_ = 100;
  int64_t position_ = 0;
  std::map<std::string, std::string> texts_;
};

class ConsoleInterface final : public UserInterface {
 public:
  ConsoleInterface() = default;
  ~ConsoleInterface() override { RestoreSignal(); }
  ConsoleInterface(const ConsoleInterface&) = delete;
  ConsoleInterface& operator=(const ConsoleInterface&) = delete;

  MessageAnswer ShowMessage(const MessageBoxRequest& request) override {
    for (ConsoleView* view : views_) {
      view->EndProgressLine();
    }
    const bool icon = request.icon != MessageIcon::kNone;
    std::fprintf(stderr, "%s%s%s%s\n", request.caption.c_str(), icon ? " (" : "",
                 icon ? IconName(request.icon) : "", icon ? ")" : "");
    std::fprintf(stderr, "%s\n", TerminalText(request.text).c_str());
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

  std::unique_ptr<View> CreateSplash() override {
    return std::make_unique<ConsoleView>(*this, "frmSplash", false);
  }
  std::unique_ptr<View> CreateUpdater() override {
    return std::make_unique<ConsoleView>(*this, "frmUpdater", true);
  }
  void SetCursor(CursorKind /*cursor*/) override {}  // a terminal has no pointer to change

  void ProcessMessages() override {
    if (gInterrupted.exchange(false)) {
      for (ConsoleView* view : std::set<ConsoleView*>(views_)) {
        if (views_.count(view) != 0 && view->OnCancel) {
          view->OnCancel();
        }
      }
    }
  }

  void Register(ConsoleView* view) {
    views_.insert(view);
    if (!signalInstalled_) {
      signalInstalled_ = InstallInterruptHandler(previous_);
    }
  }
  void Unregister(ConsoleView* view) {
    views_.erase(view);
    if (views_.empty()) {
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

  std::set<ConsoleView*> views_;
  bool signalInstalled_ = false;
  SavedInterruptHandler previous_{};
};

ConsoleView::ConsoleView(ConsoleInterface& owner, std::string name, bool tracksBytes)
    : owner_(owner), name_(std::move(name)), tracksBytes_(tracksBytes) {
  if (tracksBytes_) {
    owner_.Register(this);
  }
}

ConsoleView::~ConsoleView() {
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
