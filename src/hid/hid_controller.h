// SPDX-License-Identifier: Apache-2.0
#pragma once
// THidDeviceController: lists HID interfaces, notices changes, hands out device objects.
//
// Lives on the UI thread. At construction it posts itself one device-change
// (LastNotifyParam -1), handled when the event loop next runs: the start-up
// scan, which reports every present interface and always ends with
// OnDeviceChange. Later platform notifications report only differences.
#include <QObject>
#include <cstdint>
#include <vector>

#include "hid/hid_device.h"
#include "hid/hid_types.h"

namespace quorvel::hid {

class HidPlatform;

class THidDeviceController : public QObject {
  Q_OBJECT

 public:
  explicit THidDeviceController(HidPlatform& platform, QObject* parent = nullptr);
  ~THidDeviceController() override;
  THidDeviceController(const THidDeviceController&) = delete;
  THidDeviceController& operator=(const THidDeviceController&) = delete;

  void SetOnArrival(THidPlugEvent handler) { onArrival_ = std::move(handler); }
  void SetOnDeviceChange(TNotifyEvent handler) { onDeviceChange_ = std::move(handler); }
  void SetOnEnumerate(THidEnumerateEvent handler) { onEnumerate_ = std::move(handler); }
  void SetOnRemoval(THidPlugEvent handler) { onRemoval_ = std::move(handler); }
  // These three update every listed object that still carries the previous value.
  void SetOnDeviceData(THidDataEvent handler);
  void SetOnDeviceDataError(THidDataErrorEvent handler);
  void SetOnDeviceUnplug(THidPlugEvent handler);

  // Hands each plugged-in object to OnEnumerate until it returns false; result:
  // the number handed over.
  std::int32_t Enumerate();
  bool CheckOutByIndex(THidDevice*& dev, std::int32_t idx);
  std::int32_t Count() const { return static_cast<std::int32_t>(devices_.size()); }
  // The listed object at idx (checked out or not), or nullptr.
  THidDevice* At(std::int32_t idx) const;
  bool InDeviceChange() const { return inDeviceChange_; }
  std::int32_t LastNotifyParam() const { return lastNotifyParam_; }
  bool Active() const { return active_; }

  // A device-change notification: runs DeviceChange unless one is already
  // running. A notification that comes while one runs is not nested: one
  // rescan follows from the event loop once the running one has returned.
  void NotifyDeviceChange(std::int32_t param = 0);
  // Rescans now and reports the differences.
  void DeviceChange();

  // --- used by THidDevice ---
  // Gives a deleted object back: a plugged-in interface gets a fresh object in
  // the same position with the kept handlers and read slice; an unplugged one
  // (or one that can no longer be opened) leaves the list.
  void GiveBack(THidDevice* dev, THidDataEvent dataHandler, THidPlugEvent unplugHandler, std::int32_t readSliceMs);

 private:
  std::vector<THidDevice*> ScanInterfaces();
  bool Listed(const THidDevice* dev) const;
  // Runs `call` with the object's InHandler set; false when the object was
  // destroyed meanwhile.
  template <typename Call>
  bool WithInHandler(THidDevice* dev, Call&& call);

  HidPlatform& platform_;
  bool active_ = false;
  THidPlugEvent onArrival_;
  TNotifyEvent onDeviceChange_;
  THidEnumerateEvent onEnumerate_;
  THidDataEvent onDeviceData_;
  THidDataErrorEvent onDeviceDataError_;
  THidPlugEvent onDeviceUnplug_;
  THidPlugEvent onRemoval_;
  std::vector<THidDevice*> devices_;
  bool inDeviceChange_ = false;
  bool changeMissed_ = false;  // a notification came while DeviceChange ran
  std::int32_t lastNotifyParam_ = 0;
  std::vector<THidDevice*> handlerTargets_;  // objects whose InHandler is set, innermost last
};

}  // namespace quorvel::hid
