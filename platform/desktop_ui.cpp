// The user interface of a desktop program: native windows when a display is
// available, the console otherwise (headless use, a terminal session).
#include "platform/ui.h"

#if LUMIVORA_HAVE_GTK
#include "platform/gtk/ui_gtk.h"
#endif

namespace lumivora::platform {

std::unique_ptr<UserInterface> CreateDesktopInterface() {
#if LUMIVORA_HAVE_GTK
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
