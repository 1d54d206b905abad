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

#include <memory>
#include <set>
#include <string>

#include "platform/gtk/gtk_form.h"
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

using namespace gtk;  // the pieces in gtk_widgets.h and gtk_form.h

TextPlace PlaceOf(SplashControl control) {
  switch (control) {
    case SplashControl::kCaption:
      return TextPlace::kTitle;
    case SplashControl::kPrompt:
    case SplashControl::kStatus:
      return TextPlace::kLabel;
  }
  return TextPlace::kLabel;
}

TextPlace PlaceOf(UpdaterControl control) {
  switch (control) {
    case UpdaterControl::kCaption:
      return TextPlace::kTitle;
    case UpdaterControl::kGroup:
      return TextPlace::kGroup;
    case UpdaterControl::kCancelButton:
      return TextPlace::kButton;
    case UpdaterControl::kYourVersionLabel:
    case UpdaterControl::kYourVersion:
    case UpdaterControl::kWebVersionLabel:
    case UpdaterControl::kWebVersion:
    case UpdaterControl::kFile:
      return TextPlace::kLabel;
  }
  return TextPlace::kLabel;
}

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

  std::unique_ptr<SplashView> CreateSplash() override;
  std::unique_ptr<UpdaterView> CreateUpdater() override;

  void SetCursor(CursorKind cursor) override {
    cursor_ = cursor;
    for (GtkForm* form : forms_) {
      form->SetCursor(CurrentCursor());
    }
    gdk_display_flush(gdk_display_get_default());
  }

  void ProcessMessages() override {
    Pump();
    for (GtkForm* form : std::set<GtkForm*>(forms_)) {
      // A handler may free another view: fire only for views still alive.
      if (forms_.count(form) != 0 && form->TakeCancelRequest()) {
        form->Cancel();
      }
    }
  }

  void Register(GtkForm* form) {
    forms_.insert(form);
    form->SetCursor(CurrentCursor());
  }
  void Unregister(GtkForm* form) { forms_.erase(form); }
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
  std::set<GtkForm*> forms_;
};

// A window of the interface; CONTROL is its window's enumeration of controls.
template <typename Control>
class GtkView final : public WindowView<Control> {
 public:
  GtkView(GtkInterface& owner, GtkForm::Kind kind)
      : owner_(owner), form_(*this, kind, owner.Icon()) {
    owner_.Register(&form_);
  }
  ~GtkView() override { owner_.Unregister(&form_); }
  GtkView(const GtkView&) = delete;
  GtkView& operator=(const GtkView&) = delete;

  void SetText(Control control, const std::string& text) override {
    form_.SetText(PlaceOf(control), ControlName(control), text);
  }
  void SetProgressMax(int64_t maximum) override { form_.SetProgressMax(maximum); }
  void SetProgressPosition(int64_t position) override { form_.SetProgressPosition(position); }
  void Show() override { form_.Show(); }
  void BringToFront() override { form_.BringToFront(); }

 private:
  GtkInterface& owner_;
  GtkForm form_;
};

std::unique_ptr<SplashView> GtkInterface::CreateSplash() {
  return std::make_unique<GtkView<SplashControl>>(*this, GtkForm::Kind::kSplash);
}

std::unique_ptr<UpdaterView> GtkInterface::CreateUpdater() {
  return std::make_unique<GtkView<UpdaterControl>>(*this, GtkForm::Kind::kUpdater);
}

}  // namespace

std::unique_ptr<UserInterface> CreateGtkInterface() {
  if (!StartGtk()) {
    return nullptr;
  }
  return std::make_unique<GtkInterface>();
}

}  // namespace lumivora::platform
