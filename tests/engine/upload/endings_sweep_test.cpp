// SPDX-License-Identifier: Apache-2.0
// However a run ends, the board is left restarted or gone, never in the
// middle of a command. Every trace event of three small uploads (bootloader
// at the top, at the bottom, PIC32 with boot flash) is hit in turn by each
// way out the uploader must handle: the event's answer never comes, the
// command line is interrupted twice at it (stop, then stop waiting), the
// board is unplugged at it. On the virtual clock, so every time-out is exact.
#include <iostream>

#include "engine/upload/upload_fixture.h"
#include "sim/virtual_clock.h"

namespace quorvel::test {
namespace {

enum WayOut { kTimeOut, kTwoSignals, kUnplug };
constexpr const char* kWayNames[] = {"time-out", "two signals", "unplug"};

struct SmallUpload {
  const char* name;
  const char* profile;
  int family;
  std::size_t programBytes;     // several chunks, so a Write can be left in its middle
  std::uint32_t programOffset;  // image offset: the bottom layout's application starts there
  std::size_t bootBytes;        // PIC32 boot flash
};
void PrintTo(const SmallUpload& u, std::ostream* os) { *os << u.name; }

const SmallUpload kUploads[] = {
    {"Top", "family=ARM", 30, 3000, 0, 0},
    {"Bottom", "family=ARM,revision=0x1201", 30, 2500, 0x4000, 0},
    {"Pic32WithBootFlash", "family=PIC32", 20, 5000, 0, 5000},
};

class EndingSweep : public UploadFixture, public ::testing::WithParamInterface<SmallUpload> {
 protected:
  sim::VirtualClock clock;
  QString hex;
  int interrupts = 0;

  void SetUp() override {
    UploadFixture::SetUp();
    platform.UseClock(&clock);
    LinkPart().UseWaitClock(&clock);
    const SmallUpload& u = GetParam();
    auto segments = HexForImage(u.family, ProgramBytes(u.programBytes), u.programOffset);
    if (u.bootBytes > 0) segments.push_back({0x1FC00000, ProgramBytes(u.bootBytes, 5)});
    hex = TempFile("app.hex", QByteArray::fromStdString(testhex::Make(segments)));
  }
  void TearDown() override {
    UploadFixture::TearDown();
    platform.UseClock(nullptr);
  }

  // What quorvel-cli does on Ctrl-C: the first asks the upload to stop, the
  // second gives up waiting for the device.
  void Interrupt() {
    if (++interrupts == 1) {
      if (engine->Status().uploading) engine->Stop();
    } else {
      Probe().WaitsAbandoned() = true;
    }
  }

  // One upload as far as the device lets it go, then the front end ends as
  // quorvel-cli does. Returns the device's trace.
  std::vector<std::string> Run(const std::string& fault, int event, WayOut way) {
    interrupts = 0;
    Probe().WaitsAbandoned() = false;
    const int before = Handled();
    device = platform.PlugBootloader(Profile(std::string(GetParam().profile) + fault));
    if (way == kTwoSignals) {
      platform.AtEvent(device, static_cast<std::uint32_t>(event), [this] {
        Interrupt();
        Interrupt();
      });
    }
    EXPECT_TRUE(WaitForDeviceChange(before));
    if (LinkPart().Active() != nullptr && Connect()) {
      LoadFile(hex);
      ui.yesNoAnswers.assign(2, true);
      engine->Upload({});
    }
    engine->Close();
    engine->ReleaseBoards();  // the last handle closed: a device left inside a Write says so
    platform.WaitIdle(2000);
    RunEventsFor(0);
    platform.AtEvent(0, 0, {});  // nothing of this run may act in the next one
    std::vector<std::string> trace = platform.TraceLines(device, 0);
    if (platform.IsPlugged(device)) Unplug(device);
    platform.Forget(device);
    return trace;
  }
};

TEST_P(EndingSweep, LeavesTheBoardRestartedOrGoneAndSaysWhich) {
  const std::vector<std::string> clean = Run("", 0, kTimeOut);
  ASSERT_EQ(LastUpload().result, UploadResult::Succeeded);
  ASSERT_EQ(clean.back(), "REBOOT");
  int cases = 0;
  for (int event = 1; event <= static_cast<int>(clean.size()); ++event) {
    for (const WayOut way : {kTimeOut, kTwoSignals, kUnplug}) {
      const std::string fault = way == kTimeOut  ? ",drop=" + std::to_string(event)
                                : way == kUnplug ? ",unplug=" + std::to_string(event)
                                                 : "";
      SCOPED_TRACE(std::string(kWayNames[way]) + " at event " + std::to_string(event) + ": " +
                   clean[event - 1]);
      RunPart().ForgetOutcome();
      const qsizetype mark = ui.history.size();
      const std::vector<std::string> trace = Run(fault, event, way);
      ++cases;
      // Otherwise the case is one more clean upload and proves nothing.
      if (way == kTwoSignals) {
        EXPECT_EQ(interrupts, 2) << "the signals never came";
      }
      const QStringList lines = ui.HistorySince(mark);
      const std::string history = lines.join('\n').toStdString();
      ASSERT_FALSE(trace.empty());
      EXPECT_TRUE(std::none_of(trace.begin(), trace.end(), [](const std::string& l) {
        return l.rfind("VIOLATION", 0) == 0;
      })) << ::testing::PrintToString(Shape(trace));
      const bool ran = std::any_of(trace.begin(), trace.end(), [](const std::string& l) {
        return l.rfind("ERASE", 0) == 0 || l.rfind("WRITE", 0) == 0;
      });
      if (!ran) {
        // Before the run: nothing after the event, and nothing to restart from.
        EXPECT_EQ(trace.size(), static_cast<std::size_t>(event)) << ::testing::PrintToString(trace);
      } else if (trace.back() == "REBOOT") {
        // Read as a command: inside a Write's data it would have been a DATA line.
        EXPECT_EQ(LastUpload().board, BoardAfterRun::Restarted) << history;
        EXPECT_EQ(lines.back(), "Reset...") << history;
      } else {
        EXPECT_FALSE(platform.IsPlugged(device));
        EXPECT_EQ(LastUpload().board, BoardAfterRun::Gone) << history;
        EXPECT_TRUE(lines.contains("Error: Device removed.")) << history;
        EXPECT_EQ(lines.back(), "Disconnected.") << history;
      }
      if (HasFailure()) return;  // one broken ending says enough
    }
  }
  std::cout << GetParam().name << ": " << clean.size() << " events, " << cases << " endings\n";
}

INSTANTIATE_TEST_SUITE_P(SmallUploads, EndingSweep, ::testing::ValuesIn(kUploads),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace quorvel::test
