// The user interface of a desktop program: native windows when a display is
// available, the console otherwise (headless use, a terminal session).
//
// Built in two ways. Linked with the GTK backend (LUMIVORA_HAVE_GTK), as the
// tools and tests are. Or, for the launcher (LUMIVORA_GTK_MODULE), loading
// the backend's module from the program's own folder only when a display is
// given: a start without one then loads none of the toolkit's libraries, and
// a start with one loads them as before.
#include "platform/ui.h"

#if LUMIVORA_HAVE_GTK || LUMIVORA_GTK_MODULE
#include "platform/gtk/ui_gtk.h"
#endif

#if LUMIVORA_GTK_MODULE
#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <string>
#endif

namespace lumivora::platform {

#if LUMIVORA_GTK_MODULE
namespace {

// The folder of the running program ("" when it cannot be told).
std::string ProgramFolder() {
  std::array<char, 4096> buffer{};
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  const std::string path = n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : "";
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The GTK backend from its module, or nullptr (no module, or no GTK on this
// display). The module stays loaded for the life of the process: GTK cannot
// be unloaded.
std::unique_ptr<UserInterface> LoadGtkInterface() {
  const std::string folder = ProgramFolder();
  if (folder.empty()) {
    return nullptr;
  }
  void* module = ::dlopen((folder + kGtkModuleName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    return nullptr;
  }
  // POSIX gives dlsym's result as an object pointer; the entry is a function.
  const auto entry =
      reinterpret_cast<GtkModuleEntry>(  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
          ::dlsym(module, kGtkModuleEntry));
  return std::unique_ptr<UserInterface>(entry != nullptr ? entry() : nullptr);
}

}  // namespace
#endif

std::unique_ptr<UserInterface> CreateDesktopInterface() {
#if LUMIVORA_GTK_MODULE
  if (DisplayGiven()) {
    if (std::unique_ptr<UserInterface> gtk = LoadGtkInterface()) {
      return gtk;
    }
  }
#elif LUMIVORA_HAVE_GTK
  if (std::unique_ptr<UserInterface> gtk = CreateGtkInterface()) {
    return gtk;
  }
#endif
  return CreateConsoleInterface();
}

#if !LUMIVORA_HAVE_GTK
bool RunMainWindow(const char* /*title*/, const char* /*text*/, bool /*stopOnInputEnd*/) {
  return false;  // no window toolkit in this build
}
#endif

}  // namespace lumivora::platform
