// SPDX-License-Identifier: Apache-2.0
#pragma once
// For tests only: reaches the engine's parts, which front ends never do
// (scripts/check-architecture.sh keeps this header out of src/ but engine/).
#include <functional>

#include "engine/controls_model.h"
#include "engine/engine.h"
#include "engine/link/hid_boards.h"
#include "hid/hid_controller.h"
#include "engine/link/link.h"
#include "engine/upload/upload_run.h"

namespace quorvel {

class EngineProbe {
 public:
  explicit EngineProbe(Engine& engine) : engine_(engine) {}
  Link& LinkPart() { return *engine_.link_; }
  UploadRun& RunPart() { return *engine_.run_; }
  ControlsModel& ControlsPart() { return *engine_.controls_; }
  // HID devices the controller lists, bootloaders or not.
  int ListedDevices() { return engine_.boards_->HidCtl->Count(); }

  // The link's reception, as a wait sees it.
  TByteArray& TransferBuffer() { return engine_.link_->TransferBuffer; }
  bool& RxReady() { return engine_.link_->RxReady; }
  std::uint16_t& RxCount() { return engine_.link_->RxCount; }
  bool& WaitExpired() { return engine_.link_->WaitExpired; }
  bool& WaitsAbandoned() { return engine_.link_->WaitsAbandoned; }
  const QTimer& ResponseTimer() { return engine_.link_->ResponseTimer; }
  // The record as if the board had sent it, and how the engine shows it.
  TBootInfo& BootInfo() { return engine_.link_->BootInfo; }
  void ShowBootInfo() { engine_.ShowBootInfo(); }
  const QString& CommandLineHexFile() const { return engine_.CommandLineHexFile; }
  // A handler run as the engine runs its own: an exception escaping it is shown.
  void Guarded(const std::function<void()>& handler) { engine_.Guarded(handler); }

 private:
  Engine& engine_;
};

}  // namespace quorvel
