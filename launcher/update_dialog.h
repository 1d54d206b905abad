// The launcher's real update dialog (Execute of the web update subsystem).
#pragma once

#include <memory>

#include "launcher/launch_sequence.h"

namespace lumivora::launcher {

// The update dialog with its web update component and the HTTP transport of
// the platform; a download is put in place only when it is a pack that
// CONFIG's password opens.
std::unique_ptr<UpdateDialog> CreateUpdateDialog(platform::SystemServices& system,
                                                 platform::UserInterface& ui,
                                                 const LauncherConfig& config);

}  // namespace lumivora::launcher
