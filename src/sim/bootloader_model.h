// SPDX-License-Identifier: Apache-2.0
#pragma once
// BootloaderModel: the firmware of a simulated USB HID bootloader.
//
// Pure logic (no threads, no Qt): it takes output reports (64 data bytes, no
// report ID) and returns the input reports the firmware answers with. It keeps
// a flash model, a trace of what it received, and the protocol violations it
// saw. Used by the simulated HID platform and by the /dev/uhid device.
//
// Frames: 0F <code> [addr32 LE] [count16 LE]; codes 1 Sync, 2 Info, 3 Boot,
// 4 Reboot, 11 Write, 21 Erase. After a Write frame the next reports are data:
// chunks of min(EraseBlock, bytes still announced), each arriving as
// ceil(len / 64) reports and answered with 0F 0B.
//
// Flash model. Flash is addressed by a byte index:
//   - every family but the 16-bit PICs: the command address itself (for PIC32
//     the physical address, i.e. the command address and 0x1FFFFFFF);
//   - 16-bit PICs (PIC24, dsPIC, dsPIC33): three bytes per instruction word,
//     two address units per word, so device address a is byte index a / 2 * 3,
//     which is the HEX loader's image offset.
// Every byte is unknown (never erased), erased, or written. Erase and write
// ranges are checked against the flash and the bootloader region.
//
// A connection that ends inside a Write's data (the uploader's last handle
// closed before every announced byte arrived) is a violation too: the device
// is left in its bootloader, mid-command.
//
// Trace: one line per frame and per data chunk, "INFO", "BOOT", "SYNC",
// "REBOOT", "ERASE 0x%08X n", "WRITE 0x%08X n" (raw address, decimal count),
// "DATA <lowercase hex>", and "FRAME <lowercase hex>" for any other report
// (its bytes up to the last non-zero one, at least two). These lines are the
// trace events. A protocol violation adds "VIOLATION <what>" right after the
// event that caused it; it is not an event.
//
// Faults, by 1-based trace event number: drop (the event gets no answer), nak
// (answered 0F 00), unplug (the event is traced and not carried out; the device
// vanishes), stall (the event is traced and not carried out; the firmware
// hangs and takes no further report), skip (answered as usual but not carried
// out: an Erase that erases nothing, a chunk that is not stored). Drop and nak
// leave the operation itself carried out. A chunk answered with nak also ends
// its Write: the firmware expects no more of its data and reads the next
// report as a frame (so the uploader, not knowing that, must send nothing
// more: neither data nor a Reboot that could be stored as data).
//
// Timing: an answer is due answer-ms after its event (only for the event named
// by late, when that is given), an Erase's answer erase-ms later per erase unit.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_array.h"
#include "core/families.h"
#include "sim/sim_profile.h"

namespace quorvel::sim {

class BootloaderModel {
 public:
  using Report = std::array<std::uint8_t, 64>;
  struct Reaction {
    std::vector<Report> replies;
    bool vanish = false;        // the device disappears after sending the replies
    bool stall = false;         // the firmware takes no further report
    std::uint32_t delayMs = 0;  // the device works this long before it answers
  };

  explicit BootloaderModel(SimProfile profile);

  // One output report: 64 data bytes without the report ID. Shorter input is
  // padded with zeros, longer input is cut at 64.
  Reaction OnOutputReport(const std::uint8_t* data, std::size_t size);
  // The uploader has closed its last handle to the device. Inside a Write's
  // data that leaves the device in its bootloader, mid-command, whatever the
  // uploader said: a violation, once per Write.
  void ConnectionEnded();
  std::uint32_t Events() const { return events_; }

  const std::vector<std::string>& Trace() const { return trace_; }
  std::string TraceText() const;  // lines joined with LF, LF-terminated
  const std::vector<std::string>& Violations() const { return violations_; }
  const SimProfile& Profile() const { return profile_; }
  bool Vanished() const { return vanished_; }
  bool Stalled() const { return stalled_; }

  // Flash model, by byte index (see above).
  std::optional<std::uint8_t> FlashByte(std::uint32_t index) const;  // nullopt: erased or never written
  bool IsErased(std::uint32_t index) const;
  bool IsWritten(std::uint32_t index) const { return FlashByte(index).has_value(); }
  // `count` bytes from `index`; bytes not written read as `fill`.
  TByteArray FlashRange(std::uint32_t index, std::uint32_t count, std::uint8_t fill = 0xFF) const;
  // Byte index of a command address of this profile's family.
  std::uint32_t ByteIndex(std::uint32_t commandAddress) const;
  // Number of bytes ever written / erase operations carried out.
  std::size_t WrittenCount() const;

  // The information record: length byte, then tags 1, 3, 4, 5, 6, 8, 9, 7 with
  // values aligned for the family as the uploader's parser expects. The
  // description is cut so the record fits one 64-byte report.
  static TByteArray BuildInfoRecord(const SimProfile& profile);

 private:
  enum : std::uint8_t { kUnknown = 0, kErased = 1, kWritten = 2 };
  struct Page {
    std::array<std::uint8_t, 4096> data{};
    std::array<std::uint8_t, 4096> state{};
  };
  struct Range {
    std::uint64_t begin = 0;  // byte index
    std::uint64_t end = 0;
  };

  Reaction HandleFrame(const Report& r, bool afterWrite);
  Reaction HandleData(const Report& r);
  bool ApplyFault(std::uint32_t event, std::uint8_t code, Reaction& reaction);
  void Erase(std::uint32_t address, std::uint16_t count);
  void StoreChunk();
  // Appends a trace event; returns its 1-based number.
  std::uint32_t Traced(std::string line);
  void Violation(std::string text);
  std::uint64_t ProgramEnd() const;  // byte index where program flash ends
  std::uint64_t BootFlashEnd() const;
  std::vector<Range> FlashRegions() const;
  std::vector<Range> BootloaderRegions() const;
  bool InFlash(std::uint64_t begin, std::uint64_t end) const;
  bool TouchesBootloader(std::uint64_t begin, std::uint64_t end) const;
  void SetState(std::uint32_t index, std::uint8_t state, std::uint8_t value);
  std::uint8_t StateOf(std::uint32_t index) const;

  SimProfile profile_;
  const FamilyFacts* facts_;  // of profile_.family; never null
  std::vector<std::string> trace_;
  std::vector<std::string> violations_;
  std::uint32_t events_ = 0;  // trace events so far (violation lines are not events)
  std::map<std::uint32_t, Page> pages_;
  bool vanished_ = false;
  bool stalled_ = false;
  bool justFinishedWrite_ = false;
  // An open Write: where the next chunk goes and how much is still announced.
  bool writeOpen_ = false;
  std::uint32_t writeAddress_ = 0;    // command address of the next chunk
  std::uint32_t writeRemaining_ = 0;  // bytes still announced
  std::uint32_t writeAnnounced_ = 0;  // bytes the open Write announced
  bool endReported_ = false;          // its connection ended inside it
  std::uint32_t chunkLength_ = 0;     // bytes in the chunk being received
  TByteArray chunk_;
};

}  // namespace quorvel::sim
