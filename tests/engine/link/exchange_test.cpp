// SPDX-License-Identifier: Apache-2.0
// Frames on the wire, acknowledgement tests, waits and reception, against the
// simulated bootloader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTimer>
#include <array>
#include <ostream>

#include "hid/hid_device.h"
#include "protocol/frames.h"
#include "support/engine_fixture.h"

namespace quorvel::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

class Exchange : public EngineFixture {
 protected:
  // A transfer of nothing: whatever arrives next is taken as its answer.
  void AwaitAnswer() { LinkPart().WriteTransfer(Probe().TransferBuffer().data(), 0); }
  // Puts one received report into TransferBuffer as the reader would.
  void Receive(std::initializer_list<std::uint8_t> head) {
    std::array<std::uint8_t, 64> report{};
    std::copy(head.begin(), head.end(), report.begin());
    LinkPart().ShowRead(LinkPart().Active(), report.data(), 64);
  }
  // Runs `action` from the event loop `ms` after the next wait started.
  void During(int ms, std::function<void()> action) {
    QTimer::singleShot(ms, context.get(), std::move(action));
  }
};

TEST_F(Exchange, FramesReachTheDeviceAsReports) {
  violationsExpected = true;  // frames for no real upload: wrong addresses, unerased flash, too much data
  const int id = PlugBootloader("family=STM32F4XX");
  ASSERT_NE(LinkPart().Active(), nullptr);
  const std::size_t before = platform.OutputReportCount(id);

  LinkPart().SendErase(0x3C00, 3);
  ASSERT_EQ(LinkPart().WaitResponse(Erase, 1000), WaitAcknowledged);
  EXPECT_THAT(std::vector<std::uint8_t>(Probe().TransferBuffer().begin(), Probe().TransferBuffer().begin() + 8),
              ElementsAre(0x0F, 0x15, 0, 0, 0, 0, 0, 0));  // the answer overwrote the staged frame

  LinkPart().SendWrite(0x1800, 0x40);
  // A transfer longer than one payload is cut into 64-byte reports.
  std::fill(Probe().TransferBuffer().begin(), Probe().TransferBuffer().begin() + 65, 0xA5);
  LinkPart().WriteTransfer(Probe().TransferBuffer().data(), 65);
  RunEventsFor(50);

  EXPECT_EQ(platform.OutputReportCount(id) - before, 1u + 1u + 2u);
  const std::vector<std::string> trace = Trace(id);
  EXPECT_THAT(trace, Contains("ERASE 0x00003C00 3"));
  EXPECT_THAT(trace, Contains("WRITE 0x00001800 64"));
}

TEST_F(Exchange, WriteTransferWithoutDeviceSendsNothingButResetsReception) {
  ASSERT_EQ(LinkPart().Active(), nullptr);
  Probe().RxCount() = 7;
  Probe().RxReady() = true;
  EXPECT_EQ(LinkPart().WriteTransfer(Probe().TransferBuffer().data(), 2), 1);
  EXPECT_EQ(Probe().RxCount(), 0);
  EXPECT_FALSE(Probe().RxReady());
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 1000), WaitDeviceGone);
}

TEST_F(Exchange, OnlyTheFirstAnswerCounts) {
  PlugBootloader();  // only the active board's reports are taken
  Probe().TransferBuffer().resize(128);
  AwaitAnswer();
  Receive({0x0F, Write});  // wrong answer to an Erase: consumed
  EXPECT_FALSE(LinkPart().CheckResponse(Erase));
  Receive({0x0F, Erase});  // appended behind it, never seen
  EXPECT_FALSE(LinkPart().CheckResponse(Erase));
  EXPECT_EQ(Probe().TransferBuffer()[64], 0x0F);

  Probe().RxCount() = 0;
  Receive({0x0E, Sync});
  EXPECT_FALSE(LinkPart().CheckResponse(Sync));
  Probe().RxCount() = 0;
  Receive({0x0F, Sync});
  EXPECT_TRUE(LinkPart().CheckResponse(Sync | 0x80));  // only the low seven bits select the test
  EXPECT_FALSE(Probe().RxReady());
  // A code without a test never acknowledges, and leaves the report for a real test.
  Probe().RxCount() = 0;
  Receive({0x0F, 7});
  EXPECT_FALSE(LinkPart().CheckResponse(7));
  EXPECT_TRUE(Probe().RxReady());
}

