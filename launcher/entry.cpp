#include "launcher/entry.h"

#include <array>
#include <cstdio>
#include <optional>

#include "platform/exception.h"

namespace lumivora::launcher {

bool CheckSingleInstance(platform::SystemServices& system) {
  if (!system.InstanceGuardExists(MutexName())) {
    return true;
  }
  system.RestoreWindow(MainWindowTitle());
  return false;
}

int RunEntry(LaunchEnvironment& environment, const std::string& moduleName) {
  try {
    const bool alone = CheckSingleInstance(environment.system);
    platform::Log(environment.log,
                  alone ? "guard: no main program runs, the start goes on"
                        : "guard: the main program runs, its window restored, the start ends");
    if (!alone) {
      return 0;
    }
    std::optional<TfrmSplash> splash(std::in_place, environment.ui);
    RunLaunchSequence(environment, &*splash);
    return 0;
  } catch (const Exception& error) {
    // The report of the runtime's handler for uncaught errors.
    const std::string& message = error.Message();
    std::array<char, 64> head{};
    std::snprintf(head.data(), head.size(), "%p",
                  reinterpret_cast<const void*>(&RunLaunchSequence));
    platform::MessageBoxRequest box;
    box.caption = "Application Error";
    box.text = std::string("Exception ") + error.ClassName() + " in module " + moduleName + " at " +
               head.data() + ".\n" + message +
               (!message.empty() && message.back() == '.' ? "" : ".");
    box.icon = platform::MessageIcon::kError;
    platform::Log(environment.log, "error: " + message);
    environment.ui.ShowMessage(box);
    return 1;
  }
}

}  // namespace lumivora::launcher
