// The top-level windows of the GTK desktop interface (ui_gtk.cpp): the
// splash window and the update dialog with their widgets, the texts and
// layout they publish, and their Cancel button.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/gtk/gtk_widgets.h"
#include "platform/ui.h"

namespace lumivora::platform::gtk {

// What shows a control's text: the window's title, the group box's caption,
// the button or a label.
enum class TextPlace { kTitle, kGroup, kButton, kLabel };

// A top-level window of either kind with its widgets; the typed view over it
// (ui_gtk.cpp) tells it which widget shows a control's text and fires VIEW's
// OnCancel through it. Its controls go by their names in the form tables
// (ControlName), under which it publishes their texts and layout.
class GtkForm {
 public:
  enum class Kind { kSplash, kUpdater };

  GtkForm(View& view, Kind kind, GdkPixbuf* icon);
  GtkForm(const GtkForm&) = delete;
  GtkForm& operator=(const GtkForm&) = delete;
  ~GtkForm() = default;

  // Shows TEXT, the text of the control CONTROL, in PLACE.
  void SetText(TextPlace place, const char* control, const std::string& text);

  void SetProgressMax(int64_t maximum) {
    maximum_ = static_cast<double>(maximum);
    DrawProgress();
  }
  void SetProgressPosition(int64_t position) {
    position_ = static_cast<double>(position);
    DrawProgress();
  }

  void Show() {
    gtk_widget_show_all(window_.get());
    gdk_display_flush(gtk_widget_get_display(window_.get()));
  }
  void BringToFront() {
    gtk_widget_show_all(window_.get());
    gtk_window_present(As<GtkWindow>(window_.get()));
  }

  void SetCursor(GdkCursor* cursor) {
    if (GdkWindow* gdkWindow = gtk_widget_get_window(window_.get())) {
      gdk_window_set_cursor(gdkWindow, cursor);
    }
  }

  // True once after the Cancel button was pressed.
  bool TakeCancelRequest() { return std::exchange(cancelRequested_, false); }
  void Cancel() {
    if (view_.OnCancel) {
      view_.OnCancel();
    }
  }

 private:
  static void OnCancelClicked(GtkButton* /*button*/, gpointer data) {
    static_cast<GtkForm*>(data)->cancelRequested_ = true;
  }
  static gboolean OnKeyPress(GtkWidget* /*widget*/, GdkEventKey* event, gpointer data) {
    auto* form = static_cast<GtkForm*>(data);
    if (event->keyval == GDK_KEY_Escape && form->button_ != nullptr) {
      gtk_button_clicked(As<GtkButton>(form->button_));  // Escape presses the Cancel button
      return TRUE;
    }
    return FALSE;
  }

  void BuildSplash(GtkGrid* grid, GdkPixbuf* icon);
  void BuildUpdater(GtkBox* box, GdkPixbuf* icon);

  // After every drawing of the window: the layout as it is on the screen.
  static gboolean OnDrawn(GtkWidget* window, cairo_t* /*cr*/, gpointer data) {
    PublishLayout(window, static_cast<GtkForm*>(data)->controls_);
    return FALSE;
  }

  void DrawProgress();
  void Publish();

  View& view_;
  std::string progressName_;
  WindowPtr window_;
  GtkWidget* group_ = nullptr;
  GtkWidget* button_ = nullptr;
  GtkWidget* progress_ = nullptr;
  std::map<std::string, GtkWidget*> labels_;
  std::map<std::string, GtkWidget*> controls_;  // every control, for the layout
  std::map<std::string, std::string> texts_;
  double maximum_ = 100;
  double position_ = 0;
  bool cancelRequested_ = false;
};

}  // namespace lumivora::platform::gtk
