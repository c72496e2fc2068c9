// SPDX-License-Identifier: Apache-2.0
// Connect and disconnect: the Boot/Sync handshake, and the end of a
// connection with a restart.
#include <utility>

#include "engine/controls_model.h"
#include "engine/engine.h"
#include "engine/link/link.h"
#include "engine/texts.h"
#include "engine/upload/upload_run.h"
#include "protocol/frames.h"

namespace quorvel {

void Engine::Connect() {
  Guarded([&] {
    if (link_->IsConnected() || link_->State().Handshaking()) return;
    ConnectionClick();
  });
}

void Engine::Disconnect() {
  Guarded([&] {
    if (!link_->IsConnected() && !link_->State().Handshaking()) return;
    ConnectionClick();
  });
}

void Engine::ConnectionClick() {
  ActivityState& state = link_->State();
  // The button is disabled while an upload runs; a stray click must not
  // restart the device in the middle of writing its flash.
  if (state.UploadActive()) return;
  if (link_->IsConnected()) {
    EndConnection();
    return;
  }
  if (state.Handshaking()) {
    // A click on "Waiting... Disconnect" cancels the pending handshake rather
    // than starting a second one inside it.
    state.Set(Activity::HandshakeCancelling);
    return;
  }
  // An information exchange is in progress (a device is being opened): a
  // handshake now would overwrite its frame and answer. The click is acted
  // on when that exchange is over.
  if (link_->Busy()) {
    state.DeferClick(ButtonId::Connect);
    return;
  }
  Handshake();
}

void Engine::EndConnection() {
  link_->SetConnected(false);
  controls_->SetConnectOffer(ConnectOffer::Connect);
  controls_->ClearTerminal();
  controls_->AppendHistory(text::kDisconnected);
  controls_->AppendHistory(text::kReset);
  if (!run_->RestartBoard()) controls_->AppendError(text::kNotRestarted);
  link_->ReleaseBoardLock();
}

void Engine::Handshake() {
  Link& link = *link_;
  link.AnnounceBusyAgain();  // a click is answered, also when the line was logged before
  if (link.Active() == nullptr) link.OpenBootloaderDevice();
  if (!link.BoardInUseLabel().empty()) return;  // the line saying so is logged
  BoardConnection* const dev = link.WaitForDevice() ? link.Active() : nullptr;
  if (dev == nullptr) {
    controls_->AppendHistory(QString(text::kUnableToFind) + QLatin1String(text::kBootloaderProductName) +
                             QLatin1Char('.'));
    return;
  }
  if (!dev->ReadWrite()) {
    // Otherwise all the user sees is the time-out that follows.
    controls_->AppendHistory(QString::fromStdString(link.ListedLabel(dev)) + text::kNoReadWrite);
  } else if (const Link::LockOutcome locked = link.LockBoard(dev, true); locked != Link::LockOutcome::Locked) {
    // Gone while the lock was taken: nothing was sent to it.
    if (locked == Link::LockOutcome::Gone) {
      controls_->AppendHistory(QString(text::kUnableToFind) + QLatin1String(text::kBootloaderProductName) +
                               QLatin1Char('.'));
    }
    return;
  }

  const TBusySection busy(link);
  struct HandshakeScope {
    ActivityState& state;
    explicit HandshakeScope(ActivityState& s) : state(s) { state.Set(Activity::Handshake); }
    ~HandshakeScope() { state.Set(Activity::Idle); }
    HandshakeScope(const HandshakeScope&) = delete;
    HandshakeScope& operator=(const HandshakeScope&) = delete;
  } handshake(link.State());
  controls_->AppendHistory(text::kWaitingMcu);
  controls_->SetConnectOffer(ConnectOffer::StopWaiting);
  controls_->SetEnabled(ButtonId::StartBootloader, false);

  link.SendBoot();
  TWaitResult result = link.WaitResponse(Boot, 1000);
  if (result == WaitAcknowledged) {
    link.SendSync();
    result = link.WaitResponse(Sync, 1000);
  }
  if (result != WaitAcknowledged) {
    link.ReportWaitError(result);
    controls_->SetConnectOffer(ConnectOffer::Connect);
    controls_->AppendHistory(text::kDisconnected);
  } else {
    link.SetConnected(true);
    controls_->ClearTerminal();
    controls_->AppendHistory(text::kConnected);
    controls_->SetConnectOffer(ConnectOffer::Disconnect);
  }
  controls_->SetEnabled(ButtonId::StartBootloader, true);
  link.ReleaseBoardLock();
  if (link.IsConnected() && !PendingOpenFile.isEmpty()) OpenChosenHexFile(std::exchange(PendingOpenFile, QString()));
}

}  // namespace quorvel
