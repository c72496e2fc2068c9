// SPDX-License-Identifier: Apache-2.0
#include "ui/window_session.h"

namespace quorvel::ui {

WindowSession::WindowSession(hid::HidPlatform& platform, const QString& settingsFile, DialogProvider* dialogs)
    : window_(std::make_unique<MainWindow>(settingsFile, dialogs)),
      pelmo_(std::make_unique<TPelmo>(platform, *window_)) {
  window_->Attach(pelmo_.get());
}

WindowSession::~WindowSession() {
  window_->Destroy();
  pelmo_.reset();
  window_.reset();
}

void WindowSession::Start(const QStringList& args) { window_->Create(args); }

}  // namespace quorvel::ui
