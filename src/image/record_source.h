// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where a file reader meets the image builder. A reader (Intel HEX today)
// turns its input into records: an address as the file gives it and the
// bytes that start there. The sink (image/image_builder.h) decides, per
// family, where each record lands in the flash images, or refuses it.
//
// The sink only judges; the reader words the message, because only the
// reader knows how to name the place a record came from (a HEX line, an ELF
// segment, an offset into a binary file) and which file it read.
//
// A reader that has its bytes at hand (ELF segments, a raw binary loaded at
// a base address) feeds ByteRecords, in pieces so that no large file has to
// be held whole:
//
//   // `base` is where the binary starts on the device, e.g. 0x08000000.
//   std::vector<std::uint8_t> piece(0x10000);
//   std::uint64_t offset = 0;
//   while (const std::size_t n = ReadSome(file, piece.data(), piece.size())) {
//     const ByteRecord record(static_cast<std::uint32_t>(base + offset), {piece.data(), n});
//     switch (sink.Take(record)) {
//       case RecordVerdict::Taken: break;
//       case RecordVerdict::BelowFlashBase:
//         return Fail("'" + name + "' at " + Hex(base) + " starts below the internal flash.");
//       case RecordVerdict::BeyondAnyDevice:
//         return Fail("Byte " + std::to_string(offset) + " of '" + name + "' lies beyond any device's flash.");
//       case RecordVerdict::Unreadable: break;  // ByteRecord bytes are always readable
//     }
//     offset += n;
//   }
#include <cstdint>
#include <cstring>
#include <span>

namespace quorvel {

// One record of an input file.
class SourceRecord {
 public:
  SourceRecord(std::uint32_t address, std::uint32_t count, bool carriesData)
      : address_(address), count_(count), carriesData_(carriesData) {}

  // Address of the first byte, as the file gives it (HEX: extended linear
  // address + extended segment address + record address; the family's HEX
  // base has not been removed).
  std::uint32_t address() const { return address_; }
  std::uint32_t count() const { return count_; }
  // False for a record that only moves the address (HEX: every record type
  // but data). Its address is still judged: a family that refuses addresses
  // below its HEX base refuses such a record too.
  bool carriesData() const { return carriesData_; }

  // Writes the `count` bytes to `out`. False when one cannot be read (the
  // reader keeps the reason); the bytes before it may have been written.
  // The sink calls it only for a record it stores, so bytes that are never
  // used are never decoded.
  virtual bool CopyBytes(std::uint8_t* out) const = 0;

 protected:
  ~SourceRecord() = default;

 private:
  std::uint32_t address_;
  std::uint32_t count_;
  bool carriesData_;
};

// A data record over bytes already in memory.
class ByteRecord final : public SourceRecord {
 public:
  ByteRecord(std::uint32_t address, std::span<const std::uint8_t> bytes)
      : SourceRecord(address, static_cast<std::uint32_t>(bytes.size()), true), bytes_(bytes) {}
  bool CopyBytes(std::uint8_t* out) const override {
    if (!bytes_.empty()) std::memcpy(out, bytes_.data(), bytes_.size());
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

enum class RecordVerdict : std::uint8_t {
  Taken,            // stored, or ignored as the family's loader ignores it
  BelowFlashBase,   // below the HEX base of a family that refuses such files (STM32)
  BeyondAnyDevice,  // would need an image larger than any device's flash
  Unreadable,       // CopyBytes failed
};

// The builder's side. Any verdict but Taken ends the load.
class RecordSink {
 public:
  virtual RecordVerdict Take(const SourceRecord& record) = 0;
  // Forgets every record taken so far: a reader that handed records early learnt that they must
  // not count, or reads them all again.
  virtual void Restart() = 0;

 protected:
  ~RecordSink() = default;
};

}  // namespace quorvel
