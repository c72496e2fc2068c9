// SPDX-License-Identifier: Apache-2.0
// Finding the bootloader among the HID devices, and losing it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <cerrno>

#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "protocol/frames.h"
#include "support/engine_fixture.h"

namespace quorvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Discovery : public EngineFixture {
 protected:
  std::size_t InfoRequests(int id) const {
    const auto trace = Trace(id);
    return static_cast<std::size_t>(std::count(trace.begin(), trace.end(), "INFO"));
  }
  std::vector<std::string> Labels() const {
    std::vector<std::string> labels;
    for (const TDeviceEntry& entry : LinkPart().Devices()) labels.push_back(entry.Label);
    return labels;
  }
};

TEST_F(Discovery, NothingAttached) {
  EXPECT_TRUE(LinkPart().Devices().empty());
  EXPECT_FALSE(LinkPart().WaitForDevice());
  EXPECT_THAT(ui.history, IsEmpty());
}

TEST_F(Discovery, LabelsNameProductOrIdsAndSerial) {
  sim::GenericHidDescription anonymous;
  anonymous.product.clear();
  anonymous.vendorId = 0x00A5;
  anonymous.productId = 0xBEEF;
  PlugGeneric(anonymous);
  sim::GenericHidDescription named;
  named.product = u"Keyboard";
  named.serial = u"K1";
  PlugGeneric(named);
  PlugBootloader("family=PIC18,serial=0001");
  sim::GenericHidDescription hostile;  // a device's strings cannot steer a terminal
  hostile.product = u"Key\x1b[2J";
  hostile.serial = u"\r\u202e1";
  PlugGeneric(hostile);
  EXPECT_THAT(Labels(), ElementsAre("Device VID=00A5 PID=BEEF", "Keyboard (Serial=K1)",
                                    "USB HID Bootloader (Serial=0001)", "Key\\x1B[2J (Serial=\\x0D\\u202E1)"));
}

TEST_F(Discovery, ProductStringMustMatchExactly) {
  sim::GenericHidDescription lower;
  lower.product = u"usb hid bootloader";
  PlugGeneric(lower);
  sim::GenericHidDescription trailing;
  trailing.product = u"USB HID Bootloader ";
  PlugGeneric(trailing);
  EXPECT_EQ(LinkPart().Active(), nullptr);
  EXPECT_THAT(ui.history, IsEmpty());
}

TEST_F(Discovery, AnsweringBootloaderIsOpenedSilently) {
  const int id = PlugBootloader("family=PIC32,description=Board");
  ASSERT_NE(LinkPart().Active(), nullptr);
  EXPECT_EQ(LinkPart().Record().McuType, 20);
  EXPECT_THAT(ui.history, IsEmpty());
  EXPECT_EQ(InfoRequests(id), 1u);

  // Any other device coming repeats the information exchange.
  PlugGeneric({});
  EXPECT_EQ(InfoRequests(id), 2u);
  EXPECT_NE(LinkPart().Active(), nullptr);
}

TEST_F(Discovery, FirstOfTwoBootloadersIsTaken) {
  const int first = PlugBootloader("family=PIC18,serial=A");
  const int second = PlugBootloader("family=PIC24,serial=B");
  EXPECT_EQ(LinkPart().Record().McuType, 2);
  EXPECT_EQ(InfoRequests(first), 2u);
  EXPECT_EQ(InfoRequests(second), 0u);
}

// A board's report reaches only an exchange with that board, and only while
// it waits for an answer: a late answer must never pass for another's.
TEST_F(Discovery, ReportsReachOnlyTheChosenBoardWhileAnAnswerIsAwaited) {
  PlugBootloader("family=PIC18,serial=A");
  PlugBootloader("family=PIC18,serial=B");
  const auto object = [&](std::size_t i) { return LinkPart().Devices().at(i).Device.get(); };
  const auto deliver = [&](BoardConnection* from) {
    const std::array<std::uint8_t, 64> ack{0x0F, Sync};
    LinkPart().ShowRead(from, ack.data(), 64);
  };
  ASSERT_EQ(LinkPart().Active(), object(0));
  EXPECT_TRUE(object(0)->Listening());
  EXPECT_FALSE(object(1)->Listening());

  LinkPart().WriteTransfer(Probe().TransferBuffer().data(), 0);  // an exchange with A awaits its answer
  deliver(object(1));
  EXPECT_FALSE(Probe().RxReady()) << "B's report taken as A's answer";
  deliver(object(0));
  EXPECT_TRUE(LinkPart().CheckResponse(Sync));
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 0), WaitTimedOut);  // the exchange is over
  deliver(object(0));
  EXPECT_FALSE(Probe().RxReady()) << "a report after the wait counted against the next transfer";
  EXPECT_EQ(LinkPart().DroppedReportCount(), 2u);

  // Once B is chosen at the next device change, A's fresh object no longer listens.
  BoardChoice choice;
  choice.serial = u"B";
  engine->ChooseBoard(choice);
  PlugGeneric({});
  ASSERT_EQ(LinkPart().Active(), object(1));
  EXPECT_FALSE(object(0)->Listening());
  EXPECT_TRUE(object(1)->Listening());
}

