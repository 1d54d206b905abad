#include "platform/gtk/gtk_widgets.h"

#include <cmath>
#include <string>

#include "platform/text.h"

namespace lumivora::platform::gtk {

// Windows-1252 (or Latin-1) text to UTF-8; UTF-8 text is kept. Line breaks
// become LF (LfLineBreaks); the text ends at a NUL byte, which no label can
// show.
std::string DisplayText(const std::string& text) {
  std::string source = text.substr(0, text.find('\0'));
  if (g_utf8_validate(source.data(), static_cast<gssize>(source.size()), nullptr) == FALSE) {
    const std::unique_ptr<gchar, GFreer> converted(
        g_convert(source.data(), static_cast<gssize>(source.size()), "UTF-8", "WINDOWS-1252",
                  nullptr, nullptr, nullptr));
    if (converted) {
      source = converted.get();
    } else {  // bytes that Windows-1252 leaves undefined: read as Latin-1
      std::string latin;
      for (const char c : source) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
          latin += c;
        } else {
          latin += static_cast<char>(0xC0 | (byte >> 6));
          latin += static_cast<char>(0x80 | (byte & 0x3F));
        }
      }
      source = latin;
    }
  }
  return LfLineBreaks(source);
}

// "&Cancel" to GTK's "_Cancel": "&&" is a literal ampersand, "_" is doubled.
std::string MnemonicText(const std::string& text) {
  std::string out;
  const std::string shown = DisplayText(text);
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '&') {
      if (i + 1 < shown.size() && shown[i + 1] == '&') {
        out += '&';
        ++i;
      } else {
        out += '_';
      }
    } else if (shown[i] == '_') {
      out += "__";
    } else {
      out += shown[i];
    }
  }
  return out;
}

// The application's icon: Linux executables carry no icon resource, so the
// launcher draws its own (a lamp on a moss-green tile).
PixbufPtr ApplicationIcon(int size) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(surface);
  const double s = size;
  const double r = s * 0.18;
  cairo_new_sub_path(cr);
  cairo_arc(cr, s - r, r, r, -G_PI / 2, 0);
  cairo_arc(cr, s - r, s - r, r, 0, G_PI / 2);
  cairo_arc(cr, r, s - r, r, G_PI / 2, G_PI);
  cairo_arc(cr, r, r, r, G_PI, 3 * G_PI / 2);
  cairo_close_path(cr);
  cairo_pattern_t* tile = cairo_pattern_create_linear(0, 0, 0, s);
  cairo_pattern_add_color_stop_rgb(tile, 0, 0.29, 0.49, 0.27);
  cairo_pattern_add_color_stop_rgb(tile, 1, 0.13, 0.27, 0.15);
  cairo_set_source(cr, tile);
  cairo_fill(cr);
  cairo_pattern_destroy(tile);
  cairo_pattern_t* glow =
      cairo_pattern_create_radial(s / 2, s * 0.42, 0, s / 2, s * 0.42, s * 0.36);
  cairo_pattern_add_color_stop_rgba(glow, 0, 1.0, 0.95, 0.6, 1.0);
  cairo_pattern_add_color_stop_rgba(glow, 0.45, 1.0, 0.8, 0.3, 0.9);
  cairo_pattern_add_color_stop_rgba(glow, 1, 1.0, 0.7, 0.2, 0.0);
  cairo_set_source(cr, glow);
  cairo_arc(cr, s / 2, s * 0.42, s * 0.36, 0, 2 * G_PI);
  cairo_fill(cr);
  cairo_pattern_destroy(glow);
  cairo_set_source_rgb(cr, 0.95, 0.93, 0.85);
  cairo_rectangle(cr, s * 0.38, s * 0.66, s * 0.24, s * 0.16);
  cairo_fill(cr);
  cairo_destroy(cr);
  PixbufPtr pixbuf(gdk_pixbuf_get_from_surface(surface, 0, 0, size, size));
  cairo_surface_destroy(surface);
  return pixbuf;
}

