// SPDX-License-Identifier: Apache-2.0
// Whatever geometry a bootloader reports, an upload leaves the device
// recoverable. Every family code (and a few unknown ones), both layouts, and
// each field of the information record at its boundary values, one at a time,
// against the simulated bootloader:
//   - nothing crashes (this test also runs under ASan/UBSan);
//   - no Erase or Write reaches outside the application area (from the start
//     of flash or ProgramStart up to BootStart or the end of flash) or, for
//     PIC32, the boot flash below its last erase block, and the simulator saw
//     no protocol violation;
//   - success is reported only when the device's flash holds the image, and
//     anything else is refused before the first Erase.
#include <iostream>

#include "engine/upload/upload_fixture.h"

namespace quorvel::test {
namespace {

using Flash = std::vector<std::optional<std::uint8_t>>;

enum class Field { BootStart, ProgramStart, Size, EraseBlock, WriteBlock };
constexpr Field kFields[] = {Field::BootStart, Field::ProgramStart, Field::Size, Field::EraseBlock,
                             Field::WriteBlock};

const char* Name(Field f) {
  switch (f) {
    case Field::BootStart:
      return "boot-start";
    case Field::ProgramStart:
      return "program-start";
    case Field::Size:
      return "size";
    case Field::EraseBlock:
      return "erase";
    case Field::WriteBlock:
      return "write";
  }
  return "?";
}

struct Range {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  bool Holds(const Range& r) const { return begin <= r.begin && r.end <= end; }
};

constexpr std::uint32_t kPic32Program = 0x1D000000;
constexpr std::uint32_t kPic32Boot = 0x1FC00000;
constexpr std::uint32_t kStm32Flash = 0x08000000;
constexpr std::uint64_t kF2F4Sectors[] = {0x00000, 0x04000, 0x08000, 0x0C000, 0x10000, 0x20000, 0x40000,
                                          0x60000, 0x80000, 0xA0000, 0xC0000, 0xE0000, 0x100000};

bool SectorFamily(int family) { return family == 36 || family == 37; }

// A profile of the family's default part with the bootloader at the top or
// the bottom; unknown codes get the ARM part's geometry.
sim::SimProfile BaseProfile(int family, bool bottom) {
  sim::SimProfile p;
  if (!sim::DefaultProfile(static_cast<std::uint8_t>(family), p)) {
    sim::DefaultProfile(30, p);
    p.family = static_cast<std::uint8_t>(family);
  }
  p.revision = bottom ? 0x1201 : 0x1200;
  if (bottom) {
    p.programStart = sim::DefaultProgramStart(static_cast<std::uint8_t>(family == p.family ? family : 30));
    if (p.programStart == 0) p.programStart = sim::DefaultProgramStart(30);
    p.bootStart = family == 20 ? 0x9D000000u : 0u;
  }
  return p;
}

// The boundary values of a field, for a profile with these defaults.
std::vector<std::uint32_t> BoundaryValues(Field field, const sim::SimProfile& p) {
  const std::uint32_t e = p.eraseBlock;
  if (field == Field::EraseBlock || field == Field::WriteBlock) {
    return {0, 1, e - 1, e, e + 1u, 0x7FFF, 0x8000, 0xFFFF};
  }
  return {0, 1, e - 1, e, e + 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, p.size + e};
}

void Set(sim::SimProfile& p, Field field, std::uint32_t v) {
  switch (field) {
    case Field::BootStart:
      p.bootStart = v;
      break;
    case Field::ProgramStart:
      p.programStart = v;
      break;
    case Field::Size:
      p.size = v;
      break;
    case Field::EraseBlock:
      p.eraseBlock = static_cast<std::uint16_t>(v);
      break;
    case Field::WriteBlock:
      p.writeBlock = static_cast<std::uint16_t>(v);
      break;
  }
}

class UploadSweep : public UploadFixture, public ::testing::WithParamInterface<int> {
 protected:
  int family = 0;
  Bytes image;  // program image, from image offset 0
  Bytes boot;   // PIC32 boot flash
  QString hex;
  int runs = 0;
  int successes = 0;

