// SPDX-License-Identifier: Apache-2.0
// The Connect button: Boot/Sync handshake, and disconnect with a restart.
#include <utility>

#include "engine/pelmo.h"
#include "hid/hid_device.h"
#include "protocol/frames.h"

namespace quorvel {

void TPelmo::ButtonConnectClick() {
  // The button is disabled while an upload runs; a stray click must not
  // restart the device in the middle of writing its flash.
  if (State().UploadActive()) return;

  if (Connected) {
    Connected = false;
    SetCaption(ButtonId::Connect, text::kConnect);
    ClearTerminal();
    AppendHistory(text::kDisconnected);
    AppendHistory(text::kReset);
    if (!RestartBoard()) AppendError(text::kNotRestarted);
    ReleaseBoardLock();
    return;
  }

  if (State().Handshaking()) {
    // A click on "Waiting... Disconnect" cancels the pending handshake rather
    // than starting a second one inside it.
    State().Set(Activity::HandshakeCancelling);
    return;
  }
  // An information exchange is in progress (a device is being opened): a
  // handshake now would overwrite its frame and answer. The click is acted
  // on when that exchange is over.
  if (Busy()) {
    State().DeferClick(ButtonId::Connect);
    return;
  }

  busyAnnounced_ = 0;  // a click is answered, also when the line was logged before
  if (ActiveDevice == nullptr) OpenBootloaderDevice(text::kBootloaderProductName);
  if (!BoardInUse.empty()) return;  // the line saying so is logged
  if (!WaitForDevice()) {
    AppendHistory(QString(text::kUnableToFind) + QLatin1String(text::kBootloaderProductName) + QLatin1Char('.'));
    return;
  }
  if (!ActiveDevice->ReadWriteAccess()) {
    // Otherwise all the user sees is the time-out that follows.
    AppendHistory(QString::fromStdString(ListedLabel(ActiveDevice)) + text::kNoReadWrite);
  } else if (!LockBoard(ActiveDevice, true)) {
    return;
  }

  const TBusySection busy(*this);
  struct HandshakeScope {
    ActivityState& state;
    explicit HandshakeScope(ActivityState& s) : state(s) { state.Set(Activity::Handshake); }
    ~HandshakeScope() { state.Set(Activity::Idle); }
    HandshakeScope(const HandshakeScope&) = delete;
    HandshakeScope& operator=(const HandshakeScope&) = delete;
  } handshake(State());
  AppendHistory(text::kWaitingMcu);
  SetCaption(ButtonId::Connect, text::kWaitingDisconnect);
  SetEnabled(ButtonId::StartBootloader, false);

  SendBoot();
  TWaitResult result = WaitResponse(Boot, 1000);
  if (result == WaitAcknowledged) {
    SendSync();
    result = WaitResponse(Sync, 1000);
  }
  if (result != WaitAcknowledged) {
    ReportWaitError(result);
    SetCaption(ButtonId::Connect, text::kConnect);
    AppendHistory(text::kDisconnected);
  } else {
    Connected = true;
    ClearTerminal();
    AppendHistory(text::kConnected);
    SetCaption(ButtonId::Connect, text::kDisconnect);
  }
  SetEnabled(ButtonId::StartBootloader, true);
  ReleaseBoardLock();
  if (Connected && !PendingOpenFile.isEmpty()) OpenChosenHexFile(std::exchange(PendingOpenFile, QString()));
}

}  // namespace quorvel
