// SPDX-License-Identifier: Apache-2.0
#include "engine/link/hid_boards.h"

#include <QString>
#include <cstdio>

#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "io/display_text.h"
#include "protocol/bootloader_id.h"

namespace quorvel {

// A checked-out device object. Destroying it gives the object back to the
// controller, which lists a fresh one for the same interface.
class HidBoard final : public BoardConnection {
 public:
  HidBoard(HidBoards& boards, hid::THidDevice* dev) : boards_(boards), dev_(dev) { boards_.held_[dev] = this; }
  ~HidBoard() override {
    boards_.held_.erase(dev_.get());
    dev_.reset();
  }
  HidBoard(const HidBoard&) = delete;
  HidBoard& operator=(const HidBoard&) = delete;

  std::uint64_t Instance() const override { return dev_->PnPInfo().DeviceInstance; }
  const std::string& Path() const override { return dev_->PnPInfo().InterfacePath; }
  std::u16string Product() override { return dev_->ProductString(); }
  std::u16string Serial() override { return dev_->SerialString(); }
  std::uint16_t VendorId() const override { return dev_->Attributes().VendorID; }
  std::uint16_t ProductId() const override { return dev_->Attributes().ProductID; }
  bool ReadWrite() const override { return dev_->ReadWriteAccess(); }
  std::uint16_t InputReportBytes() override { return Caps().InputReportByteLength; }
  std::uint16_t OutputReportBytes() override { return Caps().OutputReportByteLength; }

  std::uint64_t Send(const std::uint8_t* report, std::uint32_t bytes) override {
    return dev_->QueueReport(report, bytes);
  }
  SendState Outcome(std::uint64_t ticket) const override {
    switch (dev_->WriteOutcome(ticket)) {
      case hid::THidDevice::WriteState::kPending:
        return SendState::Pending;
      case hid::THidDevice::WriteState::kWritten:
        return SendState::Sent;
      case hid::THidDevice::WriteState::kFailed:
        break;
    }
    return SendState::Failed;
  }
  // The handler is the boards' one data handler: a device object given back
  // carries it into the fresh object, whose reports then reach the link as
  // those of an interface it does not hold.
  void Listen(bool on) override {
    if (!on) {
      dev_->SetDataHandler({});
    } else if (!Listening()) {
      dev_->SetDataHandler(boards_.DataHandler());
    }
  }
  bool Listening() const override { return dev_->DataHandler() == boards_.DataHandler(); }

  const hid::THidPnPInfo& Info() const { return dev_->PnPInfo(); }

 private:
  hid::THidCaps Caps() {
    hid::THidCaps caps;
    dev_->ReportCaps(caps);
    return caps;
  }

