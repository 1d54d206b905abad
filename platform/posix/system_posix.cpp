// System services on POSIX (Linux).
//
//  - data folder: $XDG_CONFIG_HOME, else $HOME/.config, created with mode 0700
//    when missing;
//  - temporary folder: $XDG_RUNTIME_DIR, else a folder of the user's own with
//    mode 0700 under $TMPDIR or /tmp ("<product>-<uid>", the product's name
//    in lower case: "lumivora-<uid>"), created when missing and refused when
//    it is not the user's, is open to others or is a link; then a private
//    "<product>-<uid>-XXXXXX" folder there is used, made by
//    mkdtemp when there is none, so that another user cannot stop the
//    launcher by taking the name first;
//  - platform id kPlatformIdNT (no ".exe" on the target, no rename);
//  - connection state: an interface that is up, running and not loopback;
//  - process start: posix_spawn without a shell, not waited for; a watched
//    start keeps the child and waits for its end on a pidfd (Linux 5.3), else
//    looks again every 2 ms;
//  - guard taken: the kernel's table of locks (/proc/locks) holds a flock
//    lock on the guard's file (its device and inode), read without locking;
//  - window restore: under X11 the top-level window with that exact title is
//    mapped (which de-iconifies it) and the window manager is asked to
//    activate it; without a display nothing is sent.
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/instance_guard.h"
#include "platform/posix/process_posix.h"
#include "platform/product.h"
#include "platform/system.h"
#include "platform/text.h"

#if LUMIVORA_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace lumivora::platform {
namespace {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value == nullptr ? std::string() : std::string(value);
}

// A folder that only the user may use: owned by the user, not a link, no
// group or other permissions.
bool IsPrivateFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 077U) == 0;
}

// Creates FOLDER and its missing parents with mode 0700, as the XDG Base
// Directory rules ask of the configuration home (a fresh account, a container
// or a server may have none); folders that exist keep their mode. A failure
// shows later, when the data folder inside cannot be created.
void CreatePrivateFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return;
    }
    if (slash == std::string::npos) {
      return;
    }
  }
}

// When the fixed temporary folder is taken: a folder NAME-XXXXXX under BASE
// that is private to the user. Only the user (or the administrator) can own
// one, so an existing one is used again, by this run and the next ones;
// otherwise mkdtemp makes one, exclusively, with an unpredictable name and
// mode 0700.
std::string FallbackTempFolder(const std::string& base, const std::string& name) {
  const std::string prefix = name + "-";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
    const std::string entryName = entry.path().filename().string();
    if (entryName.size() == prefix.size() + 6 && entryName.starts_with(prefix) &&
        IsPrivateFolder(entry.path().string())) {
      return entry.path().string();
    }
  }
  std::string folder = base + "/" + prefix + "XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    throw EOSError("Cannot create folder - " + folder);
  }
  return folder;
}

std::string PrivateTempFolder() {
  const std::string runtime = EnvironmentValue("XDG_RUNTIME_DIR");
  if (!runtime.empty() && IsPrivateFolder(runtime)) {
    return runtime.back() == '/' ? runtime : runtime + "/";
  }
  std::string base = EnvironmentValue("TMPDIR");
  if (base.empty()) {
    base = "/tmp";
  }
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  const std::string name = LowerAscii(ProductName()) + "-" + std::to_string(::getuid());
  const std::string folder = base + "/" + name;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw EOSError("Cannot create folder - " + folder);
  }
  if (IsPrivateFolder(folder)) {
    return folder + "/";
  }
  return FallbackTempFolder(base, name) + "/";
}

// The posix_spawn error as the Windows process start reports it.
unsigned SpawnErrorCode(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kStartFileNotFound;
    case EACCES:
    case EPERM:
      return kStartAccessDenied;
    case ENOMEM:
      return kStartOutOfMemory;
    default:
      return kStartBadFormat;
  }
}

#if LUMIVORA_HAVE_X11
struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

std::string WindowTitle(Display* display, Window window) {
  const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, window, netWmName, 0, 1024, False, utf8, &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr) {
    title.assign(reinterpret_cast<const char*>(data), count);  // NOLINT
    XFree(data);
    return title;
  }
  char* name = nullptr;
  if (XFetchName(display, window, &name) != 0 && name != nullptr) {
    title = name;
    XFree(name);
  }
  return title;
}

// Finds the client window titled TITLE below ROOT (depth-first, top level
// frames of reparenting window managers included).
Window FindWindowByTitle(Display* display, Window window, const std::string& title, int depth) {
  if (depth > 0 && WindowTitle(display, window) == title) {
    return window;
  }
  if (depth >= 3) {
    return 0;
  }
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
    return 0;
  }
  Window found = 0;
  for (unsigned int i = 0; i < count && found == 0; ++i) {
    found = FindWindowByTitle(display, children[i], title, depth + 1);  // NOLINT
  }
  if (children != nullptr) {
    XFree(children);
  }
  return found;
}
#endif

