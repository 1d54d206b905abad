#include "launcher/config_constants.h"
#include "launcher/launch_sequence.h"

namespace lumivora::launcher {

LauncherConfig BuiltInConfig() {
  LauncherConfig config;
  config.InfoURL1 = config::kInfoURL1;
  config.InfoURL2 = config::kInfoURL2;
  config.UpgradeURLFormat = config::kUpgradeURLFormat;
  config.PackPasswordTable = config::kPackPasswordTable;
  config.PackPasswordLastIndex = config::kPackPasswordLastIndex;
  return config;
}

}  // namespace lumivora::launcher
