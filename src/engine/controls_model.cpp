// SPDX-License-Identifier: Apache-2.0
#include "engine/controls_model.h"

#include <algorithm>

namespace quorvel {

ControlsModel::ControlsModel(Frontend& frontend) : frontend_(frontend) {
  EraseAnimation.setInterval(15);
  EraseAnimation.setSingleShot(false);
}

TButton& ControlsModel::Button(ButtonId id) {
  switch (id) {
    case ButtonId::Connect:
      return ButtonConnect;
    case ButtonId::OpenHex:
      return ButtonOpenHex;
    case ButtonId::StartBootloader:
      break;
  }
  return ButtonStartBootloader;
}

void ControlsModel::SetCaption(ButtonId id, const QString& caption) {
  Button(id).Caption = caption;
  UI().ButtonChanged(id);
}

void ControlsModel::SetEnabled(ButtonId id, bool enabled) {
  Button(id).Enabled = enabled;
  UI().ButtonChanged(id);
}

void ControlsModel::AppendHistory(const QString& line) {
  History << line;
  UI().HistoryAppended(line);
}

void ControlsModel::AppendError(const QString& line) {
  History << line;
  UI().ErrorAppended(line);
}

void ControlsModel::ClearTerminal() { UI().TerminalCleared(); }

void ControlsModel::SetProgressMax(int max) {
  Progress.Max = std::max(max, Progress.Min);
  Progress.Position = std::clamp(Progress.Position, Progress.Min, Progress.Max);
  UI().ProgressChanged();
}

void ControlsModel::SetProgressPosition(int position) {
  Progress.Position = std::clamp(position, Progress.Min, Progress.Max);
  UI().ProgressChanged();
}

void ControlsModel::Timer1Timer() {
  const int step = std::max(Progress.Max / 10, 1);
  SetProgressPosition(Progress.Position < Progress.Max ? Progress.Position + step : step);
}

}  // namespace quorvel
