#include "launcher/splash.h"

#include "launcher/string_table.h"

namespace lumivora::launcher {

TfrmSplash::TfrmSplash(platform::UserInterface& ui) : view_(ui.CreateSplash()) {
  FormCreate();
  // Shown right after creation so that the user sees the launch happening.
  view_->Show();
}

void TfrmSplash::FormCreate() {
  // The icon is the executable's own; the backend draws it.
  caption_ = strings::Caption();
  prompt_ = strings::kPleaseWait;
  status_ = strings::kStatusInitial;
  view_->SetText(platform::SplashControl::kCaption, caption_);
  view_->SetText(platform::SplashControl::kPrompt, prompt_);
  view_->SetText(platform::SplashControl::kStatus, status_);
}

void TfrmSplash::SetProgressMax(int64_t maximum) {
  progressMax_ = maximum;
  view_->SetProgressMax(maximum);
}

void TfrmSplash::SetProgressPosition(int64_t position) {
  progressPosition_ = position;
  view_->SetProgressPosition(position);
}

void TfrmSplash::SetStatus(const std::string& text) {
  status_ = text;
  view_->SetText(platform::SplashControl::kStatus, text);
}

}  // namespace lumivora::launcher
