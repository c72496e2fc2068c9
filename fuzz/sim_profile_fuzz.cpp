// SPDX-License-Identifier: Apache-2.0
// Fuzz entry for the --simulate profile parser. Any text must be parsed or
// refused with a message; a parsed profile's information record must read
// back, through the uploader's own parser, as the values the profile holds.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "core/boot_info.h"
#include "fuzz_check.h"
#include "sim/bootloader_model.h"
#include "sim/sim_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvel;
  using fuzz::Check;
  const std::string_view profileText(reinterpret_cast<const char*>(data), size);
  const auto parsed = sim::ParseSimProfile(profileText);
  if (const auto* error = std::get_if<sim::SimProfileError>(&parsed)) {
    Check(!error->message.empty());
    return 0;
  }
  const sim::SimProfile& profile = std::get<sim::SimProfile>(parsed);
  const TByteArray record = sim::BootloaderModel::BuildInfoRecord(profile);
  Check(!record.empty() && record.size() <= 64 && record[0] == record.size());

  TBootInfo info;
  ParseBootInfoRecord(record.data(), record.size(), info);
  Check(info.McuType == profile.family && info.BootRevision == profile.revision);
  Check(static_cast<std::uint32_t>(info.BootStart) == profile.bootStart);
  Check(static_cast<std::uint32_t>(info.ProgramStart) == profile.programStart);
  Check(info.McuSize == profile.size && info.EraseBlock == profile.eraseBlock &&
        info.WriteBlock == profile.writeBlock);
  // The description is cut to fit the report and ends at a zero byte.
  Check(profile.description.compare(0, info.DeviceDescription.size(), info.DeviceDescription) == 0);
  return 0;
}
