#include "platform/gtk/gtk_form.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace lumivora::platform::gtk {

GtkForm::GtkForm(View& view, Kind kind, GdkPixbuf* icon)
    : view_(view),
      progressName_(kind == Kind::kSplash ? "prgSteps" : "ProgressBar"),
      window_(kind == Kind::kSplash
                  ? CreateFixedWindow(ControlName(SplashControl::kCaption), 344, 131)
                  : CreateFixedWindow(ControlName(UpdaterControl::kCaption), 352, 158)) {
  if (kind == Kind::kSplash) {
    GtkWidget* grid = NewGrid(6, 16, 8);
    gtk_container_add(As<GtkContainer>(window_.get()), grid);
    BuildSplash(As<GtkGrid>(grid), icon);
  } else {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_set_border_width(As<GtkContainer>(box), 8);
    gtk_container_add(As<GtkContainer>(window_.get()), box);
    BuildUpdater(As<GtkBox>(box), icon);
  }
  controls_.insert(labels_.begin(), labels_.end());
  controls_[progressName_] = progress_;
  g_signal_connect_after(window_.get(), "draw", Callback(&GtkForm::OnDrawn), this);
  gtk_widget_realize(window_.get());
  // A title bar without buttons: the window manager may only move the window.
  gdk_window_set_decorations(gtk_widget_get_window(window_.get()),
                             static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_TITLE));
  gdk_window_set_functions(gtk_widget_get_window(window_.get()), GDK_FUNC_MOVE);
  Publish();
}

void GtkForm::SetText(TextPlace place, const char* control, const std::string& text) {
  const std::string shown = DisplayText(text);
  switch (place) {
    case TextPlace::kTitle:
      gtk_window_set_title(As<GtkWindow>(window_.get()), shown.c_str());
      break;
    case TextPlace::kGroup:
      gtk_label_set_text(As<GtkLabel>(gtk_frame_get_label_widget(As<GtkFrame>(group_))),
                         shown.c_str());
      break;
    case TextPlace::kButton:
      gtk_button_set_label(As<GtkButton>(button_), MnemonicText(text).c_str());
      break;
    case TextPlace::kLabel:
      gtk_label_set_text(As<GtkLabel>(labels_.at(control)), shown.c_str());
      break;
  }
  texts_[control] = shown;
  Publish();
  // The layout describes the window as drawn: none until it is drawn again.
  if (GdkWindow* gdkWindow = gtk_widget_get_window(window_.get())) {
    gdk_property_delete(gdkWindow, gdk_atom_intern_static_string("_LUMIVORA_LAYOUT"));
  }
}

void GtkForm::DrawProgress() {
  const double fraction = maximum_ > 0 ? std::clamp(position_ / maximum_, 0.0, 1.0) : 0.0;
  gtk_progress_bar_set_fraction(As<GtkProgressBar>(progress_), fraction);
  Publish();
}

void GtkForm::Publish() {
  std::vector<std::pair<std::string, std::string>> entries(texts_.begin(), texts_.end());
  entries.emplace_back(progressName_, std::to_string(std::llround(position_)) + "/" +
                                          std::to_string(std::llround(maximum_)));
  PublishTexts(window_.get(), entries);
}

// The icon in a raised bevel left of the prompt and the bold status line,
// the progress bar below them across the window.
void GtkForm::BuildSplash(GtkGrid* grid, GdkPixbuf* icon) {
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
  GtkWidget* prompt = PlaceLabel(grid, 1, 0, 1, "");
  gtk_widget_set_valign(prompt, GTK_ALIGN_END);
  gtk_widget_set_hexpand(prompt, TRUE);
  labels_[ControlName(SplashControl::kPrompt)] = prompt;
  GtkWidget* status = PlaceLabel(grid, 1, 1, 1, "...");
  gtk_widget_set_valign(status, GTK_ALIGN_START);
  PangoAttrList* bold = pango_attr_list_new();
  pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  gtk_label_set_attributes(As<GtkLabel>(status), bold);
  pango_attr_list_unref(bold);
  labels_[ControlName(SplashControl::kStatus)] = status;
  texts_[ControlName(SplashControl::kStatus)] = "...";
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
void GtkForm::BuildUpdater(GtkBox* box, GdkPixbuf* icon) {
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
  labels_[ControlName(UpdaterControl::kYourVersionLabel)] =
      PlaceLabel(cells, 1, 0, 1, "Your version:");
  labels_[ControlName(UpdaterControl::kWebVersionLabel)] =
      PlaceLabel(cells, 1, 1, 1, "Version at the web:");
  for (const auto& [control, top] :
       {std::pair{UpdaterControl::kYourVersion, 0}, std::pair{UpdaterControl::kWebVersion, 1}}) {
    GtkWidget* label = PlaceLabel(cells, 2, top, 1, " ");
    gtk_widget_set_hexpand(label, TRUE);
    labels_[ControlName(control)] = label;
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
  labels_[ControlName(UpdaterControl::kFile)] = file;
  progress_ = gtk_progress_bar_new();
  gtk_widget_set_size_request(progress_, 321, 16);
  gtk_grid_attach(cells, progress_, 0, 4, 3, 1);
  button_ = gtk_button_new_with_mnemonic("_Cancel");
  gtk_widget_set_size_request(button_, 75, 25);
  gtk_widget_set_halign(button_, GTK_ALIGN_CENTER);
  gtk_box_pack_start(box, button_, FALSE, FALSE, 0);
  controls_[ControlName(UpdaterControl::kCancelButton)] = button_;
  controls_[ControlName(UpdaterControl::kGroup)] = gtk_frame_get_label_widget(As<GtkFrame>(group_));
  texts_[ControlName(UpdaterControl::kCancelButton)] = "&Cancel";
  g_signal_connect(button_, "clicked", Callback(&GtkForm::OnCancelClicked), this);
  g_signal_connect(window_.get(), "key-press-event", Callback(&GtkForm::OnKeyPress), this);
  g_signal_connect(window_.get(), "map-event", Callback(&FocusOnMap), nullptr);
}

}  // namespace lumivora::platform::gtk