// The window's choice: the board chosen is asked alone, and one that does not
// answer leaves no other board's record on show.
TEST_F(Discovery, ChosenBoardThatDoesNotAnswerShowsNoRecord) {
  const int a = PlugBootloader("family=PIC18,serial=A");
  const int b = PlugBootloader("family=STM32F4XX,serial=B,drop=1");
  BoardChoice choice;
  for (const BoardView& board : engine->Boards()) {
    if (board.serial == u"B") choice = {board.serial, board.path, true};
  }
  const std::size_t mark = ui.history.size();
  const std::size_t asksOfA = InfoRequests(a);
  engine->ChooseBoard(choice);
  engine->OpenChosenBoard();
  EXPECT_THAT(ui.HistorySince(mark), ElementsAre("USB HID device is not in bootloader mode.", "Reset device."));
  EXPECT_EQ(LinkPart().Active(), nullptr);
  EXPECT_EQ(InfoRequests(a), asksOfA) << "A is not asked in B's place";
  EXPECT_EQ(InfoRequests(b), 1u);
  const ControlsState& controls = engine->Controls();
  EXPECT_THAT(controls.MCUComboBox.Items, IsEmpty());
  EXPECT_EQ(controls.LinkIndicator, 0);
  EXPECT_THAT(controls.DeviceComboBox.Items, ElementsAre("Simulated PIC18 (Serial=A)", "USB HID Bootloader (Serial=B)"));
  EXPECT_EQ(controls.DeviceComboBox.ItemIndex, 1);
  EXPECT_TRUE(controls.DeviceComboBox.Enabled);
}

TEST_F(Discovery, SilentDeviceIsNotInBootloaderMode) {
  sim::GenericHidDescription mute;
  mute.product = u"USB HID Bootloader";
  const int id = PlugGeneric(mute);
  EXPECT_THAT(ui.history, ElementsAre("USB HID device is not in bootloader mode.", "Reset device."));
  EXPECT_EQ(LinkPart().Active(), nullptr);
  EXPECT_FALSE(LinkPart().ReenterHintSet());

  // Its removal is then expected: no line, and the hint is armed again.
  Unplug(id);
  EXPECT_EQ(ui.history.size(), 2);
  EXPECT_TRUE(LinkPart().ReenterHintSet());
}

TEST_F(Discovery, BootloaderWithoutReadWriteAccessIsTakenButNotAsked) {
  const int before = Handled();
  const int id = platform.PlugBootloader(Profile("family=PIC18"));
  platform.SetQueryOnly(id, true);
  ASSERT_TRUE(WaitForDeviceChange(before));
  EXPECT_NE(LinkPart().Active(), nullptr);
  EXPECT_THAT(ui.history, IsEmpty());
  EXPECT_EQ(InfoRequests(id), 0u);
  EXPECT_FALSE(Connect());
  ASSERT_EQ(ui.history.size(), 4);
  // The cause, which the time-out alone would not tell.
  EXPECT_TRUE(ui.history[0].startsWith("USB HID Bootloader may not be opened for reading and writing"));
  EXPECT_TRUE(ui.history[0].contains("packaging/60-quorvel-bootloader.rules"));
  EXPECT_THAT(ui.HistorySince(1),
              ElementsAre("Waiting MCU response...", "Error: Timeout waiting for MCU.", "Disconnected."));
}

TEST_F(Discovery, BootloaderThatGainsAccessBecomesUsableWithoutAReplug) {
  // udev applies its rule after the node was first opened: the change event
  // that follows names an interface already listed.
  const int before = Handled();
  const int id = platform.PlugBootloader(Profile("family=PIC18"));
  platform.SetQueryOnly(id, true);
  ASSERT_TRUE(WaitForDeviceChange(before));
  platform.SetQueryOnly(id, false);
  const int handled = Handled();
  platform.NotifyChange();
  ASSERT_TRUE(WaitForDeviceChange(handled));
  ASSERT_NE(LinkPart().Active(), nullptr);
  EXPECT_TRUE(LinkPart().Active()->ReadWrite());
  EXPECT_EQ(LinkPart().Record().McuType, 2);
  EXPECT_TRUE(Connect());
}