  HidBoards& boards_;
  std::unique_ptr<hid::THidDevice> dev_;
};

std::string DeviceName(const std::u16string& product, const std::u16string& serial, std::uint16_t vendorId,
                       std::uint16_t productId) {
  // A device chooses its strings: nothing in them may steer a terminal or a label.
  std::string label;
  if (!product.empty()) {
    label = io::PrintableText(QString::fromStdU16String(product).toStdString());
  } else {
    char text[40];
    std::snprintf(text, sizeof text, "Device VID=%.4X PID=%.4X", static_cast<unsigned>(vendorId),
                  static_cast<unsigned>(productId));
    label = text;
  }
  if (!serial.empty()) label += " (Serial=" + io::PrintableText(QString::fromStdU16String(serial).toStdString()) + ")";
  return label;
}

HidBoards::HidBoards(hid::HidPlatform& platform, BoardEvents& events, Guard guard, QObject* context)
    : platform_(platform), events_(events), guard_(std::move(guard)) {
  HidCtl = std::make_unique<hid::THidDeviceController>(platform_, context);
  const auto token = reinterpret_cast<std::uintptr_t>(this);
  HidCtl->SetOnEnumerate({[this](hid::THidDevice* dev, std::int32_t idx) {
                            bool goOn = true;
                            guard_([&] { goOn = HidCtlEnumerate(dev, idx); });
                            return goOn;
                          },
                          token});
  HidCtl->SetOnDeviceChange(
      {[this](hid::THidDeviceController* sender) { guard_([&] { HidCtlDeviceChange(sender); }); }, token});
  HidCtl->SetOnRemoval({[this](hid::THidDevice* dev) { guard_([&] { HidCtlRemoval(dev); }); }, token});
}

HidBoards::~HidBoards() { HidCtl.reset(); }

hid::THidDataEvent HidBoards::DataHandler() const {
  return {[this](hid::THidDevice* from, std::uint8_t /*reportId*/, const std::uint8_t* data, std::uint16_t size) {
            events_.ReportReceived(Held(from), data, size);
          },
          reinterpret_cast<std::uintptr_t>(this) + 1};
}

BoardConnection* HidBoards::Held(hid::THidDevice* dev) const {
  const auto it = held_.find(dev);
  return it != held_.end() ? it->second : nullptr;
}

std::vector<ListedBoard> HidBoards::List() {
  std::vector<ListedBoard> listed;
  listing_ = &listed;
  HidCtl->Enumerate();
  listing_ = nullptr;
  return listed;
}

bool HidBoards::HidCtlEnumerate(hid::THidDevice* dev, std::int32_t idx) {
  if (listing_ == nullptr) return false;
  listing_->push_back({DeviceName(dev->ProductString(), dev->SerialString(), dev->Attributes().VendorID,
                                  dev->Attributes().ProductID),
                       nullptr});
  hid::THidDevice* checkedOut = nullptr;
  if (HidCtl->CheckOutByIndex(checkedOut, idx)) listing_->back().connection = std::make_unique<HidBoard>(*this, checkedOut);
  return true;
}

void HidBoards::HidCtlDeviceChange(hid::THidDeviceController* /*sender*/) { events_.BoardsChanged(); }

void HidBoards::HidCtlRemoval(hid::THidDevice* dev) {
  events_.BoardRemoved(Held(dev), dev->PnPInfo().DeviceInstance, IsBootloaderProduct(dev->ProductString()));
}

namespace {
class HidBoardLock final : public BoardLock {
 public:
  HidBoardLock(hid::HidPlatform& platform, std::unique_ptr<hid::HidLock> lock)
      : platform_(platform), lock_(std::move(lock)) {}
  ~HidBoardLock() override { platform_.ReleaseAsync(std::move(lock_)); }
  HidBoardLock(const HidBoardLock&) = delete;
  HidBoardLock& operator=(const HidBoardLock&) = delete;

 private:
  hid::HidPlatform& platform_;
  std::unique_ptr<hid::HidLock> lock_;
};

class HidPendingLock final : public PendingBoardLock {
 public:
  HidPendingLock(hid::HidPlatform& platform, std::unique_ptr<hid::PendingHidLock> pending)
      : platform_(platform), pending_(std::move(pending)) {}
  bool Done() const override { return pending_->Done(); }
  std::unique_ptr<BoardLock> Take(std::uint32_t& error) override {
    std::unique_ptr<hid::HidLock> lock = pending_->Take(error);
    if (!lock) return nullptr;
    return std::make_unique<HidBoardLock>(platform_, std::move(lock));
  }

 private:
  hid::HidPlatform& platform_;
  std::unique_ptr<hid::PendingHidLock> pending_;
};
}  // namespace

std::unique_ptr<PendingBoardLock> HidBoards::StartLock(const BoardConnection& board) {
  return std::make_unique<HidPendingLock>(platform_,
                                          platform_.LockAsync(static_cast<const HidBoard&>(board).Info()));
}

bool HidBoards::Attached(const BoardConnection& board) {
  const hid::THidPnPInfo& info = static_cast<const HidBoard&>(board).Info();
  for (const hid::THidPnPInfo& found : platform_.ScanPath(info.InterfacePath)) {
    if (found.DeviceInstance == info.DeviceInstance) return true;
  }
  return false;
}

bool HidBoards::LockedElsewhere(const BoardConnection& board) {
  return platform_.LockedElsewhere(static_cast<const HidBoard&>(board).Info());
}

std::string HidBoards::ReportedViolation(const BoardConnection& board) {
  return platform_.ReportedViolation(static_cast<const HidBoard&>(board).Info());
}

}  // namespace quorvel
