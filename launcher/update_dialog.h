// The launcher's real update dialog (Execute of the web update subsystem).
#pragma once

#include <memory>

#include "launcher/launch_sequence.h"

namespace lumivora::launcher {

std::unique_ptr<UpdateDialog> CreateUpdateDialog(platform::SystemServices& system,
                                                 platform::UserInterface& ui);

}  // namespace lumivora::launcher
