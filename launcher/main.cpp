// lumivora: the launcher. Wires the real platform backends, the extraction
// component and the update dialog into the entry, once.
#include <span>
#include <string>
#include <vector>

#include "launcher/entry.h"
#include "launcher/launch_sequence.h"
#include "launcher/pack_extractor.h"
#include "launcher/system_services.h"
#include "launcher/update_dialog.h"
#include "platform/diagnostic_log.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/ui.h"

int main(int argc, char** argv) {
  namespace launcher = lumivora::launcher;
  namespace platform = lumivora::platform;
  const std::span<char*> args(argv, static_cast<size_t>(argc));
  const std::unique_ptr<platform::SystemServices> system = platform::CreateSystemServices();
  const std::unique_ptr<platform::UserInterface> ui = platform::CreateDesktopInterface();
  const launcher::LauncherConfig config = launcher::BuiltInConfig();
  const std::unique_ptr<launcher::PackExtractor> extractor = launcher::CreatePackExtractor();
  const std::unique_ptr<launcher::UpdateDialog> updater =
      launcher::CreateUpdateDialog(*system, *ui, config);
  launcher::LaunchEnvironment environment{
      *system,  *ui,    *extractor,
      *updater, config, std::vector<std::string>(args.begin() + 1, args.end())};
  // In the data folder, whose name needs no call that could fail.
  const platform::DiagnosticLog log(launcher::DataFolderPath(*system) + platform::PathSeparator() +
                                    platform::DiagnosticLogName());
  environment.log = log.Sink();
  return launcher::RunEntry(environment, "lumivora");
}
