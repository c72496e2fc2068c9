// SPDX-License-Identifier: Apache-2.0
// Fuzz entry for the information-record parser and the geometry check that
// reads its result. The first input byte is the family left by a previous
// record (any value), the rest is the record as received. The parser must
// never read past the received bytes, and whatever it yields, a geometry the
// check accepts must describe an application area inside the family's flash
// that starts and ends on erase-unit boundaries.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/boot_info.h"
#include "fuzz_check.h"
#include "upload/flash_area.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvel;
  using fuzz::Check;
  if (size == 0) return 0;
  TBootInfo info;
  info.McuType = data[0];
  // An exact copy, so reading one byte too far is a heap overflow ASan sees.
  const std::vector<std::uint8_t> record(data + 1, data + size);
  ParseBootInfoRecord(record.empty() ? nullptr : record.data(), record.size(), info);

  const TGeometryCheck check = CheckUploadGeometry(info);
  if (!check.problem.empty()) return 0;
  const TFlashArea& area = check.area;
  Check(area.family != nullptr && area.family->code == info.McuType);
  Check(info.WriteBlock > 0 && info.WriteBlock <= info.EraseBlock && info.EraseBlock % info.WriteBlock == 0);
  Check(0 <= area.appStart && area.appStart < area.appEnd);
  Check(static_cast<std::uint64_t>(area.appEnd) <= area.family->maxProgramBytes);
  // Both ends on erase-unit boundaries: erasing the area touches nothing outside it.
  Check(UnitBelow(*area.family, info.EraseBlock, area.appEnd) > 0);
  if (area.bottom) {
    Check(area.appStart > 0 && UnitBelow(*area.family, info.EraseBlock, area.appStart) > 0);
  } else {
    Check(area.appStart == 0 && area.lastUnitBytes == UnitBelow(*area.family, info.EraseBlock, area.appEnd));
  }
  // PIC32 boot flash: whole erase blocks, the last one left to the bootloader.
  Check(area.bootFlashBytes % info.EraseBlock == 0);
  Check(area.bootFlashBytes == 0 || area.bootFlashBytes + info.EraseBlock <= area.family->bootFlashBytes);
  return 0;
}
