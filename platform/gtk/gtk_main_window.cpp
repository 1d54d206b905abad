// The test program's main window on GTK (RunMainWindow): a plain top-level
// window with one text, run with GTK's own main loop until it is closed or,
// when asked, until standard input ends.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include "platform/gtk/gtk_widgets.h"
#include "platform/ui.h"

namespace lumivora::platform {
namespace {

using gtk::As;
using gtk::Callback;

gboolean OnInput(gint fd, GIOCondition /*condition*/, gpointer /*data*/) {
  char buffer[256];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    return G_SOURCE_CONTINUE;
  }
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

void OnMainWindowDestroyed(GtkWidget* /*window*/, gpointer data) {
  *static_cast<bool*>(data) = true;
  gtk_main_quit();
}

}  // namespace

bool RunMainWindow(const char* title, const char* text, bool stopOnInputEnd) {
  if (!gtk::StartGtk()) {
    return false;
  }
  const gtk::PixbufPtr icon = gtk::ApplicationIcon(48);
  gtk_window_set_default_icon(icon.get());
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(As<GtkWindow>(window), title);
  gtk_window_set_role(As<GtkWindow>(window), "MainWindow");
  gtk_window_set_default_size(As<GtkWindow>(window), 480, 240);
  gtk_window_set_position(As<GtkWindow>(window), GTK_WIN_POS_CENTER);
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_line_wrap(As<GtkLabel>(label), TRUE);
  gtk_container_add(As<GtkContainer>(window), label);
  // Closing the window ends the program; the window is gone by then.
  bool closed = false;
  g_signal_connect(window, "destroy", Callback(&OnMainWindowDestroyed), &closed);
  guint inputWatch = 0;
  if (stopOnInputEnd) {
    inputWatch = g_unix_fd_add(
        STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &OnInput, nullptr);
  }
  gtk_widget_show_all(window);
  gtk_main();
  if (inputWatch != 0 && g_main_context_find_source_by_id(nullptr, inputWatch) != nullptr) {
    g_source_remove(inputWatch);
  }
  if (!closed) {
    gtk_widget_destroy(window);  // standard input ended while the window was open
  }
  return true;
}

}  // namespace lumivora::platform