TEST_F(Discovery, CompositeDeviceIsOpenedOnTheInterfaceWhoseReportsFit) {
  // Every interface of one USB device has its product string; the first one
  // listed here is a keyboard-sized interface of the bootloader's device.
  sim::GenericHidDescription keys;
  keys.product = u"USB HID Bootloader";
  keys.inputLength = 9;
  keys.outputLength = 2;
  const int before = Handled();
  const int other = platform.PlugGeneric(keys);
  const int id = platform.PlugBootloader(Profile("family=PIC18"));
  ASSERT_TRUE(WaitForDeviceChange(before));
  EXPECT_EQ(platform.OutputReportCount(other), 0u);
  EXPECT_EQ(InfoRequests(id), 1u);
  EXPECT_NE(LinkPart().Active(), nullptr);
  EXPECT_THAT(ui.history, IsEmpty());
}

// Another program (a second window, quorvel-cli) holds the board's lock.
TEST_F(Discovery, BoardInUseByAnotherProgramIsLeftAloneAndSaidSoOnce) {
  const int before = Handled();
  const int id = platform.PlugBootloader(Profile("family=PIC18,serial=A"));
  platform.SetLockedElsewhere(id, true);
  ASSERT_TRUE(WaitForDeviceChange(before));
  PlugGeneric({});  // a device change while the other program still has it
  EXPECT_EQ(InfoRequests(id), 0u);
  EXPECT_EQ(LinkPart().Active(), nullptr);
  EXPECT_THAT(ui.history, ElementsAre("USB HID Bootloader (Serial=A) is in use by another program."));

  EXPECT_FALSE(Connect());
  EXPECT_THAT(ui.history, ElementsAre("USB HID Bootloader (Serial=A) is in use by another program.",
                                      "USB HID Bootloader (Serial=A) is in use by another program."))
      << "a click is answered with the one line";

  platform.SetLockedElsewhere(id, false);
  EXPECT_TRUE(Connect());
  EXPECT_THAT(Trace(id), ElementsAre("INFO", "BOOT", "SYNC"));
}

TEST_F(Discovery, BoardIsKeptFromOtherProgramsWhileConnectingAndConnected) {
  PlugBootloader("family=PIC18,drop=2");  // the first Boot goes unanswered
  const hid::THidPnPInfo board = platform.Scan().at(0);
  const auto lockedHere = [&] {
    std::uint32_t error = 0;  // what another program would find
    return platform.Lock(board, error) == nullptr && error == EWOULDBLOCK;
  };
  EXPECT_TRUE(RunUntil([&] { return !lockedHere(); })) << "given back after the information request";
  bool duringHandshake = false;
  QTimer::singleShot(100, context.get(), [&] { duringHandshake = lockedHere(); });
  EXPECT_FALSE(Connect());
  EXPECT_TRUE(duringHandshake);
  // Let go on the lock thread, a moment later.
  EXPECT_TRUE(RunUntil([&] { return !lockedHere(); })) << "given back after a failed handshake";
  ASSERT_TRUE(Connect());
  PlugGeneric({});  // re-listing while connected
  EXPECT_TRUE(lockedHere());
}

TEST_F(Discovery, OversizedOutputReportsAreRefusedNotOverflowed) {
  sim::GenericHidDescription wide;
  wide.product = u"USB HID Bootloader";
  wide.outputLength = 200;
  const int id = PlugGeneric(wide);
  EXPECT_EQ(platform.OutputReportCount(id), 0u);
  EXPECT_THAT(ui.history, ElementsAre("USB HID device is not in bootloader mode.", "Reset device."));
}

TEST_F(Discovery, RemovalWhileNotConnectedAsksForAReset) {
  int id = PlugBootloader("family=PIC18");
  Unplug(id);
  id = PlugBootloader("family=PIC18");
  Unplug(id);
  EXPECT_THAT(ui.history, ElementsAre("Reset device to reenter bootloader mode.",
                                      "Reset device to reenter bootloader mode."));
  EXPECT_THAT(Controls().MCUComboBox.Items, IsEmpty());
  EXPECT_THAT(Controls().DeviceComboBox.Items, IsEmpty());
  EXPECT_EQ(Controls().LinkIndicator, 0);

  // After a restart command the disappearance is expected.
  id = PlugBootloader("family=PIC18");
  LinkPart().SendReboot();
  Unplug(id);
  EXPECT_EQ(ui.history.size(), 2);
  EXPECT_TRUE(LinkPart().ReenterHintSet());
}

