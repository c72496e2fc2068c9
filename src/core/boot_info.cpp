// SPDX-License-Identifier: Apache-2.0
#include "core/boot_info.h"

#include "core/families.h"

namespace quorvel {

namespace {

class RecordReader {
 public:
  RecordReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Bytes past the received ones read as 0, so a cut-off value is taken as far as it goes.
  std::uint8_t At(std::size_t pos) const { return pos < size_ ? data_[pos] : 0; }
  bool Has(std::size_t pos) const { return pos < size_; }

  std::uint32_t Little(std::size_t pos, int bytes) const {
    std::uint32_t value = 0;
    for (int k = bytes - 1; k >= 0; --k) value = (value << 8) | At(pos + static_cast<std::size_t>(k));
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Skips filler after the tag at `tag` until the value starts on a multiple of
// `alignment`; returns the position of the value's first byte.
std::size_t ValuePosition(std::size_t tag, std::size_t alignment) {
  std::size_t value = tag + 1;
  while (value % alignment != 0) ++value;
  return value;
}

}  // namespace

void ParseBootInfoRecord(const std::uint8_t* data, std::size_t size, TBootInfo& info) {
  if (data == nullptr || size == 0) return;
  const RecordReader record(data, size);
  const std::size_t length = data[0];

  // The record length is only tested before each tag: a value may run past it.
  std::size_t i = 1;
  while (i < length && record.Has(i)) {
    switch (data[i]) {
      case 1:
        info.McuType = record.At(i + 1);
        i += 2;
        break;
      case 3:
      case 4:
      case 5: {
        const std::size_t v = ValuePosition(i, RecordValueAlignment(info.McuType, 2));
        const auto value = static_cast<std::uint16_t>(record.Little(v, 2));
        if (data[i] == 3)
          info.EraseBlock = value;
        else if (data[i] == 4)
          info.WriteBlock = value;
        else
          info.BootRevision = value;
        i = v + 2;
        break;
      }
      case 6:
      case 8:
      case 9: {
        const std::size_t v = ValuePosition(i, RecordValueAlignment(info.McuType, 4));
        const std::uint32_t value = record.Little(v, 4);
        if (data[i] == 6)
          info.BootStart = static_cast<std::int32_t>(value);
        else if (data[i] == 8)
          info.McuSize = value;
        else
          info.ProgramStart = static_cast<std::int32_t>(value);
        i = v + 4;
        break;
      }
      case 7: {
        // The text ends at its zero byte, or where the received bytes end.
        info.DeviceDescription.clear();
        std::size_t p = i + 1;
        while (record.Has(p) && data[p] != 0) info.DeviceDescription.push_back(static_cast<char>(data[p++]));
        i = p + 1;
        break;
      }
      default:
        ++i;
        break;
    }
  }
}

}  // namespace quorvel