  void SetUp() override {
    UploadFixture::SetUp();
    family = GetParam();
    // Data from the start of flash to just past the bottom layout's program start.
    const sim::SimProfile bottom = BaseProfile(family, true);
    const std::uint32_t appOffset = SixteenBit(family) ? bottom.programStart / 2 * 3 : bottom.programStart;
    image = ProgramBytes(appOffset + 600, 3);
    auto segments = HexForImage(family, image);
    if (family == 20) {
      boot = ProgramBytes(300, 5);
      segments.push_back({kPic32Boot, boot});
    }
    hex = TempFile(QStringLiteral("sweep.hex"), QByteArray::fromStdString(testhex::Make(segments)));
  }

  // Flash byte index (the simulator's) of a program-memory image offset.
  std::uint64_t IndexOf(std::uint64_t offset) const { return family == 20 ? kPic32Program + offset : offset; }

  // Where an upload may erase and write, from the profile alone.
  std::vector<Range> Allowed(const sim::SimProfile& p, const sim::BootloaderModel& model) const {
    const std::uint64_t base = family == 20 ? kPic32Program : 0;
    const std::uint64_t flashEnd = base + p.size;
    std::vector<Range> out;
    if ((p.revision & 1u) != 0) {
      std::uint64_t start = p.programStart;
      if (SixteenBit(family)) start = start / 2 * 3;
      if (family == 20)
        start = (start & 0x1FFFFFFF) < base ? base + (start & 0x1FFFFFFF) : start & 0x1FFFFFFF;
      if (Stm32(family) && start >= kStm32Flash) start -= kStm32Flash;
      // The bootloader keeps at least the reset vector at the start of flash.
      out.push_back({std::max(start, base + 1), flashEnd});
    } else {
      out.push_back({base, std::min<std::uint64_t>(model.ByteIndex(p.bootStart), flashEnd)});
    }
    if (family == 20 && p.eraseBlock < 0x3000)
      out.push_back({kPic32Boot, kPic32Boot + 0x3000 - p.eraseBlock});
    return out;
  }

  // Flash byte ranges the Erase and Write commands of a trace name.
  std::vector<Range> Touched(const sim::SimProfile& p, const sim::BootloaderModel& model,
                             const std::vector<std::string>& trace) const {
    std::vector<Range> out;
    for (const std::string& line : trace) {
      unsigned address = 0, count = 0;
      char verb[8] = {};
      if (std::sscanf(line.c_str(), "%7s 0x%x %u", verb, &address, &count) != 3) continue;
      const std::uint64_t top = model.ByteIndex(address);
      if (std::string(verb) == "WRITE") {
        out.push_back({top, top + count});
      } else if (SectorFamily(family)) {
        const auto* hit = std::find(std::begin(kF2F4Sectors), std::end(kF2F4Sectors) - 1, top);
        const auto index = hit - std::begin(kF2F4Sectors);
        // A name that is no sector start, or a count below sector 0, counts as the whole address space.
        if (hit == std::end(kF2F4Sectors) - 1 || count == 0 || count > index + 1) {
          out.push_back({0, ~0ull});
        } else {
          out.push_back({kF2F4Sectors[index + 1 - count], kF2F4Sectors[index + 1]});
        }
      } else {
        const std::uint64_t span = std::uint64_t{p.eraseBlock} * (count == 0 ? 1 : count - 1);
        out.push_back({top >= span ? top - span : 0, top + std::max<std::uint64_t>(p.eraseBlock, 1)});
      }
    }
    return out;
  }