TEST_F(Discovery, RemovalWhileConnectedDisconnects) {
  const int id = PlugBootloader("family=PIC18");
  ASSERT_TRUE(Connect());
  const int clearsBefore = ui.terminalClears;
  Unplug(id);
  EXPECT_THAT(ui.HistorySince(2), ElementsAre("Device removed.", "Disconnected."));
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
  EXPECT_GT(ui.terminalClears, clearsBefore);
}

// While the engine is busy a gone device stays listed, and every scan
// reports its removal again: only the first one may be told.
TEST_F(Discovery, RemovalReportedAgainWhileTheDeviceIsStillListedIsHandledOnce) {
  for (const bool uploading : {false, true}) {
    SCOPED_TRACE(uploading ? "during an upload" : "idle");
    const int id = PlugBootloader("family=PIC18");
    if (uploading) {
      ASSERT_TRUE(Connect());
      LinkPart().State().Set(Activity::Uploading);  // the run's wait is what notices the loss
    }
    const qsizetype mark = ui.history.size();
    const int clears = ui.terminalClears;
    {
      const TBusySection busy(LinkPart());
      platform.Unplug(id);
      ASSERT_TRUE(RunUntil([&] { return LinkPart().Active() == nullptr; }));
      const std::string once = ui.HistorySince(mark).join('\n').toStdString();
      EXPECT_EQ(once, uploading ? "" : "Reset device to reenter bootloader mode.");
      EXPECT_EQ(ui.terminalClears, clears + (uploading ? 1 : 0));
      // A scan for another device, the gone one still checked out.
      const int listed = Probe().ListedDevices();
      platform.PlugGeneric({});
      ASSERT_TRUE(RunUntil([&] { return Probe().ListedDevices() > listed; }));
      EXPECT_EQ(ui.HistorySince(mark).join('\n').toStdString(), once);
      EXPECT_EQ(ui.terminalClears, clears + (uploading ? 1 : 0));
      LinkPart().State().Set(Activity::Idle);
    }
    ASSERT_TRUE(RunUntil([&] { return !LinkPart().State().DeviceChangePending(); }));
  }
}

TEST_F(Discovery, LosingASecondBootloaderKeepsTheConnection) {
  PlugBootloader("family=PIC18,serial=A");
  const int second = PlugBootloader("family=PIC18,serial=B");
  ASSERT_TRUE(Connect());
  const qsizetype mark = ui.history.size();
  Unplug(second);
  EXPECT_TRUE(Connected());
  EXPECT_NE(LinkPart().Active(), nullptr);
  EXPECT_THAT(ui.HistorySince(mark), IsEmpty());
}

TEST_F(Discovery, DeviceChangeDuringAWaitIsDeferred) {
  const int id = PlugBootloader("family=PIC18");
  ASSERT_NE(LinkPart().Active(), nullptr);
  std::size_t infosDuringWait = 0;
  bool pendingDuringWait = false;
  QTimer::singleShot(5, context.get(), [&] { platform.PlugGeneric({}); });
  QTimer::singleShot(150, context.get(), [&] {
    infosDuringWait = InfoRequests(id);
    pendingDuringWait = LinkPart().State().DeviceChangePending();
  });
  const int handled = Handled();
  // Nothing answers this wait; an Info exchange inside it would be taken as its answer.
  Probe().RxCount() = 0;
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 300), WaitTimedOut);
  EXPECT_EQ(infosDuringWait, 1u);
  EXPECT_TRUE(pendingDuringWait);
  ASSERT_TRUE(WaitForDeviceChange(handled));
  EXPECT_EQ(InfoRequests(id), 2u);
  EXPECT_FALSE(LinkPart().State().DeviceChangePending());
}

TEST_F(Discovery, RemovalDuringAWaitIsNoticedAtOnce) {
  const int id = PlugBootloader("family=PIC18");
  QTimer::singleShot(5, context.get(), [&] { platform.Unplug(id); });
  QTimer::singleShot(4000, context.get(), [&] { Probe().WaitExpired() = true; });  // watchdog
  EXPECT_EQ(LinkPart().WaitResponse(Sync, 5000), WaitDeviceGone);
  EXPECT_THAT(ui.history, ElementsAre("Reset device to reenter bootloader mode."));
  // The gone device is given back once the wait is over.
  ASSERT_TRUE(RunUntil([&] { return LinkPart().Devices().empty(); }));
  EXPECT_EQ(ui.history.size(), 1) << "a removal is logged once";
}

}  // namespace
}  // namespace quorvel::test
