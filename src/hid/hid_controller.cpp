// SPDX-License-Identifier: Apache-2.0
#include "hid/hid_controller.h"

#include <QMetaObject>
#include <algorithm>

#include "hid/hid_platform.h"

namespace quorvel::hid {

THidDeviceController::THidDeviceController(HidPlatform& platform, QObject* parent)
    : QObject(parent), platform_(platform), active_(platform.Available()) {
  if (!active_) return;  // no devices, no events
  platform_.SetChangeHandler([this] { NotifyDeviceChange(0); });
  // The start-up scan runs when the event loop next runs, like any notification.
  QMetaObject::invokeMethod(this, [this] { NotifyDeviceChange(-1); }, Qt::QueuedConnection);
}

THidDeviceController::~THidDeviceController() {
  onDeviceChange_ = {};
  SetOnDeviceUnplug({});
  onEnumerate_ = {};
  if (active_) platform_.SetChangeHandler({});
  std::vector<THidDevice*> devices;
  devices.swap(devices_);
  for (THidDevice* dev : devices) {
    dev->Detach();
    if (dev->CheckedOut()) {
      // Left to the application, but its reader must not outlive us reading a
      // device nobody tracks any more.
      dev->MarkUnplugged();
      dev->StopReader();
    } else {
      delete dev;
    }
  }
}

THidDevice* THidDeviceController::At(std::int32_t idx) const {
  if (idx < 0 || idx >= Count()) return nullptr;
  return devices_[static_cast<std::size_t>(idx)];
}

bool THidDeviceController::Listed(const THidDevice* dev) const {
  return std::find(devices_.begin(), devices_.end(), dev) != devices_.end();
}

template <typename Call>
bool THidDeviceController::WithInHandler(THidDevice* dev, Call&& call) {
  dev->SetInHandler(true);
  handlerTargets_.push_back(dev);
  const std::size_t slot = handlerTargets_.size() - 1;
  call();
  // GiveBack clears the slot when the handler destroyed the object.
  THidDevice* alive = handlerTargets_[slot];
  handlerTargets_.resize(slot);
  if (alive != nullptr) alive->SetInHandler(false);
  return alive != nullptr;
}

void THidDeviceController::SetOnDeviceData(THidDataEvent handler) {
  for (THidDevice* dev : std::vector<THidDevice*>(devices_)) {
    if (Listed(dev) && dev->DataHandler() == onDeviceData_) dev->SetDataHandler(handler);
  }
  onDeviceData_ = std::move(handler);
}

void THidDeviceController::SetOnDeviceDataError(THidDataErrorEvent handler) {
  for (THidDevice* dev : devices_) {
    if (dev->DataErrorHandler() == onDeviceDataError_) dev->SetDataErrorHandler(handler);
  }
  onDeviceDataError_ = std::move(handler);
}

void THidDeviceController::SetOnDeviceUnplug(THidPlugEvent handler) {
  for (THidDevice* dev : devices_) {
    if (dev->UnplugHandler() == onDeviceUnplug_) dev->SetUnplugHandler(handler);
  }
  onDeviceUnplug_ = std::move(handler);
}

std::int32_t THidDeviceController::Enumerate() {
  std::int32_t handed = 0;
  if (!onEnumerate_) return 0;
  for (std::int32_t idx = 0; idx < Count(); ++idx) {
    THidDevice* dev = devices_[static_cast<std::size_t>(idx)];
    if (!dev->PluggedIn()) continue;
    ++handed;
    bool goOn = true;
    const THidEnumerateEvent handler = onEnumerate_;
    const bool alive = WithInHandler(dev, [&] { goOn = handler.fn(dev, idx); });
    if (alive && !dev->CheckedOut()) dev->CloseQueryHandle();
    if (!goOn || !onEnumerate_) break;
  }
  return handed;
}

bool THidDeviceController::CheckOutByIndex(THidDevice*& dev, std::int32_t idx) {
  dev = nullptr;
  THidDevice* candidate = At(idx);
  if (candidate == nullptr || candidate->CheckedOut()) return false;
  dev = candidate;
  dev->SetCheckedOut(true);
  dev->StartReader();
  return true;
}

void THidDeviceController::NotifyDeviceChange(std::int32_t param) {
  if (inDeviceChange_) {
    // Its handlers may wait a second for a device; the change that came
    // meanwhile is looked at once they return, or it would be lost for good.
    changeMissed_ = true;
    return;
  }
  lastNotifyParam_ = param;
  inDeviceChange_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{inDeviceChange_};
  DeviceChange();
  if (changeMissed_) {
    changeMissed_ = false;
    QMetaObject::invokeMethod(
        this, [this] { NotifyDeviceChange(0); }, Qt::QueuedConnection);
  }
}

std::vector<THidDevice*> THidDeviceController::ScanInterfaces() {
  std::vector<THidDevice*> found;
  for (THidPnPInfo& info : platform_.Scan()) {
    try {
      found.push_back(new THidDevice(platform_, std::move(info), this, onDeviceData_, onDeviceUnplug_));
    } catch (const EControllerError&) {
      // An interface that cannot be opened or identified is left out silently.
    }
  }
  return found;
}

void THidDeviceController::DeviceChange() {
  if (!active_) return;
  bool changed = lastNotifyParam_ == -1;
  std::vector<THidDevice*> fresh = ScanInterfaces();
  auto freshHas = [&](std::uint64_t instance) {
    return std::any_of(fresh.begin(), fresh.end(),
                       [&](const THidDevice* d) { return d->PnPInfo().DeviceInstance == instance; });
  };

  // Removals, last to first. Handlers may give objects back meanwhile, so each
  // object is looked up again rather than trusted by position.
  std::vector<THidDevice*> snapshot = devices_;
  for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
    THidDevice* dev = *it;
    if (!Listed(dev)) continue;
    if (dev->PluggedIn() && freshHas(dev->PnPInfo().DeviceInstance)) continue;
    dev->MarkUnplugged();
    changed = true;
    bool alive = true;
    if (onRemoval_) {
      const THidPlugEvent handler = onRemoval_;
      alive = WithInHandler(dev, [&] { handler.fn(dev); });
    }
    if (alive && Listed(dev) && !dev->CheckedOut()) {
      devices_.erase(std::find(devices_.begin(), devices_.end(), dev));
      dev->Detach();
      delete dev;
    }
  }

