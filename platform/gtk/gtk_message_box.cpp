// Message boxes of the GTK desktop interface: a dialog of its own with the
// theme's icon left of the text and one button per answer, run modally; its
// texts are published for automation tools as the other windows' are.
#include <gtk/gtk.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/gtk/gtk_widgets.h"

namespace lumivora::platform::gtk {
namespace {

const char* AnswerName(MessageAnswer answer) {
  switch (answer) {
    case MessageAnswer::kOk:
      return "OK";
    case MessageAnswer::kCancel:
      return "Cancel";
    case MessageAnswer::kYes:
      return "Yes";
    case MessageAnswer::kNo:
      return "No";
  }
  return "";
}

GtkResponseType ResponseOf(MessageAnswer answer) {
  switch (answer) {
    case MessageAnswer::kOk:
      return GTK_RESPONSE_OK;
    case MessageAnswer::kCancel:
      return GTK_RESPONSE_CANCEL;
    case MessageAnswer::kYes:
      return GTK_RESPONSE_YES;
    case MessageAnswer::kNo:
      return GTK_RESPONSE_NO;
  }
  return GTK_RESPONSE_NONE;
}

// The answers of BUTTONS, in their order in the box.
std::vector<MessageAnswer> AnswersOf(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::kOk:
      return {MessageAnswer::kOk};
    case MessageButtons::kOkCancel:
      return {MessageAnswer::kOk, MessageAnswer::kCancel};
    case MessageButtons::kYesNo:
      return {MessageAnswer::kYes, MessageAnswer::kNo};
    case MessageButtons::kYesNoCancel:
      return {MessageAnswer::kYes, MessageAnswer::kNo, MessageAnswer::kCancel};
  }
  return {};
}

// The box's content: the icon (when there is one) left of the wrapped text.
GtkWidget* NewMessageRow(MessageIcon icon, const char* iconName, const std::string& text) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_container_set_border_width(As<GtkContainer>(row), 12);
  if (icon != MessageIcon::kNone) {
    const std::string themeIcon = std::string("dialog-") + iconName;
    GtkWidget* image = gtk_image_new_from_icon_name(themeIcon.c_str(), GTK_ICON_SIZE_DIALOG);
    gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk_box_pack_start(As<GtkBox>(row), image, FALSE, FALSE, 0);
  }
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_xalign(As<GtkLabel>(label), 0.0F);
  gtk_label_set_line_wrap(As<GtkLabel>(label), TRUE);
  gtk_label_set_max_width_chars(As<GtkLabel>(label), 80);
  gtk_box_pack_start(As<GtkBox>(row), label, TRUE, TRUE, 0);
  return row;
}

// A modal, fixed-size window in the middle of the screen, above every other
// one when the box is system-modal; a Yes/No box has no close button.
void SetUpMessageWindow(GtkWidget* dialog, const MessageBoxRequest& request,
                        const std::string& caption) {
  gtk_window_set_modal(As<GtkWindow>(dialog), TRUE);
  gtk_window_set_resizable(As<GtkWindow>(dialog), FALSE);
  ApplyWindowStyle(dialog);
  GtkWindow* window = As<GtkWindow>(dialog);
  gtk_window_set_title(window, caption.c_str());
  gtk_window_set_role(window, "MessageBox");
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_deletable(window, request.buttons != MessageButtons::kYesNo);
  if (request.systemModal) {
    gtk_window_set_keep_above(window, TRUE);
  }
}

// One button per answer, the default one focused; the answers' names
// ("Yes,No") as the box publishes them.
std::string AddAnswerButtons(GtkDialog* dialog, const std::vector<MessageAnswer>& buttons,
                             MessageAnswer byDefault) {
  std::string buttonList;
  for (const MessageAnswer answer : buttons) {
    const std::string buttonLabel = std::string("_") + AnswerName(answer);
    gtk_dialog_add_button(dialog, buttonLabel.c_str(), ResponseOf(answer));
    buttonList.append(buttonList.empty() ? "" : ",").append(AnswerName(answer));
  }
  gtk_dialog_set_default_response(dialog, ResponseOf(byDefault));
  if (GtkWidget* defaultWidget =
          gtk_dialog_get_widget_for_response(dialog, ResponseOf(byDefault))) {
    gtk_widget_grab_focus(defaultWidget);
  }
  return buttonList;
}

}  // namespace

MessageAnswer RunMessageBox(const MessageBoxRequest& request) {
  const std::vector<MessageAnswer> buttons = AnswersOf(request.buttons);
  const MessageAnswer escape = EscapeAnswer(request.buttons);
  const MessageAnswer byDefault =
      std::find(buttons.begin(), buttons.end(), request.defaultButton) != buttons.end()
          ? request.defaultButton
          : buttons.front();

  const char* iconName = IconName(request.icon);
  const std::string caption = DisplayText(request.caption);
  const std::string text = DisplayText(request.text);
  // A box of its own rather than GtkMessageDialog, which no longer shows the
  // icon that tells an error from a question.
  WindowPtr dialog(gtk_dialog_new());
  GtkWidget* row = NewMessageRow(request.icon, iconName, text);
  gtk_box_pack_start(As<GtkBox>(gtk_dialog_get_content_area(As<GtkDialog>(dialog.get()))), row,
                     TRUE, TRUE, 0);
  SetUpMessageWindow(dialog.get(), request, caption);
  const std::string buttonList = AddAnswerButtons(As<GtkDialog>(dialog.get()), buttons, byDefault);
  g_signal_connect(dialog.get(), "map-event", Callback(&FocusOnMap), nullptr);
  gtk_widget_show_all(row);
  gtk_widget_realize(dialog.get());
  PublishTexts(dialog.get(), {{"caption", caption},
                              {"text", text},
                              {"icon", iconName},
                              {"buttons", buttonList},
                              {"default", AnswerName(byDefault)}});
  const gint response = gtk_dialog_run(As<GtkDialog>(dialog.get()));
  dialog.reset();
  for (const MessageAnswer answer : buttons) {
    if (response == ResponseOf(answer)) {
      return answer;
    }
  }
  return escape;
}

}  // namespace lumivora::platform::gtk
