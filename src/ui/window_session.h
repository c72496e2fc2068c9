// SPDX-License-Identifier: Apache-2.0
#pragma once
// Owns the window and the engine in the order their lifetimes need: the
// window (the engine's front end) is created first and destroyed last; the
// boards are given back and the settings written before the engine goes.
#include <QStringList>
#include <memory>

#include "engine/engine.h"
#include "ui/main_window.h"

namespace quorvel::hid {
class HidPlatform;
}

namespace quorvel::ui {

class WindowSession {
 public:
  WindowSession(hid::HidPlatform& platform, const QString& settingsFile, DialogProvider* dialogs = nullptr);
  ~WindowSession();
  WindowSession(const WindowSession&) = delete;
  WindowSession& operator=(const WindowSession&) = delete;

  // FormCreate with the command-line arguments (program name excluded).
  void Start(const QStringList& args);

  MainWindow& Window() { return *window_; }
  quorvel::Engine& Engine() { return *engine_; }

 private:
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<quorvel::Engine> engine_;
};

}  // namespace quorvel::ui
