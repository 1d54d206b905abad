// The launcher's process entry: the single-instance guard, the splash window
// and one run of the launch sequence.
#pragma once

#include <string>

#include "launcher/launch_sequence.h"
#include "platform/product.h"

namespace lumivora::launcher {

// The main program's single-instance guard ("LumivoraMutexName") and window
// title ("Lumivora"), named after the product.
inline std::string MutexName() {
  return platform::ProductName() + "MutexName";
}
inline std::string MainWindowTitle() {
  return platform::ProductName();
}

// True when no instance of the main program runs; otherwise its window has
// been asked to restore itself.
bool CheckSingleInstance(platform::SystemServices& system);

// Guard, splash window, launch sequence. Returns the process exit code: 0, or
// 1 after an uncaught error has been reported as the runtime reports it
// ("Application Error").
int RunEntry(LaunchEnvironment& environment, const std::string& moduleName);

}  // namespace lumivora::launcher
