// SPDX-License-Identifier: Apache-2.0
#pragma once
// The controls' model: what the window shows (captions, enabled states, the
// family and device lists, the progress bar), kept as ControlsState. The
// engine changes it; each change is announced to the front end, which draws
// it; history lines go straight to the front end. It knows nothing of
// devices or runs.
#include <QString>
#include <QTimer>

#include "engine/engine_types.h"
#include "engine/frontend.h"
#include "engine/texts.h"

namespace quorvel {

class ControlsModel {
 public:
  explicit ControlsModel(Frontend& frontend);
  ControlsModel(const ControlsModel&) = delete;
  ControlsModel& operator=(const ControlsModel&) = delete;

  const ControlsState& State() const { return state_; }

  void SetCaption(ButtonId id, const QString& caption);
  void SetConnectOffer(ConnectOffer offer);
  void SetEnabled(ButtonId id, bool enabled);
  const TButton& Button(ButtonId id) const { return state_.Button(id); }
  void AppendHistory(const QString& line);
  // A history line that says why an action failed (front ends may show only these).
  void AppendError(const QString& line);
  void ClearTerminal();
  const TProgressBar& Progress() const { return state_.Progress; }
  void SetProgressMax(int max);
  void SetProgressPosition(int position);
  // EraseAnimation (Timer1): the bar moves on every `intervalMs` while an erase runs.
  void StartEraseAnimation(int intervalMs);
  void StopEraseAnimation();
  // A tick of EraseAnimation.
  void Timer1Timer();
  QTimer& EraseAnimation() { return EraseAnimationTimer; }

  // The family and the device list shown, and the link indicator lit (an
  // empty family leaves its list empty). `devices` is the description alone,
  // or with several bootloaders one entry each, `current` the one in use.
  void ShowDevice(const QString& family, const QStringList& devices, int current);
  // Only the device list: several bootloaders, none of which has answered.
  void ShowDeviceList(const QStringList& devices, int current);
  // No bootloader: the lists emptied, the indicator grey.
  void ClearDevice();
  void Apply(const ControlSettings& settings);
  bool CloseWhenFinished() const { return state_.CheckBoxClose; }
  // The file name the file dialog shows, and its folder.
  const QString& FileDialogName() const { return state_.FileDialogName; }
  const QString& FileDialogInitialDir() const { return state_.FileDialogInitialDir; }
  void SetFileDialogName(const QString& name) { state_.FileDialogName = name; }

  Frontend& UI() { return frontend_; }

 private:
  TButton& MutableButton(ButtonId id);

  Frontend& frontend_;
  ControlsState state_;
  QTimer EraseAnimationTimer;  // moves the bar while an erase runs
};

}  // namespace quorvel
