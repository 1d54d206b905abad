// A private X server for desktop tests: Xvfb on a display number it picks
// itself (-displayfd), optionally with a window manager (openbox), and the
// tools that drive it: xdotool for finding windows by title and pressing keys,
// ImageMagick's import for screenshots, Xlib for reading window state and the
// control texts that the GTK backend publishes in _LUMIVORA_TEXTS.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace lumivora::testing {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

class XSession {
 public:
  explicit XSession(bool withWindowManager) {
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp", "-noreset"},
        lumivora::testing::Environment({}));
    if (!server_->WaitForOutput("\n", std::chrono::seconds(30))) {
      throw std::runtime_error("Xvfb did not start");
    }
    display_ = ":" + server_->Output().substr(0, server_->Output().find('\n'));
    // A window that goes away while a test looks at it has no properties
    // rather than ending the test program (Xlib's default handler exits).
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    connection_.reset(XOpenDisplay(display_.c_str()));
    if (!connection_) {
      throw std::runtime_error("cannot open display " + display_);
    }
    if (withWindowManager) {
      windowManager_ =
          std::make_unique<ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"},
                                         lumivora::testing::Environment(Environment({})));
      // The window manager is ready once it announces itself on the root window.
      const bool ready =
          PollUntil([this] { return RootWindowProperty("_NET_SUPPORTING_WM_CHECK").has_value(); },
                    std::chrono::seconds(30));
      if (!ready) {
        throw std::runtime_error("openbox did not start");
      }
    }
  }
  ~XSession() {
    connection_.reset();
    for (std::unique_ptr<ChildProcess>* child : {&windowManager_, &server_}) {
      if (*child) {
        ::kill((*child)->Pid(), SIGTERM);
        (*child)->Wait(std::chrono::seconds(10));
      }
    }
  }

  // The environment of a program on this display (the X11 backend of GTK).
  [[nodiscard]] std::map<std::string, std::string> Environment(
      std::map<std::string, std::string> overrides) const {
    overrides.emplace("DISPLAY", display_);
    overrides.emplace("WAYLAND_DISPLAY", "");
    overrides.emplace("GDK_BACKEND", "x11");
    overrides.emplace("NO_AT_BRIDGE", "1");  // no accessibility bus in tests
    return overrides;
  }

  ProcessResult Xdotool(std::vector<std::string> arguments,
                        std::chrono::milliseconds bound = std::chrono::seconds(20)) const {
    arguments.insert(arguments.begin(), "xdotool");
    return RunProcess(arguments, Environment({}), bound);
  }

  // Focuses WINDOW (FOCUS: "windowactivate" through the window manager or
  // "windowfocus" directly) and presses KEYS on the keyboard; true on success.
  bool PressKeys(Window window, const std::vector<std::string>& keys,
                 const std::string& focus = "windowactivate") const {
    std::vector<std::string> arguments = {focus, "--sync", std::to_string(window), "key"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    return Xdotool(arguments).exitCode == 0;
  }

  // The windows titled exactly TITLE, waiting (bounded) until there is one.
  std::vector<Window> WaitForTitle(const std::string& title,
                                   std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const ProcessResult result =
        Xdotool({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}, bound);
    std::vector<Window> windows;
    std::istringstream ids(result.out);
    unsigned long id = 0;
    while (ids >> id) {
      windows.push_back(id);
    }
    return windows;
  }

  // The window titled TITLE whose published texts contain KEY=VALUE.
  std::optional<Window> WaitForWindow(const std::string& title, const std::string& key,
                                      const std::string& value,
                                      std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    std::optional<Window> found;
    PollUntil(
        [&] {
          for (const Window window : WaitForTitle(title, bound)) {
            const auto texts = Texts(window);
            const auto it = texts.find(key);
            if (it != texts.end() && it->second == value) {
              found = window;
              return true;
            }
          }
          return false;
        },
        bound);
    return found;
  }

  // The control texts the window publishes ("name" to "text").
  std::map<std::string, std::string> Texts(Window window) {
    return Entries(window, "_LUMIVORA_TEXTS");
  }

  // What is wrong with the layout the window publishes in _LUMIVORA_LAYOUT: a
  // control smaller than its content needs (a cut text), one that reaches
  // outside the window, two that overlap. Empty when nothing is.
  std::string LayoutProblems(Window window) {
    struct Box {
      std::string name;
      int x = 0, y = 0, width = 0, height = 0, neededWidth = 0, neededHeight = 0;
    };
    std::vector<Box> boxes;
    for (const auto& [name, text] : Entries(window, "_LUMIVORA_LAYOUT")) {
      Box box{name};
      std::istringstream(text) >> box.x >> box.y >> box.width >> box.height >> box.neededWidth >>
          box.neededHeight;
      boxes.push_back(box);
    }
    if (boxes.empty()) {
      return "no layout published";
    }
    const auto [width, height] = Size(window);
    std::string problems;
    for (size_t i = 0; i < boxes.size(); ++i) {
      const Box& a = boxes[i];
      if (a.width < a.neededWidth || a.height < a.neededHeight) {
        problems += a.name + " is cut; ";
      }
      if (a.x < 0 || a.y < 0 || a.x + a.width > width || a.y + a.height > height) {
        problems += a.name + " reaches outside the window; ";
      }
      for (size_t j = i + 1; j < boxes.size(); ++j) {
        const Box& b = boxes[j];
        if (a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
            b.y < a.y + a.height) {
          problems += a.name + " overlaps " + b.name + "; ";
        }
      }
    }
    return problems;
  }

  // The "name=value" entries, separated by NUL bytes, of a window property.
  std::map<std::string, std::string> Entries(Window window, const char* property) {
    std::map<std::string, std::string> texts;
    std::istringstream data(Property(window, property));
    std::string entry;
    while (std::getline(data, entry, '\0')) {
      const size_t equals = entry.find('=');
      if (equals != std::string::npos) {
        texts[entry.substr(0, equals)] = entry.substr(equals + 1);
      }
    }
    return texts;
  }

  // Whether the window is mapped (viewable) and not iconic by ICCCM's WM_STATE.
  bool IsShownNormally(Window window) {
    XWindowAttributes attributes{};
    const int state = WmState(window);
    return XGetWindowAttributes(connection_.get(), window, &attributes) != 0 &&
           attributes.map_state == IsViewable && (state == -1 || state == NormalState);
  }

  // ICCCM's WM_STATE of the window (NormalState, IconicState); -1 until a
  // window manager has taken the window in (it sets WM_STATE).
  int WmState(Window window) {
    const std::string state = Property(window, "WM_STATE");
    return state.size() >= 4 ? static_cast<unsigned char>(state[0]) : -1;
  }

  // The window the window manager reports as active, if any.
  std::optional<Window> ActiveWindow() {
    const auto value = RootWindowProperty("_NET_ACTIVE_WINDOW");
    if (!value || *value == 0) {
      return std::nullopt;
    }
    return static_cast<Window>(*value);
  }

  std::pair<int, int> Size(Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(connection_.get(), window, &attributes);
    return {attributes.width, attributes.height};
  }

  // Saves the part of the screen that WINDOWS cover, with the frames that the
  // window manager put around them, as the PNG file NAME among the screenshots
  // kept in the build folder (for the README).
  bool Screenshot(const std::string& name, const std::vector<Window>& windows) {
    const std::string path = std::string(LUMIVORA_BIN_DIR) + "/../screenshots/" + name;
    Display* d = connection_.get();
    int left = INT_MAX;
    int top = INT_MAX;
    int right = 0;
    int bottom = 0;
    for (Window window : windows) {
      // The frame is the client window's ancestor just below the root window.
      for (;;) {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(d, window, &root, &parent, &children, &count) == 0) {
          return false;
        }
        if (children != nullptr) {
          XFree(children);
        }
        if (parent == root || parent == 0) {
          break;
        }
        window = parent;
      }
      XWindowAttributes frame{};
      XGetWindowAttributes(d, window, &frame);
      left = std::min(left, frame.x);
      top = std::min(top, frame.y);
      right = std::max(right, frame.x + frame.width + 2 * frame.border_width);
      bottom = std::max(bottom, frame.y + frame.height + 2 * frame.border_width);
    }
    const std::string crop = std::to_string(right - left) + "x" + std::to_string(bottom - top) +
                             "+" + std::to_string(left) + "+" + std::to_string(top);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    return RunProcess({"import", "-window", "root", "-crop", crop, "+repage", path},
                      Environment({}), std::chrono::seconds(60))
               .exitCode == 0;
  }

 private:
  std::string Property(Window window, const char* name) {
    Display* d = connection_.get();
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(d, window, XInternAtom(d, name, False), 0, 65536, False, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
      const size_t unit = format == 32 ? sizeof(long) : static_cast<size_t>(format) / 8;
      value.assign(reinterpret_cast<const char*>(data), count * unit);
      XFree(data);
    }
    return value;
  }

  std::optional<unsigned long> RootWindowProperty(const char* name) {
    const std::string value = Property(DefaultRootWindow(connection_.get()), name);
    if (value.size() < sizeof(long)) {
      return std::nullopt;
    }
    unsigned long number = 0;
    std::memcpy(&number, value.data(), sizeof number);
    return number;
  }

  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> windowManager_;
  std::string display_;
  std::unique_ptr<Display, DisplayCloser> connection_;
};

}  // namespace lumivora::testing
