#pragma once
// THidDevice: one HID interface handed out by the controller.
//
// PUBLIC CONTRACT used by the engine (the HID owner may add private members and
// helpers, but keeps these signatures):
//   std::u16string ProductString();   cached once read; retried while empty
//   std::u16string SerialString();
//   void ReportCaps(THidCaps& caps);
//   bool WriteReport(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t& written);
//   void SetDataHandler(THidDataEvent handler);   starts/stops the reader
//   const THidAttributes& Attributes() const;
//   bool ReadWriteAccess() const;
//   bool PluggedIn() const; bool CheckedOut() const;
//   bool SetReadSlice(std::int32_t ms);
//   delete device;   gives a checked-out device back to its controller
//
// The data handler runs on the thread that owns the controller (the Qt UI
// thread); the reader thread blocks until it has returned.
#include "hid/hid_types.h"
