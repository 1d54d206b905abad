// lumivora: the launcher. Wires the real platform backends, the extraction
// component and the update dialog into the entry, once.
#include <span>
#include <string>
#include <vector>

#include "launcher/entry.h"
#include "launcher/launch_sequence.h"
#include "launcher/pack_extractor.h"
#include "launcher/update_dialog.h"
#include "platform/system.h"
#include "platform/ui.h"

int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<size_t>(argc));
  const std::unique_ptr<lumivora::platform::SystemServices> system =
      lumivora::platform::CreateSystemServices();
  const std::unique_ptr<lumivora::platform::UserInterface> ui =
      lumivora::platform::CreateConsoleInterface();
  const std::unique_ptr<lumivora::launcher::PackExtractor> extractor =
      lumivora::launcher::CreatePackExtractor(*ui);
  const std::unique_ptr<lumivora::launcher::UpdateDialog> updater =
      lumivora::launcher::CreateUpdateDialog(*system, *ui);
  lumivora::launcher::LaunchEnvironment environment{
      *system,
      *ui,
      *extractor,
      *updater,
      lumivora::launcher::BuiltInConfig(),
      std::vector<std::string>(args.begin() + 1, args.end())};
  return lumivora::launcher::RunEntry(environment, "lumivora");
}
