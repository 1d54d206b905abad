// GTK 3 user interface for Linux desktops (X11 or Wayland). No GTK header is
// included here: callers only see the platform interface.
#pragma once

#include <cstdlib>
#include <memory>

#include "platform/ui.h"

namespace lumivora::platform {

// Whether a display is given (DISPLAY or WAYLAND_DISPLAY is set and not
// empty): the GTK backend is only tried then.
inline bool DisplayGiven() {
  const char* x11 = std::getenv("DISPLAY");              // NOLINT(concurrency-mt-unsafe)
  const char* wayland = std::getenv("WAYLAND_DISPLAY");  // NOLINT(concurrency-mt-unsafe)
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

// The GTK backend, or nullptr when no display is given (neither DISPLAY nor
// WAYLAND_DISPLAY is set) or GTK cannot be started on it.
std::unique_ptr<UserInterface> CreateGtkInterface();

// The GTK backend built as a module of its own ("lumivora-gtk.so", beside
// the program), which a program that may run without a display loads only
// when one is given, so that such a start does not load the toolkit's
// libraries. The module's one entry point, with C linkage.
inline constexpr const char* kGtkModuleName = "lumivora-gtk.so";
inline constexpr const char* kGtkModuleEntry = "LumivoraCreateGtkInterface";
using GtkModuleEntry = UserInterface* (*)();

}  // namespace lumivora::platform
