#include "platform/product.h"

#ifndef LUMIVORA_PRODUCT_NAME
#define LUMIVORA_PRODUCT_NAME "Lumivora"
#endif

namespace lumivora::platform {

const char kProductName[] = LUMIVORA_PRODUCT_NAME;

}  // namespace lumivora::platform