// Compact buttons and bars as on Windows; texts keep the desktop's font, and
// the windows are laid out around them.
void ApplyWindowStyle(GtkWidget* window) {
  static GtkCssProvider* provider = [] {
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        css,
        "button { min-height: 0; padding: 2px 8px; } "
        "progressbar trough, progressbar progress { min-height: 14px; } "
        ".splash progressbar trough, .splash progressbar progress { min-height: 23px; }",
        -1, nullptr);
    return css;
  }();
  gtk_style_context_add_provider_for_screen(
      gtk_widget_get_screen(window),
      reinterpret_cast<GtkStyleProvider*>(provider),  // NOLINT
      GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

// Publishes ENTRIES in the window's _LUMIVORA_TEXTS property (X11 only).
void PublishTexts(GtkWidget* window,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  if (gdkWindow == nullptr) {
    return;
  }
  std::string data;
  for (const auto& [name, text] : entries) {
    data += name + "=" + text;
    data += '\0';
  }
  gdk_property_change(gdkWindow, gdk_atom_intern_static_string("_LUMIVORA_TEXTS"),
                      gdk_atom_intern_static_string("UTF8_STRING"), 8, GDK_PROP_MODE_REPLACE,
                      reinterpret_cast<const guchar*>(data.data()),  // NOLINT
                      static_cast<gint>(data.size()));
}

// A window without title-bar buttons that the window manager cannot close.
WindowPtr CreateFixedWindow(const char* role, int width, int height) {
  WindowPtr window(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  GtkWindow* w = As<GtkWindow>(window.get());
  gtk_window_set_role(w, role);
  gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_deletable(w, FALSE);
  gtk_window_set_resizable(w, FALSE);
  gtk_window_set_position(w, GTK_WIN_POS_CENTER);
  gtk_widget_set_size_request(window.get(), width, height);
  g_signal_connect(window.get(), "delete-event", Callback(&gtk_true), nullptr);
  ApplyWindowStyle(window.get());
  return window;
}

// Gives a window the keyboard focus once it is on the screen; without a window
// manager nobody else does.
gboolean FocusOnMap(GtkWidget* widget, GdkEvent* /*event*/, gpointer /*data*/) {
  gtk_window_present(As<GtkWindow>(widget));
  return FALSE;
}

// A left-aligned label in the grid's cell (LEFT, TOP), WIDTH cells wide.
GtkWidget* PlaceLabel(GtkGrid* grid, int left, int top, int width, const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(As<GtkLabel>(label), 0.0F);
  gtk_grid_attach(grid, label, left, top, width, 1);
  return label;
}

GtkWidget* NewGrid(int rowSpacing, int columnSpacing, int margin) {
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(As<GtkGrid>(grid), static_cast<guint>(rowSpacing));
  gtk_grid_set_column_spacing(As<GtkGrid>(grid), static_cast<guint>(columnSpacing));
  gtk_container_set_border_width(As<GtkContainer>(grid), static_cast<guint>(margin));
  return grid;
}

// Publishes where each control lies in WINDOW as it was drawn last, and the
// size its content needs, in the property _LUMIVORA_LAYOUT ("name=x y width height needed-width
// needed-height" entries separated by NUL bytes), for automation tools and the
// tests that check that no text overlaps another or is cut.
void PublishLayout(GtkWidget* window, const std::map<std::string, GtkWidget*>& controls) {
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  if (gdkWindow == nullptr) {
    return;
  }
  std::string data;
  for (const auto& [name, widget] : controls) {
    // No control has a window of its own: allocations are relative to the
    // top-level window, realized or not.
    GtkAllocation place{};
    gtk_widget_get_allocation(widget, &place);
    int minimum = 0;
    int neededWidth = 0;
    int neededHeight = 0;
    // The preferred sizes include the margins, the allocation does not.
    gtk_widget_get_preferred_width(widget, &minimum, &neededWidth);
    neededWidth -= gtk_widget_get_margin_start(widget) + gtk_widget_get_margin_end(widget);
    gtk_widget_get_preferred_height_for_width(widget, neededWidth, &minimum, &neededHeight);
    neededHeight -= gtk_widget_get_margin_top(widget) + gtk_widget_get_margin_bottom(widget);
    data += name;
    char separator = '=';
    for (const int value :
         {place.x, place.y, place.width, place.height, neededWidth, neededHeight}) {
      data += separator;
      data += std::to_string(value);
      separator = ' ';
    }
    data += '\0';
  }
  gdk_property_change(gdkWindow, gdk_atom_intern_static_string("_LUMIVORA_LAYOUT"),
                      gdk_atom_intern_static_string("UTF8_STRING"), 8, GDK_PROP_MODE_REPLACE,
                      reinterpret_cast<const guchar*>(data.data()),  // NOLINT
                      static_cast<gint>(data.size()));
}

}  // namespace lumivora::platform::gtk