TEST_F(Exchange, WaitResultsInTheirOrder) {
  PlugBootloader("family=PIC18");
  BoardConnection* device = LinkPart().Active();
  ASSERT_NE(device, nullptr);

  // Gone beats expired, expired beats acknowledged, when they happen in one pass.
  During(10, [&] {
    Probe().WaitExpired() = true;
    LinkPart().SetActiveDevice(nullptr);
  });
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 5000), WaitDeviceGone);

  LinkPart().SetActiveDevice(device);
  AwaitAnswer();
  During(10, [&] {
    Receive({0x0F, Sync});
    Probe().WaitExpired() = true;
  });
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 5000), WaitTimedOut);

  AwaitAnswer();
  During(10, [&] { Receive({0x0F, Sync}); });
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 5000), WaitAcknowledged);

  EXPECT_EQ(LinkPart().WaitResponse(Sync, 30), WaitTimedOut);
  EXPECT_FALSE(Probe().ResponseTimer().isActive());
  EXPECT_FALSE(Busy());
}

TEST_F(Exchange, NestedWaitKeepsTheOuterTimeOut) {
  PlugBootloader("family=PIC18");
  ASSERT_NE(LinkPart().Active(), nullptr);
  int inner = -1;
  During(5, [&] { inner = LinkPart().WaitResponse(Boot, 20); });
  // If the inner wait lost the outer time-out, only this watchdog would end the outer wait.
  During(3000, [&] { LinkPart().SetActiveDevice(nullptr); });
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 200), WaitTimedOut);
  EXPECT_EQ(inner, WaitTimedOut);
}

TEST_F(Exchange, WaitErrorLines) {
  LinkPart().ReportWaitError(WaitAcknowledged);
  LinkPart().ReportWaitError(WaitCancelled);
  LinkPart().ReportWaitError(WaitDeviceGone);
  LinkPart().ReportWaitError(WaitTimedOut);
  EXPECT_THAT(ui.history, ElementsAre("Error: Device removed.", "Error: Timeout waiting for MCU."));
}

TEST_F(Exchange, ReceptionNeverWritesPastTheBuffer) {
  PlugBootloader();
  AwaitAnswer();
  std::array<std::uint8_t, 64> report;
  report.fill(0x5A);
  LinkPart().ShowRead(LinkPart().Active(), report.data(), 64);
  EXPECT_EQ(Probe().RxCount(), 64);
  EXPECT_TRUE(Probe().RxReady());
  EXPECT_EQ(Probe().TransferBuffer()[63], 0x5A);

  report.fill(0x77);
  LinkPart().ShowRead(LinkPart().Active(), report.data(), 64);  // no room left: dropped
  EXPECT_EQ(Probe().TransferBuffer().size(), 64u);
  EXPECT_EQ(Probe().RxCount(), 64);
  EXPECT_EQ(Probe().TransferBuffer()[0], 0x5A);

  Probe().RxReady() = false;
  LinkPart().ShowRead(LinkPart().Active(), nullptr, 0);
  EXPECT_TRUE(Probe().RxReady());
}

// Where the device is inside its Write becomes unknown, so that nothing more
// goes to it, when a frame goes out among the data (it is stored as data) or
// a chunk of the rest of the command is answered with anything but its
// acknowledgement (those answers are not waited for).
TEST_F(Exchange, DataPhaseIsLostByAFrameAmongTheDataOrARefusedChunk) {
  violationsExpected = true;  // Writes to unerased flash, left unfinished
  int id = PlugBootloader("family=ARM,erase=64,nak=3");  // 3: the first chunk
  LinkPart().SendWrite(0x1000, 128);
  const std::array<std::uint8_t, 64> chunk{};
  LinkPart().SendOwedData(chunk.data(), 64, 1000, LinkPart().WaitClockNowMs() + 1000);
  EXPECT_TRUE(RunUntil([&] { return LinkPart().DataPhaseLost(); })) << "refused chunk not seen";
  Unplug(id);

  id = PlugBootloader("family=ARM");
  LinkPart().SendWrite(0x1000, 128);
  EXPECT_FALSE(LinkPart().DataPhaseLost());
  LinkPart().SendSync();
  EXPECT_TRUE(LinkPart().DataPhaseLost()) << "a frame among the data";
}

