// The launcher's real pack extraction (UnCompress of the extraction component).
#pragma once

#include <memory>

#include "launcher/launch_sequence.h"

namespace lumivora::launcher {

std::unique_ptr<PackExtractor> CreatePackExtractor();

}  // namespace lumivora::launcher
