// SPDX-License-Identifier: Apache-2.0
#include "engine/controls_model.h"

#include <algorithm>

namespace quorvel {

ControlsModel::ControlsModel(Frontend& frontend) : frontend_(frontend) {
  state_.ButtonConnect.Caption = text::kConnect;
  state_.ButtonOpenHex.Caption = text::kBrowseForHex;
  state_.ButtonStartBootloader.Caption = text::kBeginUploading;
  EraseAnimationTimer.setInterval(15);
  EraseAnimationTimer.setSingleShot(false);
}

TButton& ControlsModel::MutableButton(ButtonId id) {
  switch (id) {
    case ButtonId::Connect:
      return state_.ButtonConnect;
    case ButtonId::OpenHex:
      return state_.ButtonOpenHex;
    case ButtonId::StartBootloader:
      break;
  }
  return state_.ButtonStartBootloader;
}

void ControlsModel::SetCaption(ButtonId id, const QString& caption) {
  MutableButton(id).Caption = caption;
  UI().ButtonChanged(id);
}

void ControlsModel::SetConnectOffer(ConnectOffer offer) {
  state_.ConnectOffers = offer;
  switch (offer) {
    case ConnectOffer::Connect:
      SetCaption(ButtonId::Connect, text::kConnect);
      return;
    case ConnectOffer::StopWaiting:
      SetCaption(ButtonId::Connect, text::kWaitingDisconnect);
      return;
    case ConnectOffer::Disconnect:
      SetCaption(ButtonId::Connect, text::kDisconnect);
      return;
  }
}

void ControlsModel::SetEnabled(ButtonId id, bool enabled) {
  MutableButton(id).Enabled = enabled;
  UI().ButtonChanged(id);
}

void ControlsModel::AppendHistory(const QString& line) { UI().HistoryAppended(line); }

void ControlsModel::AppendError(const QString& line) { UI().ErrorAppended(line); }

void ControlsModel::ClearTerminal() { UI().TerminalCleared(); }

void ControlsModel::SetProgressMax(int max) {
  TProgressBar& bar = state_.Progress;
  bar.Max = std::max(max, bar.Min);
  bar.Position = std::clamp(bar.Position, bar.Min, bar.Max);
  UI().ProgressChanged();
}

void ControlsModel::SetProgressPosition(int position) {
  TProgressBar& bar = state_.Progress;
  bar.Position = std::clamp(position, bar.Min, bar.Max);
  UI().ProgressChanged();
}

void ControlsModel::StartEraseAnimation(int intervalMs) {
  EraseAnimationTimer.setInterval(intervalMs);
  EraseAnimationTimer.start();
}

void ControlsModel::StopEraseAnimation() { EraseAnimationTimer.stop(); }

void ControlsModel::Timer1Timer() {
  const TProgressBar& bar = state_.Progress;
  const int step = std::max(bar.Max / 10, 1);
  SetProgressPosition(bar.Position < bar.Max ? bar.Position + step : step);
}

void ControlsModel::ShowDevice(const QString& family, const QStringList& devices, int current) {
  TComboBox& mcu = state_.MCUComboBox;
  mcu.Items.clear();
  mcu.ItemIndex = -1;
  if (!family.isEmpty()) {
    mcu.Items << family;
    mcu.ItemIndex = 0;
  }
  state_.LinkIndicator = 1;
  ShowDeviceList(devices, current);
}

void ControlsModel::ShowDeviceList(const QStringList& devices, int current) {
  TComboBox& device = state_.DeviceComboBox;
  device.Items = devices;
  device.ItemIndex = current >= 0 && current < devices.size() ? current : -1;
  device.Enabled = devices.size() > 1;
  UI().DeviceInfoChanged();
}

void ControlsModel::ClearDevice() {
  state_.MCUComboBox.Items.clear();
  state_.MCUComboBox.ItemIndex = -1;
  state_.DeviceComboBox = {};
  state_.LinkIndicator = 0;
  UI().DeviceInfoChanged();
}

void ControlsModel::Apply(const ControlSettings& settings) {
  if (settings.CheckBoxClose) state_.CheckBoxClose = *settings.CheckBoxClose;
  if (settings.FileDialogInitialDir) state_.FileDialogInitialDir = *settings.FileDialogInitialDir;
  if (settings.FileDialogName) state_.FileDialogName = *settings.FileDialogName;
  if (settings.McuItemIndex) {
    // The list may still be empty; an index only sticks when it names an item.
    const int index = *settings.McuItemIndex;
    if (index == -1 || (index >= 0 && index < state_.MCUComboBox.Items.size())) {
      state_.MCUComboBox.ItemIndex = index;
      UI().DeviceInfoChanged();
    }
  }
}

const TButton& ControlsState::Button(ButtonId id) const {
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

}  // namespace quorvel