// The rest of a Write goes out one report at a time, each carrying all the
// data a report holds: the device gets every byte, in order.
TEST_F(Exchange, TheRestOfAWriteReachesTheDeviceWhole) {
  violationsExpected = true;  // written to unerased flash
  const int id = PlugBootloader("family=ARM,erase=64");
  LinkPart().SendWrite(0x1000, 128);
  std::array<std::uint8_t, 128> data{};
  std::string hex[2];
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i);
    hex[i / 64] += "0123456789abcdef"[i >> 4 & 0xF];
    hex[i / 64] += "0123456789abcdef"[i & 0xF];
  }
  EXPECT_TRUE(LinkPart().SendOwedData(data.data(), 128, 1000, LinkPart().WaitClockNowMs() + 1000));
  EXPECT_EQ(LinkPart().DataOwed(), 0u);
  std::vector<std::string> chunks;
  for (const std::string& line : Trace(id)) {
    if (line.rfind("DATA ", 0) == 0) chunks.push_back(line);
  }
  EXPECT_THAT(chunks, ElementsAre("DATA " + hex[0], "DATA " + hex[1]));
}

TEST_F(Exchange, UnknownFamilyShowsNoItem) {
  Probe().BootInfo().McuType = 5;
  Probe().BootInfo().DeviceDescription.clear();
  Probe().ShowBootInfo();
  EXPECT_THAT(Controls().MCUComboBox.Items, ::testing::IsEmpty());
  EXPECT_EQ(Controls().MCUComboBox.ItemIndex, -1);
  EXPECT_THAT(Controls().DeviceComboBox.Items, ::testing::IsEmpty());
}

struct ShownRecord {
  const char* profileText;
  QStringList mcuItems;
  QStringList deviceItems;
  std::size_t bufferLength;
};

void PrintTo(const ShownRecord& row, std::ostream* os) { *os << row.profileText; }

class InformationDisplay : public EngineFixture, public ::testing::WithParamInterface<ShownRecord> {};

TEST_P(InformationDisplay, ShowsFamilyDescriptionAndSizesTheBuffer) {
  const ShownRecord& row = GetParam();
  PlugBootloader(row.profileText);
  EXPECT_EQ(Controls().MCUComboBox.Items, row.mcuItems);
  EXPECT_EQ(Controls().MCUComboBox.ItemIndex, row.mcuItems.isEmpty() ? -1 : 0);
  EXPECT_EQ(Controls().DeviceComboBox.Items, row.deviceItems);
  EXPECT_EQ(Probe().TransferBuffer().size(), row.bufferLength);
  EXPECT_EQ(Controls().LinkIndicator, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Records, InformationDisplay,
    ::testing::Values(
        ShownRecord{"family=dsPIC33,erase=1536,description=Board A",
                    {"dsPIC33"},
                    {"Board A"},
                    1536},
        ShownRecord{"family=38,erase=1024,description=", {"TIVA C Series"}, {}, 1024},
        // Blocks too small for a report keep a buffer that can still receive one.
        ShownRecord{"family=PIC18,erase=16,description=x",
                    {"PIC18"},
                    {"x"},
                    64},
        ShownRecord{"family=PIC18,erase=0,write=0,description=x",
                    {"PIC18"},
                    {"x"},
                    64},
        // A description is UTF-8 when it is valid UTF-8, else Latin-1; controls are shown, not obeyed.
        ShownRecord{"family=PIC18,description=Ger\xC3\xA4t \xC2\xB5" "C",
                    {"PIC18"},
                    {QString::fromUtf8("Ger\xC3\xA4t \xC2\xB5" "C")},
                    64},
        ShownRecord{"family=PIC18,description=Ger\xE4t\x1B[31m\rX",
                    {"PIC18"},
                    {QString::fromUtf8("Ger\xC3\xA4t\\x1B[31m\\x0DX")},
                    64}));

}  // namespace
}  // namespace quorvel::test
