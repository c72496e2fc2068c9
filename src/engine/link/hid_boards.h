// SPDX-License-Identifier: Apache-2.0
#pragma once
// The boards as HID interfaces: the link's one transport today. HidBoards
// owns the HID device controller (HidCtl) and carries its handlers
// (HidCtlEnumerate, HidCtlDeviceChange, HidCtlRemoval), which it turns into
// the link's board events; each checked-out device object is a HidBoard.
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/link/board_connection.h"
#include "hid/hid_types.h"

namespace quorvel {

namespace hid {
class HidPlatform;
class THidDevice;
class THidDeviceController;
}  // namespace hid

class HidBoards final : public BoardSource {
 public:
  // Runs a handler; an exception escaping it is shown and the program goes on.
  using Guard = std::function<void(const std::function<void()>&)>;

  // The controller starts at once: its start-up scan reaches `events` when
  // the event loop next runs.
  HidBoards(hid::HidPlatform& platform, BoardEvents& events, Guard guard, QObject* context);
  ~HidBoards() override;
  HidBoards(const HidBoards&) = delete;
  HidBoards& operator=(const HidBoards&) = delete;

  std::vector<ListedBoard> List() override;
  std::unique_ptr<PendingBoardLock> StartLock(const BoardConnection& board) override;
  bool Attached(const BoardConnection& board) override;
  bool LockedElsewhere(const BoardConnection& board) override;
  std::string ReportedViolation(const BoardConnection& board) override;

  // The controller's handlers.
  bool HidCtlEnumerate(hid::THidDevice* dev, std::int32_t idx);
  void HidCtlDeviceChange(hid::THidDeviceController* sender);
  void HidCtlRemoval(hid::THidDevice* dev);

 private:
  friend class HidBoard;
  friend class EngineProbe;
  hid::THidDataEvent DataHandler() const;
  BoardConnection* Held(hid::THidDevice* dev) const;

  hid::HidPlatform& platform_;
  BoardEvents& events_;
  Guard guard_;
  std::unique_ptr<hid::THidDeviceController> HidCtl;
  std::unordered_map<const hid::THidDevice*, BoardConnection*> held_;  // checked-out objects
  std::vector<ListedBoard>* listing_ = nullptr;                        // while List runs
};

}  // namespace quorvel
