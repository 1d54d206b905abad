// The splash window: the program's icon, a prompt to wait, a bold status line
// and a three-step progress bar. It has no buttons and takes no input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ui.h"

namespace lumivora::launcher {

class TfrmSplash {
 public:
  // Creates the window (runs FormCreate) and shows it.
  explicit TfrmSplash(platform::UserInterface& ui);

  void FormCreate();
  void SetProgressMax(int64_t maximum);
  void SetProgressPosition(int64_t position);
  void SetStatus(const std::string& text);

  [[nodiscard]] const std::string& Caption() const { return caption_; }
  [[nodiscard]] const std::string& Prompt() const { return prompt_; }
  [[nodiscard]] const std::string& Status() const { return status_; }
  [[nodiscard]] int64_t ProgressMax() const { return progressMax_; }
  [[nodiscard]] int64_t ProgressPosition() const { return progressPosition_; }

 private:
  std::unique_ptr<platform::SplashView> view_;
  std::string caption_;
  std::string prompt_;
  std::string status_;
  int64_t progressMax_ = 100;
  int64_t progressPosition_ = 0;
};

}  // namespace lumivora::launcher
