#include "launcher/config_constants.h"
#include "launcher/launch_sequence.h"

#ifndef LUMIVORA_FIRST_START_WATCH_SECONDS
#define LUMIVORA_FIRST_START_WATCH_SECONDS 10
#endif

namespace lumivora::launcher {

LauncherConfig BuiltInConfig() {
  LauncherConfig config;
  config.InfoURL1 = config::kInfoURL1;
  config.InfoURL2 = config::kInfoURL2;
  config.UpgradeURLFormat = config::kUpgradeURLFormat;
  config.PackPasswordTable = std::span<const uint8_t>(
      config::kPackPasswordTable, static_cast<size_t>(config::kPackPasswordLastIndex) + 1);
  config.PackPasswordLastIndex = config::kPackPasswordLastIndex;
  config.UpdateRootKeys = config::kUpdateRootKeys;
  config.ProductIdentity = config::kProductIdentity;
  config.FirstStartWatch = std::chrono::seconds(LUMIVORA_FIRST_START_WATCH_SECONDS);
  return config;
}

}  // namespace lumivora::launcher
