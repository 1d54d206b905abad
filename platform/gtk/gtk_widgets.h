// Pieces of the GTK desktop interface (ui_gtk.cpp, gtk_message_box.cpp,
// gtk_main_window.cpp): starting GTK, text conversion, the application's icon,
// window style and creation, grid cells, the texts and layout that windows
// publish for automation tools, and message boxes.
#pragma once

#include <gtk/gtk.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui.h"

namespace lumivora::platform::gtk {

// Starts GTK once per process; false when there is no usable display.
bool StartGtk();

// GObject casts without C-style casts: GTK's type-check macros expand to them.
template <typename T>
T* As(GtkWidget* widget) {
  return reinterpret_cast<T*>(widget);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

template <typename F>
GCallback Callback(F* function) {
  return reinterpret_cast<GCallback>(
      function);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using PixbufPtr = std::unique_ptr<GdkPixbuf, ObjectUnref>;
using CursorPtr = std::unique_ptr<GdkCursor, ObjectUnref>;

struct WidgetDestroyer {
  void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};
using WindowPtr = std::unique_ptr<GtkWidget, WidgetDestroyer>;

struct GFreer {
  void operator()(gchar* text) const { g_free(text); }
};

// Windows-1252 (or Latin-1) text to UTF-8; UTF-8 text is kept. Line breaks
// become LF (LfLineBreaks); the text ends at a NUL byte, which no label can
// show.
std::string DisplayText(const std::string& text);

// "&Cancel" to GTK's "_Cancel": "&&" is a literal ampersand, "_" is doubled.
std::string MnemonicText(const std::string& text);

// The application's icon: Linux executables carry no icon resource, so the
// launcher draws its own (a lamp on a moss-green tile).
PixbufPtr ApplicationIcon(int size);

// Compact buttons and bars as on Windows; texts keep the desktop's font, and
// the windows are laid out around them.
void ApplyWindowStyle(GtkWidget* window);

// Publishes ENTRIES in the window's _LUMIVORA_TEXTS property (X11 only).
void PublishTexts(GtkWidget* window,
                  const std::vector<std::pair<std::string, std::string>>& entries);

// A window without title-bar buttons that the window manager cannot close.
WindowPtr CreateFixedWindow(const char* role, int width, int height);

// Gives a window the keyboard focus once it is on the screen; without a window
// manager nobody else does.
gboolean FocusOnMap(GtkWidget* widget, GdkEvent* /*event*/, gpointer /*data*/);

// A left-aligned label in the grid's cell (LEFT, TOP), WIDTH cells wide.
GtkWidget* PlaceLabel(GtkGrid* grid, int left, int top, int width, const char* text);

// A grid with the given spacings and border.
GtkWidget* NewGrid(int rowSpacing, int columnSpacing, int margin);

// Publishes where each control lies in WINDOW as it was drawn last, and the
// size its content needs, in the property _LUMIVORA_LAYOUT ("name=x y width
// height needed-width needed-height" entries separated by NUL bytes), for
// automation tools and the tests that check that no text overlaps another or
// is cut.
void PublishLayout(GtkWidget* window, const std::map<std::string, GtkWidget*>& controls);

// Shows REQUEST as a modal message box and returns the answer given, or the
// Escape answer when the box was closed otherwise.
MessageAnswer RunMessageBox(const MessageBoxRequest& request);

}  // namespace lumivora::platform::gtk