class PosixSystemServices final : public SystemServices {
 public:
  bool InstanceGuardExists(const std::string& name) override {
    // The guard is held exactly when its lock file cannot be locked.
    const std::string path = PrivateTempFolder() + name + ".lock";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      return false;
    }
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
  }

  bool InstanceGuardTaken(const std::string& name) override {
    try {
      return FlockHeld(PrivateTempFolder() + name + ".lock");
    } catch (const Exception&) {
      return false;  // no temporary folder: no guard either
    }
  }

  bool RestoreWindow(const std::string& title) override {
#if LUMIVORA_HAVE_X11
    if (EnvironmentValue("DISPLAY").empty()) {
      return false;
    }
    const std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
      return false;
    }
    Display* d = display.get();
    const Window root = DefaultRootWindow(d);
    const Window window = FindWindowByTitle(d, root, title, 0);
    if (window == 0) {
      return false;
    }
    // Mapping an iconic window returns it to the normal state (ICCCM 4.1.4);
    // _NET_ACTIVE_WINDOW asks the window manager to raise and focus it.
    XMapRaised(d, window);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1;  // from an application
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(d);
    return true;
#else
    (void)title;
    return false;
#endif
  }

  std::string AppDataFolder() override {
    std::string folder = EnvironmentValue("XDG_CONFIG_HOME");
    if (folder.empty() || folder.front() != '/') {
      const std::string home = EnvironmentValue("HOME");
      if (home.empty()) {
        return {};
      }
      folder = home + "/.config";
    }
    while (folder.size() > 1 && folder.back() == '/') {
      folder.pop_back();
    }
    CreatePrivateFolders(folder);
    return folder;
  }

  std::string TempFolder() override {
    return PrivateTempFolder();
  }

  // Same-type parameters kept: GetPlatformId's two outputs, major then minor.
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
  int PlatformId(int& major, int& minor) override {
    struct utsname name {};
    major = 0;
    minor = 0;
    if (::uname(&name) == 0) {
      char* end = nullptr;
      major = static_cast<int>(std::strtol(name.release, &end, 10));
      if (end != nullptr && *end == '.') {
        minor = static_cast<int>(std::strtol(end + 1, nullptr, 10));
      }
    }
    return 2;
  }

  bool IsOnline() override {
    // An interface that is up, has a carrier and is not the loopback one.
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
      return false;
    }
    bool online = false;
    constexpr unsigned kWanted = IFF_UP | IFF_RUNNING;
    for (const ifaddrs* entry = list; entry != nullptr && !online; entry = entry->ifa_next) {
      online = (entry->ifa_flags & kWanted) == kWanted && (entry->ifa_flags & IFF_LOOPBACK) == 0;
    }
    ::freeifaddrs(list);
    return online;
  }

  std::string ExecutablePath() override {
    std::array<char, 4096> buffer{};
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
  }

  int Today() override {
    const time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  }

  unsigned StartProcess(const CommandLine& commandLine) override {
    std::vector<std::string> args;
    args.push_back(commandLine.program);
    args.insert(args.end(), commandLine.arguments.begin(), commandLine.arguments.end());
    return Spawn(commandLine.program, args, false, false);
  }

  std::unique_ptr<WatchedProcess> StartWatchedProcess(const CommandLine& commandLine,
                                                      unsigned& error) override {
    std::vector<std::string> args;
    args.push_back(commandLine.program);
    args.insert(args.end(), commandLine.arguments.begin(), commandLine.arguments.end());
    pid_t pid = 0;
    error = SpawnChild(commandLine.program, args, false, pid);
    return ProcessStarted(error) ? WatchChild(pid) : nullptr;
  }

  bool ShellOpen(const std::string& address) override {
    return ProcessStarted(Spawn("xdg-open", {"xdg-open", address}, true, true));
  }

 private:
  // Starts PROGRAM with ARGS (no shell). With WAIT, the exit status decides.
  static unsigned Spawn(const std::string& program, const std::vector<std::string>& args,
                        bool searchPath, bool wait) {
    pid_t pid = 0;
    const unsigned result = SpawnChild(program, args, searchPath, pid);
    if (ProcessStarted(result) && wait) {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kStarted : kStartFileNotFound;
    }
    return result;
  }

  // Starts PROGRAM with ARGS (no shell) as the child PID.
  static unsigned SpawnChild(const std::string& program, const std::vector<std::string>& args,
                             bool searchPath, pid_t& pid) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));  // NOLINT: posix_spawn takes char*
    }
    argv.push_back(nullptr);
    const int error =
        searchPath ? ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ)
                   : ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    return error != 0 ? SpawnErrorCode(error) : kStarted;
  }
};

}  // namespace

std::unique_ptr<SystemServices> CreateSystemServices() {
  return std::make_unique<PosixSystemServices>();
}

struct InstanceGuard::State {
  int fd = -1;
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

InstanceGuard::InstanceGuard(std::unique_ptr<State> state) : state_(std::move(state)) {}
InstanceGuard::~InstanceGuard() = default;

std::unique_ptr<InstanceGuard> InstanceGuard::Acquire(const std::string& name) {
  auto state = std::make_unique<State>();
  const std::string path = PrivateTempFolder() + name + ".lock";
  state->fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (state->fd < 0 || ::flock(state->fd, LOCK_EX | LOCK_NB) != 0) {
    return nullptr;
  }
  return std::unique_ptr<InstanceGuard>(
      new InstanceGuard(std::move(state)));  // NOLINT: private ctor
}

}  // namespace lumivora::platform
