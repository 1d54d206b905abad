// The entry point of the GTK backend's module (see ui_gtk.h): the caller
// owns the interface it returns (nullptr when GTK cannot start).
#include "platform/gtk/ui_gtk.h"

extern "C" __attribute__((visibility("default"))) lumivora::platform::UserInterface*
LumivoraCreateGtkInterface() {
  return lumivora::platform::CreateGtkInterface().release();
}
