// GTK 3 user interface: the splash window, the update dialog and message boxes
// (gtk_message_box.cpp) as real windows on a Linux desktop.
//
// Everything runs on the caller's one thread. GTK is never given a main loop
// of its own: ProcessMessages handles the events that are pending and returns,
// and a message box runs its modal loop only while it is open. A Cancel button
// (or Escape) only marks its window; the next ProcessMessages fires OnCancel,
// so running work sees the stop request at its next poll, never in between.
//
// Texts arrive as 8-bit ANSI text (Windows-1252 when
// they are not UTF-8 already), with CR, CR LF or LF as line breaks and "&"
// marking a button's access key.
//
// Under X11 each window mirrors the texts of its controls in the property
// _LUMIVORA_TEXTS of its top-level window ("name=text" entries separated by
// NUL bytes), so that automation tools can read them the way Windows tools read
// a control's text with WM_GETTEXT.
#include "platform/gtk/ui_gtk.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/gtk/gtk_widgets.h"

namespace lumivora::platform {
namespace gtk {

bool StartGtk() {
  static const bool started = [] {
    if (!DisplayGiven()) {
      return false;
    }
    // The program's own text handling relies on the "C" locale (number
    // formats in INI files and version texts): GTK must not change it.
    gtk_disable_setlocale();
    return gtk_init_check(nullptr, nullptr) != FALSE;
  }();
  return started;
}

}  // namespace gtk

namespace {

using namespace gtk;  // the pieces in gtk_widgets.h

class GtkInterface;

class GtkView final : public View {
 public:
  enum class Kind { kSplash, kUpdater };

  GtkView(GtkInterface& owner, Kind kind);
  ~GtkView() override;
  GtkView(const GtkView&) = delete;
  GtkView& operator=(const GtkView&) = delete;

  void SetText(const std::string& control, const std::string& text) override {
    const std::string shown = DisplayText(text);
    if (control == name_) {
      gtk_window_set_title(As<GtkWindow>(window_.get()), shown.c_str());
    } else if (control == "grpUpdate" && group_ != nullptr) {
      gtk_label_set_text(As<GtkLabel>(gtk_frame_get_label_widget(As<GtkFrame>(group_))),
                         shown.c_str());
    } else if (control == "btn_Update" && button_ != nullptr) {
      gtk_button_set_label(As<GtkButton>(button_), MnemonicText(text).c_str());
    } else if (const auto it = labels_.find(control); it != labels_.end()) {
      gtk_label_set_text(As<GtkLabel>(it->second), shown.c_str());
    }
    texts_[control] = shown;
    Publish();
    // The layout describes the window as drawn: none until it is drawn again.
    if (GdkWindow* gdkWindow = gtk_widget_get_window(window_.get())) {
      gdk_property_delete(gdkWindow, gdk_atom_intern_static_string("_LUMIVORA_LAYOUT"));
    }
  }

  void SetProgressMax(int64_t maximum) override {
    maximum_ = static_cast<double>(maximum);
    DrawProgress();
  }
  void SetProgressPosition(int64_t position) override {
    position_ = static_cast<double>(position);
    DrawProgress();
  }

