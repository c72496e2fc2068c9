// SPDX-License-Identifier: Apache-2.0
#pragma once
// The controls' model: what the window shows (captions, enabled states, the
// family and device lists, the progress bar, the history). The engine changes
// it; each change is announced to the front end, which draws it. It knows
// nothing of devices or runs.
#include <QString>
#include <QStringList>
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

  void SetCaption(ButtonId id, const QString& caption);
  void SetEnabled(ButtonId id, bool enabled);
  TButton& Button(ButtonId id);
  void AppendHistory(const QString& line);
  // A history line that says why an action failed (front ends may show only these).
  void AppendError(const QString& line);
  void ClearTerminal();
  void SetProgressMax(int max);
  void SetProgressPosition(int position);
  // A tick of EraseAnimation: the bar moves on while an erase runs.
  void Timer1Timer();

  Frontend& UI() { return frontend_; }

  TButton ButtonConnect{text::kConnect};
  TButton ButtonOpenHex{text::kBrowseForHex};
  TButton ButtonStartBootloader{text::kBeginUploading};
  TProgressBar Progress;
  TComboBox MCUComboBox;
  TComboBox DeviceComboBox;
  int LinkIndicator = 0;       // 0 grey (no bootloader), 1 red (its record shown)
  bool CheckBoxClose = false;  // "Close when finished"
  QString FileDialogName;
  QString FileDialogInitialDir;
  QStringList History;     // every line appended, in order
  QTimer EraseAnimation;  // moves the bar while an erase runs

 protected:
  ~ControlsModel() = default;

 private:
  Frontend& frontend_;
};

}  // namespace quorvel
