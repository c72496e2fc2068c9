// SPDX-License-Identifier: Apache-2.0
#include "ui/window_session.h"

namespace quorvel::ui {

WindowSession::WindowSession(hid::HidPlatform& platform, const QString& settingsFile, DialogProvider* dialogs)
    : window_(std::make_unique<MainWindow>(settingsFile, dialogs)),
      engine_(std::make_unique<quorvel::Engine>(platform, *window_)) {
  window_->Attach(engine_.get());
}

WindowSession::~WindowSession() {
  window_->FormDestroy();
  engine_.reset();
  window_.reset();
}

void WindowSession::Start(const QStringList& args) { window_->FormCreate(args); }

}  // namespace quorvel::ui
