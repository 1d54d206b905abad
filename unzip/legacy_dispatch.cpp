// Maps the legacy compression methods (APPNOTE 4.4.5: 1 shrunk, 2-5 reduced,
// 6 imploded) to their decoders when these are built into the library.
#include "unzip/legacy_decoders.h"

namespace lumivora::unzip {

LegacyDecoder FindLegacyDecoder(uint16_t method) {
  switch (method) {
#ifdef LUMIVORA_HAVE_EXPAND_SHRUNK
    case 1:
      return &ExpandShrunk;
#endif
#ifdef LUMIVORA_HAVE_EXPAND_REDUCED
    case 2:
    case 3:
    case 4:
    case 5:
      return &ExpandReduced;
#endif
#ifdef LUMIVORA_HAVE_EXPAND_IMPLODED
    case 6:
      return &ExpandImploded;
#endif
    default:
      return nullptr;
  }
}

}  // namespace lumivora::unzip
