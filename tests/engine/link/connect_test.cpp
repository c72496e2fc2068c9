// SPDX-License-Identifier: Apache-2.0
// The Connect button: handshake, failures, cancel, disconnect and close.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <ostream>

#include "support/engine_fixture.h"

namespace quorvel::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

class ConnectButton : public EngineFixture {
 protected:
  std::size_t Count(int id, const std::string& line) const {
    const auto trace = Trace(id);
    return static_cast<std::size_t>(std::count(trace.begin(), trace.end(), line));
  }
};

TEST_F(ConnectButton, PresentDeviceConnects) {
  const int id = PlugBootloader("family=STM32F4XX");
  const int clears = ui.terminalClears;
  EXPECT_TRUE(Connect());
  EXPECT_THAT(ui.history, ElementsAre("Waiting MCU response...", "Connected."));
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Disconnect");
  EXPECT_TRUE(Controls().ButtonStartBootloader.Enabled);
  EXPECT_GT(ui.terminalClears, clears);
  EXPECT_THAT(Trace(id), ElementsAre("INFO", "BOOT", "SYNC"));
}

// Trace events: 1 INFO, 2 BOOT, 3 SYNC.
struct FailedHandshake {
  const char* profileText;
  const char* lastTrace;
};

void PrintTo(const FailedHandshake& row, std::ostream* os) { *os << row.profileText; }

class HandshakeFailure : public ConnectButton, public ::testing::WithParamInterface<FailedHandshake> {};

TEST_P(HandshakeFailure, TimesOutOnceAndStaysDisconnected) {
  const int id = PlugBootloader(GetParam().profileText);
  EXPECT_FALSE(Connect());
  EXPECT_THAT(ui.history,
              ElementsAre("Waiting MCU response...", "Error: Timeout waiting for MCU.", "Disconnected."));
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
  EXPECT_TRUE(Controls().ButtonStartBootloader.Enabled);
  EXPECT_EQ(Trace(id).back(), GetParam().lastTrace);
  EXPECT_NE(LinkPart().Active(), nullptr) << "a failed handshake keeps the device open";
}

INSTANTIATE_TEST_SUITE_P(Silent, HandshakeFailure,
                         ::testing::Values(FailedHandshake{"family=PIC18,drop=2", "BOOT"},
                                           FailedHandshake{"family=PIC18,drop=3", "SYNC"},
                                           FailedHandshake{"family=PIC18,nak=2", "BOOT"}));

TEST_F(ConnectButton, WriteTheDeviceNeverTakesFailsLikeASilentDeviceAndTheNextConnectWorks) {
  const int id = PlugBootloader("family=PIC18");
  platform.StallWrites(id, 1, 200, ETIMEDOUT);  // the Boot frame
  EXPECT_FALSE(Connect());
  EXPECT_THAT(ui.history,
              ElementsAre("Waiting MCU response...", "Error: Timeout waiting for MCU.", "Disconnected."));
  EXPECT_THAT(Trace(id), ElementsAre("INFO"));
  EXPECT_TRUE(Connect());
  EXPECT_THAT(Trace(id), ElementsAre("INFO", "BOOT", "SYNC"));
}

TEST_F(ConnectButton, AbsentDevice) {
  const int changes = ui.buttonChanges;
  EXPECT_FALSE(Connect());
  EXPECT_THAT(ui.history, ElementsAre("Unable to find device: USB HID Bootloader."));
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
  EXPECT_EQ(ui.buttonChanges, changes);
}

TEST_F(ConnectButton, DeviceRemovedDuringHandshake) {
  PlugBootloader("family=PIC18,unplug=2");
  EXPECT_FALSE(Connect());
  EXPECT_THAT(ui.history, ElementsAre("Waiting MCU response...", "Reset device to reenter bootloader mode.",
                                      "Error: Device removed.", "Disconnected."));
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
}

TEST_F(ConnectButton, ClickDuringHandshakeCancelsIt) {
  const int id = PlugBootloader("family=PIC18,drop=2");
  QString captionDuring;
  QTimer::singleShot(30, context.get(), [&] {
    captionDuring = Controls().ButtonConnect.Caption;
    engine->Disconnect();
  });
  // Watchdog: without the cancel the wait would end by time-out after 1 s.
  EXPECT_FALSE(Connect());
  EXPECT_EQ(captionDuring, "Waiting... Disconnect");
  EXPECT_THAT(ui.history, ElementsAre("Waiting MCU response...", "Disconnected."));
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
  EXPECT_EQ(Count(id, "BOOT"), 1u);
  EXPECT_THAT(Trace(id), Not(Contains("REBOOT")));
  EXPECT_EQ(LinkPart().State().Current(), Activity::Idle);
  EXPECT_FALSE(Busy());

  // The next click starts a fresh handshake.
  Connect();
  EXPECT_EQ(Count(id, "BOOT"), 2u);
}

TEST_F(ConnectButton, DisconnectRebootsTheDevice) {
  const int id = PlugBootloader("family=PIC18");
  ASSERT_TRUE(Connect());
  engine->Disconnect();
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
  // The restarting device goes away; that is expected and logs nothing more.
  EXPECT_TRUE(RunUntil([&] { return LinkPart().Devices().empty(); }));
  EXPECT_THAT(ui.HistorySince(2), ElementsAre("Disconnected.", "Reset..."));
  EXPECT_EQ(Trace(id).back(), "REBOOT");
}

TEST_F(ConnectButton, CloseRebootsOnlyAConnectedDevice) {
  const int id = PlugBootloader("family=PIC18");
  engine->Close();
  RunEventsFor(20);
  EXPECT_EQ(Count(id, "REBOOT"), 0u);
  ASSERT_TRUE(Connect());
  engine->Close();
  EXPECT_EQ(ui.history.size(), 2) << "closing logs nothing, nor the removal the restart causes";
  EXPECT_FALSE(Connected());
  RunEventsFor(20);
  EXPECT_EQ(Count(id, "REBOOT"), 1u);
}

TEST_F(ConnectButton, DeviceChangeDuringHandshakeWaitsForItsEnd) {
  const int id = PlugBootloader("family=PIC18,pace=40");
  QTimer::singleShot(5, context.get(), [&] { platform.PlugGeneric({}); });
  const int handled = Handled();
  EXPECT_TRUE(Connect());
  const auto trace = Trace(id);
  EXPECT_THAT(std::vector<std::string>(trace.begin(), trace.begin() + 3),
              ElementsAre("INFO", "BOOT", "SYNC"));
  ASSERT_TRUE(WaitForDeviceChange(handled));
  EXPECT_EQ(Trace(id).back(), "INFO");
  EXPECT_TRUE(Connected());
}

}  // namespace
}  // namespace quorvel::test