  // Bytes of the image the flash must hold after a success: all but the
  // reset entry and the entry code, up to the end of the application area.
  void ExpectImageInFlash(const sim::SimProfile& p, const sim::BootloaderModel& model, const Range& area) {
    const std::uint64_t base = IndexOf(0);
    const std::uint64_t first = (p.revision & 1u) != 0 ? area.begin - base + 20 : 8;
    const std::uint64_t end =
        std::min<std::uint64_t>(image.size(), area.end - base - ((p.revision & 1u) ? 0 : 32));
    int wrong = 0;
    for (std::uint64_t o = first; o < end && wrong < 3; ++o) {
      if (model.FlashByte(static_cast<std::uint32_t>(IndexOf(o))) != image[o]) {
        ++wrong;
        ADD_FAILURE() << "image offset 0x" << std::hex << o << " is not in flash";
      }
    }
    // The code with which the bootloader enters the application: in the first
    // bytes of the area (bottom) or the last ones below the bootloader (top).
    const Bytes entry = EntryCode(family, image, boot);
    const std::uint64_t entryAt = (p.revision & 1u) != 0 ? area.begin : area.end - entry.size();
    for (std::size_t i = 0; i < entry.size(); ++i) {
      if (model.FlashByte(static_cast<std::uint32_t>(entryAt + i)) != entry[i]) {
        ADD_FAILURE() << "no entry code at flash index 0x" << std::hex << entryAt;
        break;
      }
    }
    for (std::uint64_t o = 16;
         family == 20 && o < std::min<std::uint64_t>(boot.size(), 0x3000 - p.eraseBlock); ++o) {
      if (model.FlashByte(static_cast<std::uint32_t>(kPic32Boot + o)) != boot[o]) {
        ADD_FAILURE() << "boot image offset 0x" << std::hex << o << " is not in flash";
        break;
      }
    }
  }

  void RunOne(const sim::SimProfile& p) {
    ++runs;
    const int id = PlugBootloader(p);
    EXPECT_TRUE(Connect());
    LoadFile(hex);
    ui.yesNoAnswers.assign(2, true);
    const qsizetype mark = ui.history.size();
    const std::size_t dialogs = ui.taskDialogs.size();
    engine->Upload({});

    const std::vector<std::string> trace = Trace(id);
    sim::BootloaderModel& model = *platform.Model(id);
    EXPECT_THAT(model.Violations(), ::testing::IsEmpty());
    const std::vector<Range> allowed = Allowed(p, model);
    for (const Range& r : Touched(p, model, trace)) {
      EXPECT_TRUE(std::any_of(allowed.begin(), allowed.end(), [&](const Range& a) { return a.Holds(r); }))
          << "touched [0x" << std::hex << r.begin << ", 0x" << r.end << ")";
    }
    const QStringList lines = ui.HistorySince(mark);
    const bool success = ui.taskDialogs.size() == dialogs + 1 && ui.taskDialogs.back().Title == "Success";
    if (success) {
      ++successes;
      ExpectImageInFlash(p, model, allowed.front());
    } else {
      EXPECT_FALSE(lines.contains("Completed successfully."));
      EXPECT_TRUE(lines.isEmpty() || lines.back().startsWith("Error: ")) << lines.join('\n').toStdString();
      EXPECT_TRUE(std::none_of(trace.begin(), trace.end(), [](const std::string& l) {
        return l.rfind("ERASE", 0) == 0 || l.rfind("WRITE", 0) == 0;
      })) << "a refused upload erased or wrote";
    }
    // The next device must be the only one.
    if (platform.IsPlugged(id)) {
      Unplug(id);
    } else {
      RunUntil([&] { return LinkPart().Active() == nullptr && !Busy(); });
    }
    platform.Forget(id);
  }
};

TEST_P(UploadSweep, LeavesTheDeviceRecoverable) {
  for (const bool bottom : {false, true}) {
    const sim::SimProfile base = BaseProfile(family, bottom);
    for (const Field field : kFields) {
      std::vector<std::uint32_t> seen;
      for (const std::uint32_t value : BoundaryValues(field, base)) {
        if (std::find(seen.begin(), seen.end(), value) != seen.end()) continue;
        seen.push_back(value);
        sim::SimProfile p = base;
        Set(p, field, value);
        SCOPED_TRACE(std::string(bottom ? "bottom " : "top ") + Name(field) + "=" + std::to_string(value));
        RunOne(p);
        if (HasFailure()) return;  // one broken profile says enough
      }
    }
  }
  std::cout << "family " << family << ": " << runs << " runs, " << successes << " uploads\n";
  // The defaults of a known family upload in both layouts.
  if (sim::DefaultProgramStart(static_cast<std::uint8_t>(family)) != 0) {
    EXPECT_GE(successes, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(FamilyCodes, UploadSweep,
                         ::testing::Values(1, 2, 3, 4, 10, 11, 20, 30, 31, 32, 33, 34, 35, 36, 37, 38, 0, 5,
                                           255),
                         [](const auto& row) { return "Code" + std::to_string(row.param); });

}  // namespace
}  // namespace quorvel::test
