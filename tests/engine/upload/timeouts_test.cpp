// SPDX-License-Identifier: Apache-2.0
// Every time-out of the protocol, pinned to the millisecond: the answer to one
// command comes 1 ms inside or 1 ms outside the time the uploader waits for
// it. The engine's wait and the simulated bootloader share a virtual clock,
// so the outcome does not depend on how busy the machine is.
#include "sim/virtual_clock.h"
#include "engine/upload/upload_fixture.h"

namespace quorvel::test {
namespace {

// Trace events of the runs below:
//   ARM, 3000 bytes:    1 INFO, 2 BOOT, 3 SYNC, 4 ERASE (3 blocks), 5 WRITE, 6-8 DATA,
//                       9 ERASE (the last block below the bootloader), 10 WRITE, 11 DATA
//   STM32F4, 0x4000:    4 ERASE (sectors 0 and 1), ...
//   STM32F4, 300 bytes: 4 ERASE (sector 0), 5 WRITE, 6 DATA, 7 ERASE (the sector below the bootloader)
//   PIC32 boot flash only, 5000 bytes: 4 ERASE (2 blocks), 5 WRITE, 6 DATA 4096, 7 DATA 1024
struct TimeoutCase {
  const char* name;
  const char* profileText;  // family, image and the answer's timing
  int family;
  std::uint32_t length;
  bool bootFlashOnly;
  bool inTime;
  // Late answers: the trace from the late command on, shaped ("DATA n": a
  // chunk of n bytes; "x k": k equal lines). A run ends at a command boundary
  // with its restart: a late chunk's Write gets the rest of its data first.
  const char* ending;
};
void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.name; }

// Per erase unit: the erase time, plus the rest of the margin on the answer.
const TimeoutCase kTimeouts[] = {
    {"InfoInTime", "family=ARM,late=1,answer-ms=999", 30, 3000, false, true, nullptr},
    {"InfoLate", "family=ARM,late=1,answer-ms=1001", 30, 3000, false, false, "INFO"},
    {"BootInTime", "family=ARM,late=2,answer-ms=999", 30, 3000, false, true, nullptr},
    {"BootLate", "family=ARM,late=2,answer-ms=1001", 30, 3000, false, false, "BOOT"},
    {"SyncInTime", "family=ARM,late=3,answer-ms=999", 30, 3000, false, true, nullptr},
    {"SyncLate", "family=ARM,late=3,answer-ms=1001", 30, 3000, false, false, "SYNC"},
    {"BlockEraseInTime", "family=ARM,erase-ms=99,late=4,answer-ms=2", 30, 3000, false, true, nullptr},
    {"BlockEraseLate", "family=ARM,erase-ms=100,late=4,answer-ms=1", 30, 3000, false, false,
     "ERASE 0x00000800 3, REBOOT"},
    {"SectorEraseInTime", "family=STM32F4XX,erase-ms=3999,late=4,answer-ms=1", 37, 0x4000, false, true,
     nullptr},
    {"SectorEraseLate", "family=STM32F4XX,erase-ms=4000,late=4,answer-ms=1", 37, 0x4000, false, false,
     "ERASE 0x00004000 2, REBOOT"},
    {"LastBlockEraseInTime", "family=ARM,late=9,answer-ms=999", 30, 3000, false, true, nullptr},
    {"LastBlockEraseLate", "family=ARM,late=9,answer-ms=1001", 30, 3000, false, false,
     "ERASE 0x0003BC00 1, REBOOT"},
    {"LastSectorEraseInTime", "family=STM32F4XX,late=7,answer-ms=3999", 37, 300, false, true, nullptr},
    {"LastSectorEraseLate", "family=STM32F4XX,late=7,answer-ms=4001", 37, 300, false, false,
     "ERASE 0x000C0000 1, REBOOT"},
    {"ChunkInTime", "family=ARM,late=6,answer-ms=999", 30, 3000, false, true, nullptr},
    {"ChunkLate", "family=ARM,late=6,answer-ms=1001", 30, 3000, false, false,
     "DATA 1024 x2, DATA 960, REBOOT"},
    {"BootFlashEraseInTime", "family=PIC32,erase-ms=99,late=4,answer-ms=1", 20, 5000, true, true, nullptr},
    {"BootFlashEraseLate", "family=PIC32,erase-ms=100,late=4,answer-ms=1", 20, 5000, true, false,
     "ERASE 0x1FC01000 2, REBOOT"},
    {"BootFlashChunkInTime", "family=PIC32,late=6,answer-ms=999", 20, 5000, true, true, nullptr},
    {"BootFlashChunkLate", "family=PIC32,late=6,answer-ms=1001", 20, 5000, true, false,
     "DATA 4096, DATA 1024, REBOOT"},
};

class TimeOut : public UploadFixture, public ::testing::WithParamInterface<TimeoutCase> {
 protected:
  sim::VirtualClock clock;

  void SetUp() override {
    UploadFixture::SetUp();
    platform.UseClock(&clock);
    LinkPart().UseWaitClock(&clock);
  }
  void TearDown() override {
    UploadFixture::TearDown();
    platform.UseClock(nullptr);
  }

  // Goes as far as the device lets it: open, connect, load, upload.
  void RunUpload(const TimeoutCase& c) {
    device = PlugBootloader(c.profileText);
    if (LinkPart().Active() == nullptr || !Connect()) return;
    const auto segments = c.bootFlashOnly
                              ? std::vector<testhex::Segment>{{0x1FC00000, ProgramBytes(c.length)}}
                              : HexForImage(c.family, ProgramBytes(c.length));
    ui.fileAnswers.push_back(TempFile("app.hex", QByteArray::fromStdString(testhex::Make(segments))));
    engine->Browse();
    ClickStart();
  }
};

TEST_P(TimeOut, AnswerJustInsideCountsAndJustOutsideEndsTheRunThere) {
  const TimeoutCase& c = GetParam();
  RunUpload(c);
  if (c.inTime) {
    EXPECT_EQ(Count("Completed successfully."), 1) << ui.history.join('\n').toStdString();
    return;
  }
  const QString error = c.ending == std::string("INFO") ? "USB HID device is not in bootloader mode."
                                                        : "Error: Timeout waiting for MCU.";
  EXPECT_EQ(Count(error), 1) << ui.history.join('\n').toStdString();
  EXPECT_EQ(Count("Completed successfully."), 0);
  Settle();
  const std::vector<std::string> trace = Trace(device);
  const std::string profile = c.profileText;
  const std::size_t late = std::stoul(profile.substr(profile.find("late=") + 5));
  ASSERT_GE(trace.size(), late);
  std::string ending;
  for (const std::string& line : Shape({trace.begin() + static_cast<std::ptrdiff_t>(late - 1), trace.end()}))
    ending += (ending.empty() ? "" : ", ") + line;
  EXPECT_EQ(ending, c.ending);
}

INSTANTIATE_TEST_SUITE_P(EveryWait, TimeOut, ::testing::ValuesIn(kTimeouts),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace quorvel::test
