#pragma once
// CONTRACT (owned by the HID/sim work):
// SimHidPlatform — a HidPlatform whose interfaces are virtual and can be
// plugged, unplugged and faulted at run time. Bootloader interfaces answer
// through a BootloaderModel on the platform's own device thread, so device
// objects' reader threads and hand-over are exercised as with real hardware.
//
//   class SimHidPlatform : public HidPlatform {
//    public:
//     SimHidPlatform();
//     // Plug a simulated bootloader; returns its handle (stable id). Raises the
//     // platform's change notification (delivered on the Qt event loop).
//     int PlugBootloader(const SimProfile& profile);
//     // Plug a plain HID interface (not a bootloader): strings, ids, lengths.
//     int PlugGeneric(const GenericHidSpec& spec);   // product, serial, vid, pid, in/out lengths, queryOnly
//     void Unplug(int id);
//     void SetQueryOnly(int id, bool queryOnly);
//     BootloaderModel* Model(int id);   // nullptr for generic/unknown; survives unplug until Forget(id)
//     std::string TraceText(int id) const;
//   };
#include "sim/bootloader_model.h"