  // Interfaces already listed keep their object; the new one is discarded.
  // One whose access changed (udev applied its rule after we had opened the
  // node) counts as a change, so the application re-lists it and its fresh
  // object opens it anew; an object not handed out is replaced here.
  std::vector<THidDevice*> arrivals;
  for (THidDevice* dev : fresh) {
    const std::uint64_t instance = dev->PnPInfo().DeviceInstance;
    const auto known = std::find_if(devices_.begin(), devices_.end(), [&](const THidDevice* d) {
      return d->PluggedIn() && d->PnPInfo().DeviceInstance == instance;
    });
    if (known == devices_.end()) {
      arrivals.push_back(dev);
      continue;
    }
    THidDevice* listed = *known;
    const bool accessChanged = listed->ReadWriteAccess() != dev->ReadWriteAccess();
    changed = changed || accessChanged;
    if (accessChanged && !listed->CheckedOut() && !listed->InHandler()) {
      dev->SetReadSlice(listed->ReadSliceMs());
      dev->SetDataHandler(listed->DataHandler());
      dev->SetDataErrorHandler(listed->DataErrorHandler());
      dev->SetUnplugHandler(listed->UnplugHandler());
      *known = dev;
      listed->Detach();
      delete listed;
    } else {
      dev->Detach();
      delete dev;
    }
  }

  for (THidDevice* dev : arrivals) {
    devices_.push_back(dev);
    changed = true;
    if (onArrival_) {
      const THidPlugEvent handler = onArrival_;
      WithInHandler(dev, [&] { handler.fn(dev); });
    }
  }

  if (changed && onDeviceChange_) onDeviceChange_.fn(this);
}

void THidDeviceController::GiveBack(THidDevice* dev, THidDataEvent dataHandler, THidPlugEvent unplugHandler,
                                    std::int32_t readSliceMs) {
  for (THidDevice*& target : handlerTargets_) {
    if (target == dev) target = nullptr;
  }
  auto it = std::find(devices_.begin(), devices_.end(), dev);
  if (it == devices_.end()) return;
  const std::size_t pos = static_cast<std::size_t>(it - devices_.begin());
  if (dev->PluggedIn()) {
    try {
      auto* replacement =
          new THidDevice(platform_, dev->TakePnPInfo(), this, std::move(dataHandler), std::move(unplugHandler));
      replacement->SetReadSlice(readSliceMs);
      devices_[pos] = replacement;
      return;
    } catch (const EControllerError&) {
      // The interface vanished an instant ago: drop the entry as for an
      // unplugged object; the next scan reports the removal no more.
    }
  }
  devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(pos));
}

}  // namespace quorvel::hid
