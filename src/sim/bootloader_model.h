#pragma once
// CONTRACT (owned by the HID/sim work; signatures may grow but not change):
// BootloaderModel — the simulated bootloader firmware. Pure logic, no threads, no Qt.
//
//   explicit BootloaderModel(SimProfile profile);
//   struct Reaction { std::vector<std::array<std::uint8_t, 64>> replies; bool vanish = false; };
//   Reaction OnOutputReport(const std::uint8_t* data, std::size_t size);   // 64 data bytes, no report ID
//   const std::vector<std::string>& Trace() const;  // "INFO", "BOOT", "SYNC", "REBOOT",
//        // "ERASE 0x%08X n", "WRITE 0x%08X n", "DATA <lowercase hex>", "FRAME <hex>"
//   std::string TraceText() const;                   // lines joined with LF, LF-terminated
//   // Flash model in the family's device address units; one byte per address
//   // unit as the data chunks deliver it. Unwritten: std::nullopt (erased) or
//   // never erased.
//   std::optional<std::uint8_t> FlashByte(std::uint32_t address) const;  // nullopt: erased/unwritten
//   bool IsErased(std::uint32_t address) const;
//   TByteArray FlashRange(std::uint32_t address, std::uint32_t count, std::uint8_t fill = 0xFF) const;
//   const std::vector<std::string>& Violations() const;   // protocol violations seen
//   const SimProfile& Profile() const;
//   static TByteArray BuildInfoRecord(const SimProfile&);  // length byte, tags 1,3,4,5,6,7,8,9 aligned per family
#include "sim/sim_profile.h"
