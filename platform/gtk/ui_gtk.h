// GTK 3 user interface for Linux desktops (X11 or Wayland). No GTK header is
// included here: callers only see the platform interface.
#pragma once

#include <memory>

#include "platform/ui.h"

namespace lumivora::platform {

// The GTK backend, or nullptr when no display is given (neither DISPLAY nor
// WAYLAND_DISPLAY is set) or GTK cannot be started on it.
std::unique_ptr<UserInterface> CreateGtkInterface();

}  // namespace lumivora::platform
