#pragma once
// THidDeviceController: lists HID interfaces, notices changes, hands out device objects.
//
// PUBLIC CONTRACT used by the engine (a QObject living on the UI thread):
//   explicit THidDeviceController(HidPlatform& platform, QObject* parent = nullptr);
//     posts itself one device-change with LastNotifyParam -1, handled when the
//     event loop next runs (the start-up scan).
//   void SetOnArrival(THidPlugEvent); SetOnDeviceChange(TNotifyEvent);
//   void SetOnEnumerate(THidEnumerateEvent); SetOnDeviceData(THidDataEvent);
//   void SetOnDeviceDataError(THidDataErrorEvent); SetOnDeviceUnplug(THidPlugEvent);
//   void SetOnRemoval(THidPlugEvent); void SetDevThreadSleepTime(std::int32_t);
//   std::int32_t Enumerate();
//   bool CheckOutByIndex(THidDevice*& dev, std::int32_t idx);
//   std::int32_t Count() const;   bool InDeviceChange() const;
//   void DeviceChange();          (rescan now; tests and the platform's notifier call it)
#include "hid/hid_types.h"