  void Show() override {
    gtk_widget_show_all(window_.get());
    gdk_display_flush(gtk_widget_get_display(window_.get()));
  }
  void BringToFront() override {
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

 private:
  static void OnCancelClicked(GtkButton* /*button*/, gpointer data) {
    static_cast<GtkView*>(data)->cancelRequested_ = true;
  }
  static gboolean OnKeyPress(GtkWidget* /*widget*/, GdkEventKey* event, gpointer data) {
    auto* view = static_cast<GtkView*>(data);
    if (event->keyval == GDK_KEY_Escape && view->button_ != nullptr) {
      gtk_button_clicked(As<GtkButton>(view->button_));  // Escape presses the Cancel button
      return TRUE;
    }
    return FALSE;
  }

  void BuildSplash(GtkGrid* grid, GdkPixbuf* icon);
  void BuildUpdater(GtkBox* box, GdkPixbuf* icon);

  // After every drawing of the window: the layout as it is on the screen.
  static gboolean OnDrawn(GtkWidget* window, cairo_t* /*cr*/, gpointer data) {
    PublishLayout(window, static_cast<GtkView*>(data)->controls_);
    return FALSE;
  }

  void DrawProgress() {
    const double fraction = maximum_ > 0 ? std::clamp(position_ / maximum_, 0.0, 1.0) : 0.0;
    gtk_progress_bar_set_fraction(As<GtkProgressBar>(progress_), fraction);
    Publish();
  }

  void Publish() {
    std::vector<std::pair<std::string, std::string>> entries(texts_.begin(), texts_.end());
    entries.emplace_back(progressName_, std::to_string(std::llround(position_)) + "/" +
                                            std::to_string(std::llround(maximum_)));
    PublishTexts(window_.get(), entries);
  }

  GtkInterface& owner_;
  std::string name_;
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

class GtkInterface final : public UserInterface {
 public:
  GtkInterface() : icon_(ApplicationIcon(48)) { gtk_window_set_default_icon(icon_.get()); }
  ~GtkInterface() override { Pump(); }
  GtkInterface(const GtkInterface&) = delete;
  GtkInterface& operator=(const GtkInterface&) = delete;

  MessageAnswer ShowMessage(const MessageBoxRequest& request) override {
    const MessageAnswer answer = RunMessageBox(request);
    Pump();
    return answer;
  }

  std::unique_ptr<View> CreateSplash() override {
    return std::make_unique<GtkView>(*this, GtkView::Kind::kSplash);
  }
  std::unique_ptr<View> CreateUpdater() override {
    return std::make_unique<GtkView>(*this, GtkView::Kind::kUpdater);
  }

  void SetCursor(CursorKind cursor) override {
    cursor_ = cursor;
    for (GtkView* view : views_) {
      view->SetCursor(CurrentCursor());
    }
    gdk_display_flush(gdk_display_get_default());
  }

  void ProcessMessages() override {
    Pump();
    for (GtkView* view : std::set<GtkView*>(views_)) {
      // A handler may free another view: fire only for views still alive.
      if (views_.count(view) != 0 && view->TakeCancelRequest() && view->OnCancel) {
        view->OnCancel();
      }
    }
  }

  void Register(GtkView* view) {
    views_.insert(view);
    view->SetCursor(CurrentCursor());
  }
  void Unregister(GtkView* view) { views_.erase(view); }
  [[nodiscard]] GdkPixbuf* Icon() const { return icon_.get(); }

 private:
  static void Pump() {
    while (gtk_events_pending() != FALSE) {
      gtk_main_iteration_do(FALSE);
    }
  }

  GdkCursor* CurrentCursor() {
    if (cursor_ == CursorKind::kDefault) {
      return nullptr;  // the window's parent cursor, the arrow
    }
    if (!progressCursor_) {
      progressCursor_.reset(gdk_cursor_new_from_name(gdk_display_get_default(), "progress"));
      if (!progressCursor_) {
        progressCursor_.reset(gdk_cursor_new_for_display(gdk_display_get_default(), GDK_WATCH));
      }
    }
    return progressCursor_.get();
  }

  PixbufPtr icon_;
  CursorPtr progressCursor_;
  CursorKind cursor_ = CursorKind::kDefault;
  std::set<GtkView*> views_;
};

GtkView::GtkView(GtkInterface& owner, Kind kind)
    : owner_(owner),
      name_(kind == Kind::kSplash ? "frmSplash" : "frmUpdater"),
      progressName_(kind == Kind::kSplash ? "prgSteps" : "ProgressBar"),
      window_(kind == Kind::kSplash ? CreateFixedWindow("frmSplash", 344, 131)
                                    : CreateFixedWindow("frmUpdater", 352, 158)) {
  if (kind == Kind::kSplash) {
    GtkWidget* grid = NewGrid(6, 16, 8);
    gtk_container_add(As<GtkContainer>(window_.get()), grid);
    BuildSplash(As<GtkGrid>(grid), owner_.Icon());
  } else {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_set_border_width(As<GtkContainer>(box), 8);
    gtk_container_add(As<GtkContainer>(window_.get()), box);
    BuildUpdater(As<GtkBox>(box), owner_.Icon());
  }
  controls_.insert(labels_.begin(), labels_.end());
  controls_[progressName_] = progress_;
  g_signal_connect_after(window_.get(), "draw", Callback(&GtkView::OnDrawn), this);
  gtk_widget_realize(window_.get());
  // A title bar without buttons: the window manager may only move the window.
  gdk_window_set_decorations(gtk_widget_get_window(window_.get()),
                             static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_TITLE));
  gdk_window_set_functions(gtk_widget_get_window(window_.get()), GDK_FUNC_MOVE);
  owner_.Register(this);
  Publish();
}

GtkView::~GtkView() {
  owner_.Unregister(this);
}

// The icon in a raised bevel left of the prompt and the bold status line,
// the progress bar below them across the window.
void GtkView::BuildSplash(GtkGrid* grid, GdkPixbuf* icon) {
  gtk_window_set_title(As<GtkWindow>(window_.get()), "");
  gtk_style_context_add_class(gtk_widget_get_style_context(window_.get()), "splash");
  GtkWidget* bevel = gtk_frame_new(nullptr);
  gtk_frame_set_shadow_type(As<GtkFrame>(bevel), GTK_SHADOW_OUT);
  const PixbufPtr scaled(gdk_pixbuf_scale_simple(icon, 39, 39, GDK_INTERP_BILINEAR));
  GtkWidget* image = gtk_image_new_from_pixbuf(scaled.get());
  gtk_container_add(As<GtkContainer>(bevel), image);
  gtk_widget_set_valign(bevel, GTK_ALIGN_CENTER);
  gtk_widget_set_halign(bevel, GTK_ALIGN_START);
  gtk_grid_attach(grid, bevel, 0, 0, 1, 2);
  controls_["ProgramIcon"] = image;
  labels_["lblPrompt"] = PlaceLabel(grid, 1, 0, 1, "");
  gtk_widget_set_valign(labels_["lblPrompt"], GTK_ALIGN_END);
  gtk_widget_set_hexpand(labels_["lblPrompt"], TRUE);
  GtkWidget* status = PlaceLabel(grid, 1, 1, 1, "...");
  gtk_widget_set_valign(status, GTK_ALIGN_START);
  PangoAttrList* bold = pango_attr_list_new();
  pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  gtk_label_set_attributes(As<GtkLabel>(status), bold);
  pango_attr_list_unref(bold);
  labels_["lblStatus"] = status;
  texts_["lblStatus"] = "...";
  progress_ = gtk_progress_bar_new();
  gtk_widget_set_size_request(progress_, 313, 25);
  gtk_widget_set_hexpand(progress_, TRUE);
  gtk_widget_set_valign(progress_, GTK_ALIGN_END);
  gtk_widget_set_vexpand(progress_, TRUE);
  gtk_grid_attach(grid, progress_, 0, 2, 2, 1);
}

// The group box holds the icon, the two version lines (captions in one
// column, values in the next), a line, the file line and the progress bar;
// the Cancel button lies centred below it.
void GtkView::BuildUpdater(GtkBox* box, GdkPixbuf* icon) {
  gtk_window_set_title(As<GtkWindow>(window_.get()), "Web Update");
  group_ = gtk_frame_new("Program Update:");
  gtk_box_pack_start(box, group_, TRUE, TRUE, 0);
  GtkWidget* grid = NewGrid(4, 12, 8);
  gtk_container_add(As<GtkContainer>(group_), grid);
  GtkGrid* cells = As<GtkGrid>(grid);
  const PixbufPtr scaled(gdk_pixbuf_scale_simple(icon, 32, 32, GDK_INTERP_BILINEAR));
  GtkWidget* image = gtk_image_new_from_pixbuf(scaled.get());
  gtk_widget_set_margin_start(image, 6);
  gtk_grid_attach(cells, image, 0, 0, 1, 2);
  controls_["ProgramIcon"] = image;
  labels_["lblYourVer"] = PlaceLabel(cells, 1, 0, 1, "Your version:");
  labels_["lblWebVer"] = PlaceLabel(cells, 1, 1, 1, "Version at the web:");
  for (const auto& [name, top] : {std::pair<const char*, int>{"lbl_YourVersion", 0},
                                  std::pair<const char*, int>{"lbl_WebVersion", 1}}) {
    GtkWidget* label = PlaceLabel(cells, 2, top, 1, " ");
    gtk_widget_set_hexpand(label, TRUE);
    labels_[name] = label;
  }
  GtkWidget* bevel = gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_widget_set_margin_top(bevel, 4);
  gtk_grid_attach(cells, bevel, 0, 2, 3, 1);
  // The file line sits between the bevel line and the progress bar, inside
  // the group box (its stored place lies below the box, under the button). A
  // very long name is shortened in the middle rather than widening the window
  // beyond the screen.
  GtkWidget* file = PlaceLabel(cells, 0, 3, 3, "");
  gtk_label_set_ellipsize(As<GtkLabel>(file), PANGO_ELLIPSIZE_MIDDLE);
  gtk_label_set_max_width_chars(As<GtkLabel>(file), 72);
  labels_["lbl_File"] = file;
  progress_ = gtk_progress_bar_new();
  gtk_widget_set_size_request(progress_, 321, 16);
  gtk_grid_attach(cells, progress_, 0, 4, 3, 1);
  button_ = gtk_button_new_with_mnemonic("_Cancel");
  gtk_widget_set_size_request(button_, 75, 25);
  gtk_widget_set_halign(button_, GTK_ALIGN_CENTER);
  gtk_box_pack_start(box, button_, FALSE, FALSE, 0);
  controls_["btn_Update"] = button_;
  controls_["grpUpdate"] = gtk_frame_get_label_widget(As<GtkFrame>(group_));
  texts_["btn_Update"] = "&Cancel";
  g_signal_connect(button_, "clicked", Callback(&GtkView::OnCancelClicked), this);
  g_signal_connect(window_.get(), "key-press-event", Callback(&GtkView::OnKeyPress), this);
  g_signal_connect(window_.get(), "map-event", Callback(&FocusOnMap), nullptr);
}

}  // namespace

std::unique_ptr<UserInterface> CreateGtkInterface() {
  if (!StartGtk()) {
    return nullptr;
  }
  return std::make_unique<GtkInterface>();
}

}  // namespace lumivora::platform
