// SPDX-License-Identifier: Apache-2.0
// How an upload starts, stops and ends: preconditions, questions, stop
// requests, device faults, refusals of unusable geometry, the result dialog.
#include <QFile>
#include <QTimer>
#include <cerrno>
#include <mutex>
#include <thread>

#include "engine/upload/upload_fixture.h"
#include "support/thread_recording_platform.h"

namespace quorvel::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;
using Flash = std::vector<std::optional<std::uint8_t>>;

const QString kOverBootloader =
    "HEX file contains code over device bootloader area.\r\nThis code will be ignored.\r\nContinue?";

class UploadRun : public UploadFixture {
 protected:
  int Reboots() {
    Settle();
    const auto trace = Trace(device);
    return static_cast<int>(std::count(trace.begin(), trace.end(), "REBOOT"));
  }
  bool Logged(const char* line) const { return ui.history.contains(QString::fromLatin1(line)); }
  void ExpectIdleAndConnected() {
    EXPECT_TRUE(Connected());
    EXPECT_EQ(Controls().ButtonConnect.Caption, "Disconnect");
    EXPECT_TRUE(Controls().ButtonConnect.Enabled);
    EXPECT_TRUE(Controls().ButtonOpenHex.Enabled);
    EXPECT_EQ(Controls().ButtonStartBootloader.Caption, "Begin uploading");
    EXPECT_EQ(LinkPart().State().Current(), Activity::Idle);
  }
};

// --- preconditions ---

TEST_F(UploadRun, NotConnectedOnlyAsksToConnectEvenWithoutFile) {
  ClickStart();
  EXPECT_THAT(ui.history, ElementsAre("Error: Connect first."));
  EXPECT_EQ(LastUpload().result, UploadResult::NotStarted);
  EXPECT_EQ(LastUpload().reason, "Error: Connect first.");
}

TEST_F(UploadRun, ConnectedWithoutFileAsksForOne) {
  device = PlugBootloader("family=ARM");
  ASSERT_TRUE(Connect());
  ClickStart();
  EXPECT_EQ(ui.history.back(), "Error: Load HEX file first.");
  EXPECT_THAT(UploadShape(), IsEmpty());
}

TEST_F(UploadRun, FileLoadedForAnotherFamilyMustBeReloaded) {
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(100)));
  Unplug(device);
  device = PlugBootloader("family=PIC24");
  ASSERT_TRUE(Connect());
  ClickStart();
  EXPECT_EQ(ui.history.back(), "Error: Reload HEX file.");
  EXPECT_THAT(UploadShape(), IsEmpty());
}

// The window flashes its file as it is on disk at the click: one that is gone ends the click and
// uploads wait for a file that loads; one rebuilt since it was opened is read again first.
TEST_F(UploadRun, TheFileIsFlashedAsItIsOnDiskAtTheClick) {
  const QByteArray first = QByteArray::fromStdString(testhex::Make(HexForImage(2, ProgramBytes(0x100, 1))));
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(0x100, 1)));
  const std::size_t traced = Trace(device).size();
  ASSERT_TRUE(QFile::remove(hexPath));
  ClickStart();
  EXPECT_EQ(ui.history.back(), "File not found: " + hexPath);
  TempFile(QStringLiteral("app.hex"), first);
  ClickStart();
  EXPECT_EQ(ui.history.back(), "Error: Load HEX file first.");
  EXPECT_EQ(Trace(device).size(), traced) << "nothing was sent";

  ui.fileAnswers.push_back(hexPath);
  engine->Browse();
  const Bytes rebuilt = ProgramBytes(0x180, 2);
  TempFile(QStringLiteral("app.hex"), QByteArray::fromStdString(testhex::Make(HexForImage(2, rebuilt))));
  const qsizetype mark = ui.history.size();
  ClickStart();
  ASSERT_GT(ui.history.size(), mark);
  EXPECT_EQ(ui.history[mark], "Opened: " + hexPath);
  EXPECT_EQ(Count("Completed successfully."), 1);
  ExpectFlash(0x100, Flash(rebuilt.begin() + 0x100, rebuilt.end()));
}

// --- fit questions ---

TEST_F(UploadRun, ImageOverTheBootloaderIsCutAfterYes) {
  // One byte more than fits below the 4-byte entry code at 0x7BFC.
  const Bytes image = ProgramBytes(0x7BFD);
  Prepare("family=PIC18", HexForImage(2, image));
  ui.yesNoAnswers.push_back(true);
  ClickStart();

  EXPECT_THAT(ui.questions, ElementsAre(kOverBootloader));
  EXPECT_EQ(Count("Completed successfully."), 1);
  Flash last(64);
  for (int i = 0; i < 60; ++i) last[i] = image[0x7BC0 + i];
  PutRange(last, 60, Bytes(image.begin(), image.begin() + 4));
  ExpectFlash(0x7BC0, last);
}

TEST_F(UploadRun, ImageOverTheBootloaderDeclinedStopsBeforeErasing) {
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(0x7BFD)));
  const qsizetype mark = ui.history.size();
  ClickStart();  // no answer queued: No

  EXPECT_THAT(ui.HistorySince(mark), ElementsAre("Uploading:", "Upload aborted."));
  ASSERT_EQ(ui.taskDialogs.size(), 1u);
  EXPECT_EQ(ui.taskDialogs[0].Title, "Abort");
  EXPECT_EQ(LastUpload().result, UploadResult::Declined);
  EXPECT_THAT(UploadShape(), IsEmpty());
  ExpectIdleAndConnected();

  // The device is still in its bootloader: a new run needs no handshake.
  ui.yesNoAnswers.push_back(true);
  ClickStart();
  EXPECT_EQ(Count("Completed successfully."), 1);
  EXPECT_EQ(Count("Uploading:"), 2);
}

TEST_F(UploadRun, ImageOverProgramMemoryIsCutAfterYes) {
  // Old geometry: the loader keeps everything below BootStart; the device has 0x5000 bytes.
  const Bytes image = ProgramBytes(0x5000 + 100);
  Prepare("family=ARM,revision=0x1101,boot-start=0x40000,size=0x5000", HexForImage(30, image));
  ui.yesNoAnswers.push_back(true);
  ClickStart();

  EXPECT_THAT(ui.questions, ElementsAre("HEX file contains code that exceed device program memory.\r\n"
                                        "This code will be ignored.\r\nContinue?"));
  EXPECT_THAT(UploadShape(),
              ElementsAre("ERASE 0x00004C00 4", "WRITE 0x00004000 4096", "DATA 1024 x4", "REBOOT"));
}

TEST_F(UploadRun, Pic32BootImageOverBootSpaceIsTrimmedEvenWithoutProgramImage) {
  // 0x2100 bytes reach into the boot flash's last 4 KB erase block.
  Prepare("family=PIC32,revision=0x1201", {{0x1FC00000, ProgramBytes(0x2100)}});
  ui.yesNoAnswers.push_back(true);
  ClickStart();

  EXPECT_THAT(ui.questions, ElementsAre("HEX file contains code that exceed available boot space.\r\n"
                                        "This code will be ignored.\r\nContinue?"));
  EXPECT_THAT(UploadShape(),
              ElementsAre("ERASE 0x1FC01000 2", "WRITE 0x1FC00000 8192", "DATA 4096 x2", "REBOOT"));
}

// --- stop requests ---

TEST_F(UploadRun, Pic32StopDuringEraseEndsAfterTheErase) {
  // Slow reports keep the erase wait open long enough for the click.
  Prepare("family=PIC32,pace=15", HexForImage(20, ProgramBytes(5000)));
  const qsizetype mark = ui.history.size();
  ClickDuringUpload([&] { return ui.history.endsWith("Flash Erase..."); });
  ClickStart();

  EXPECT_THAT(UploadShape(), ElementsAre("ERASE 0x1D001000 2"));
  EXPECT_THAT(ui.HistorySince(mark), ElementsAre("Uploading:", "Flash Erase...", "Upload aborted."));
  ASSERT_EQ(ui.taskDialogs.size(), 1u);
  const TTaskDialogTexts& d = ui.taskDialogs[0];
  EXPECT_EQ(d.Title, "Abort");
  EXPECT_EQ(d.MainInstruction, "User abort...");
  EXPECT_EQ(d.Content, "Uploading program was stopped by user.");
  EXPECT_EQ(d.ExpandedText, "Uploading program \"" + hexPath + "\" was stopped by user.");
  EXPECT_EQ(LastUpload().result, UploadResult::Stopped);
  EXPECT_EQ(LastUpload().reason, d.Content);
  ExpectIdleAndConnected();
}

TEST_F(UploadRun, StopDuringWriteCompletesTheCurrentCommandOnly) {
  Prepare("family=ARM", HexForImage(30, ProgramBytes(40000)));
  ClickDuringUpload([&] { return ui.history.endsWith("Flash Write..."); });
  ClickStart();

  EXPECT_THAT(UploadShape(), ElementsAre("ERASE 0x00009C00 40", "WRITE 0x00000000 32768", "DATA 1024 x32"));
  EXPECT_EQ(ui.history.back(), "Upload aborted.");
  EXPECT_EQ(ui.taskDialogs.size(), 1u);
  EXPECT_EQ(Reboots(), 0);
  ExpectIdleAndConnected();
}

TEST_F(UploadRun, ClickWhileStopIsPendingStartsNoSecondUpload) {
  Prepare("family=ARM", HexForImage(30, ProgramBytes(40000)));
  ClickDuringUpload([&] { return ui.history.endsWith("Flash Write..."); }, 2);
  ClickStart();

  EXPECT_EQ(Count("Uploading:"), 1);
  EXPECT_THAT(UploadShape(), ElementsAre("ERASE 0x00009C00 40", "WRITE 0x00000000 32768", "DATA 1024 x32"));
  EXPECT_EQ(ui.taskDialogs.size(), 1u);
  ExpectIdleAndConnected();
}

// A start click while another device's arrival has the bootloader's record
// read again is not lost: the upload runs once that exchange is over.
TEST_F(UploadRun, StartClickedDuringAnInformationExchangeRunsAfterIt) {
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(100)));
  bool clicked = false;
  QTimer poll;
  poll.setInterval(0);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (clicked || !Busy()) return;
    clicked = true;
    ClickStart();
  });
  poll.start();
  PlugGeneric({});
  poll.stop();
  ASSERT_TRUE(clicked);
  EXPECT_TRUE(RunUntil([&] { return !ui.taskDialogs.empty(); }));
  ASSERT_EQ(ui.taskDialogs.size(), 1u);
  EXPECT_EQ(ui.taskDialogs[0].Title, "Success");
  EXPECT_EQ(Count("Uploading:"), 1);
}

// An erase plan longer than one Erase command: the second command names the
// highest block of its own group, above the first group.
TEST_F(UploadRun, LongErasePlanContinuesAboveTheFirstGroup) {
  // 0x8001 blocks of 64 bytes; the image is sparse, the gap reads as 0xFF.
  Prepare("family=ARM,size=0x300000,boot-start=0x2FF000,erase=64",
          {{0, ProgramBytes(8)}, {0x200038, ProgramBytes(8, 3)}});
  ClickDuringUpload([&] { return ui.history.endsWith("Flash Write..."); });
  ClickStart();

  EXPECT_THAT(UploadShape(), ElementsAre("ERASE 0x001FFF80 32767", "ERASE 0x00200000 2", "WRITE 0x00000000 32768",
                                         "DATA 64 x512"));
  EXPECT_TRUE(Model().IsErased(0x200000));
}

// --- progress ---

TEST_F(UploadRun, ProgressCountsBlocksWhileErasingAndBytesWhileWriting) {
  Prepare("family=ARM", HexForImage(30, ProgramBytes(40000)));
  struct Sample {
    bool timer = false;
    int interval = 0;
    int max = -1;
  } erasing, writing;
  QTimer probe;
  probe.setInterval(0);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const QString last = ui.history.isEmpty() ? QString() : ui.history.back();
    Sample* s = last == "Flash Erase..." ? &erasing : last == "Flash Write..." ? &writing : nullptr;
    if (s == nullptr || s->max >= 0) return;
    *s = {ControlsPart().EraseAnimation().isActive(), ControlsPart().EraseAnimation().interval(), Controls().Progress.Max};
  });
  probe.start();
  std::vector<int> whileWriting;
  ui.onProgress = [&] {
    if (ui.history.back() == "Flash Write...") whileWriting.push_back(Controls().Progress.Position);
  };
  ClickStart();

  EXPECT_TRUE(erasing.timer);
  EXPECT_EQ(erasing.interval, 1000);
  EXPECT_EQ(erasing.max, 40);
  EXPECT_FALSE(writing.timer);
  EXPECT_EQ(writing.max, (40000 + 1024) * 7);
  // Ten steps per byte of each 1 KB chunk; full after 70 % of the bytes, and it stays full.
  std::vector<int> expected;
  for (int position = 10240; position < writing.max; position += 10240) expected.push_back(position);
  expected.push_back(writing.max);
  EXPECT_EQ(whileWriting, expected);
  EXPECT_EQ(Controls().Progress.Position, 0) << "closing the connection resets the bar";
}

// --- device faults ---

// Trace events: 1 INFO, 2 BOOT, 3 SYNC, then the upload's frames and chunks.
struct FaultCase {
  const char* name;
  const char* profileText;
  int family;
  std::vector<QString> tail;  // last history lines
  int reboots;
  bool startEnabledAfter;
  const char* violation = nullptr;  // the one the device sees, once the engine is gone
  BoardAfterRun board = BoardAfterRun::Restarted;
  std::size_t length = 300;  // program bytes (PIC32: 5000)
  int stallFrom = 0;         // from this trace event on, the device takes no report
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

const QString kNotRestarted = "The device was not restarted: reset or power-cycle it before the next upload.";

// ARM, 3000 bytes: 5 WRITE of 3008 bytes, 6-8 its chunks.
const FaultCase kFaults[] = {
    {"TimeoutOnMainErase", "family=ARM,drop=4", 30,
     {"Flash Erase...", "Error: Timeout waiting for MCU.", "Disconnected.", "Reset..."}, 1, false},
    {"TimeoutOnFirstChunk", "family=ARM,drop=6", 30,
     {"Flash Write...", "Error: Timeout waiting for MCU.", "Disconnected.", "Reset..."}, 1, true},
    {"TimeoutOnLastBlockErase", "family=ARM,drop=7", 30,
     {"Flash Write...", "Error: Timeout waiting for MCU.", "Disconnected.", "Reset..."}, 1, true},
    {"TimeoutOnBootFlashErase", "family=PIC32,drop=11", 20,
     {"Boot Erase...", "Error: Timeout waiting for MCU.", "Disconnected.", "Reset..."}, 1, false},
    {"UnplugOnMainErase", "family=ARM,unplug=4", 30, {"Error: Device removed.", "Disconnected."}, 0, false,
     nullptr, BoardAfterRun::Gone},
    {"UnplugOnLastBlockData", "family=ARM,unplug=9", 30, {"Error: Device removed.", "Disconnected."}, 0, true,
     nullptr, BoardAfterRun::Gone},
    // A refused chunk leaves the device's place in its Write unknown: no
    // more data, and no Reboot that could be stored as data.
    {"ChunkRefusedWithDataToCome", "family=ARM,nak=6", 30,
     {"Error: Timeout waiting for MCU.", "Disconnected.", "Reset...", kNotRestarted}, 0, true, nullptr,
     BoardAfterRun::NotRestarted, 3000},
    // The rest of the Write must go before the Reboot; a device that takes
    // none of it gets no Reboot either, and is left in the middle of its Write.
    {"RestOfTheWriteNotTaken", "family=ARM,drop=6", 30,
     {"Error: Timeout waiting for MCU.", "Disconnected.", "Reset...", kNotRestarted}, 0, true,
     "ended inside Write: 1984 of 3008 bytes missing", BoardAfterRun::NotRestarted, 3000, 7},
    // Every block is acknowledged, but the first erase erased nothing.
    {"EraseNotCarriedOut", "family=ARM,skip=4", 30,
     {"Error: The device reports a protocol violation: WRITE chunk at 0x00000000: write to unerased flash.",
      "Disconnected.", "Reset..."}, 1, true, "WRITE chunk at 0x00000000: write to unerased flash"},
};

class UploadFault : public UploadRun, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UploadFault, EndsWithErrorLineAndNoDialog) {
  const FaultCase& c = GetParam();
  violationsExpected = c.violation != nullptr;
  const Bytes boot = ProgramBytes(200, 5);
  auto segments = HexForImage(c.family, ProgramBytes(c.family == 20 ? 5000 : c.length));
  if (c.family == 20) segments.push_back({0x1FC00000, boot});
  Prepare(c.profileText, segments);
  if (c.stallFrom > 0) {
    // Armed once the event before is with the device.
    QTimer* arm = new QTimer(context.get());
    QObject::connect(arm, &QTimer::timeout, context.get(), [this, arm, from = c.stallFrom] {
      if (platform.TraceLines(device, 0).size() + 1 < static_cast<std::size_t>(from)) return;
      platform.StallWrites(device, 1, 10, ETIMEDOUT);
      arm->stop();
    });
    arm->start(1);
  }
  ClickStart();

  const QStringList& h = ui.history;
  ASSERT_GE(h.size(), static_cast<qsizetype>(c.tail.size()));
  EXPECT_THAT(h.mid(h.size() - static_cast<qsizetype>(c.tail.size())), ElementsAreArray(c.tail));
  EXPECT_FALSE(Logged("Completed successfully."));
  EXPECT_THAT(ui.taskDialogs, IsEmpty());
  // The outcome names the error line the run logged.
  EXPECT_EQ(LastUpload().result, UploadResult::DeviceError);
  EXPECT_TRUE(LastUpload().reason.startsWith("Error: ")) << LastUpload().reason.toStdString();
  EXPECT_THAT(c.tail, ::testing::Contains(LastUpload().reason));
  EXPECT_EQ(Reboots(), c.reboots);
  EXPECT_EQ(LastUpload().board, c.board);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
  EXPECT_EQ(Controls().ButtonStartBootloader.Caption, "Begin uploading");
  EXPECT_EQ(Controls().ButtonStartBootloader.Enabled, c.startEnabledAfter);
  StopEngine();
  // The reader closes the last handle on its own thread, a moment later.
  EXPECT_TRUE(RunUntil([&] { return platform.ReaderCount(device) == 0; }, 2000));
  platform.WaitIdle(2000);
  EXPECT_EQ(platform.Violations(device),
            c.violation ? std::vector<std::string>{c.violation} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(AtRepresentativePoints, UploadFault, ::testing::ValuesIn(kFaults),
                         [](const auto& row) { return std::string(row.param.name); });

// --- geometry the engine refuses before erasing anything ---

struct RefusalCase {
  const char* name;
  const char* profileText;
  int family;
  const char* line;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

// One refusal of each kind of rule: the engine asks the check before anything is erased. The
// rules at their limits: tests/upload/geometry_test.cpp.
const RefusalCase kRefusals[] = {
    {"EraseBlockBelowOneReport", "family=ARM,erase=32", 30,
     "Error: Erase block size 32 reported by the device is not supported."},
    {"BootloaderBetweenEraseBlocks", "family=PIC18,boot-start=0x7C10", 2,
     "Error: Bootloader start 0x7C10 is not on an erase-block boundary (64 bytes)."},
    {"ProgramStartInsideASector", "family=STM32F4XX,revision=0x1201,program-start=0x6000", 37,
     "Error: Program start 0x6000 is not on a sector boundary."},
};

class UploadRefusal : public UploadRun, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UploadRefusal, SaysWhyAndTouchesNothing) {
  const RefusalCase& c = GetParam();
  Prepare(c.profileText, HexForImage(c.family, ProgramBytes(300)));
  const qsizetype mark = ui.history.size();
  ClickStart();

  EXPECT_THAT(ui.HistorySince(mark), ElementsAre("Uploading:", QString::fromLatin1(c.line)));
  EXPECT_EQ(LastUpload().result, UploadResult::Refused);
  EXPECT_THAT(UploadShape(), IsEmpty());
  EXPECT_THAT(ui.taskDialogs, IsEmpty());
  ExpectIdleAndConnected();
}

INSTANTIATE_TEST_SUITE_P(Geometry, UploadRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& row) { return std::string(row.param.name); });

// --- images with nothing for the device ---

struct NothingCase {
  const char* name;
  const char* profileText;
  std::vector<testhex::Segment> hex;
  const char* line;
};
void PrintTo(const NothingCase& c, std::ostream* os) { *os << c.name; }

const NothingCase kNothing[] = {
    {"EmptyFile", "family=ARM", {}, "Error: Nothing to write: the HEX file holds no data for this device."},
    // The most common mistake: an application linked for the start of flash, over the bootloader.
    {"AllUnderTheBootloader",
     "family=STM32F4XX,revision=0x1201",
     {{0x08000000, ProgramBytes(0x400)}},
     "Error: Nothing to write: the HEX file holds no data between program start 0x8000 and the end of flash "
     "0x100000; was it linked for this bootloader?"},
    {"AllOverTheBootloader",
     "family=PIC18",
     {{0x7C00, ProgramBytes(0x100)}},
     "Error: Nothing to write: the HEX file holds no data below bootloader start 0x7C00."},
    {"OnlyErasedBytes",
     "family=PIC16",
     {{0x0, {0xFF, 0x3F, 0xFF, 0x3F}}},
     "Error: Nothing to write: the HEX file holds no data below bootloader start 0x3000."},
    {"Pic32BootFlashOnlyInTheBootloadersBlock",
     "family=PIC32",
     {{0x1FC02000, ProgramBytes(0x100)}},
     "Error: Nothing to write: the HEX file holds no data below bootloader start 0x9D07C000."},
};

class UploadNothing : public UploadRun, public ::testing::WithParamInterface<NothingCase> {};

TEST_P(UploadNothing, IsRefusedBeforeErasingAndIsNoSuccess) {
  const NothingCase& c = GetParam();
  Prepare(c.profileText, c.hex);
  const qsizetype mark = ui.history.size();
  ClickStart();

  EXPECT_THAT(ui.HistorySince(mark), ElementsAre("Uploading:", QString::fromLatin1(c.line)));
  EXPECT_EQ(LastUpload().result, UploadResult::NothingToWrite);
  EXPECT_THAT(UploadShape(), IsEmpty());
  EXPECT_THAT(ui.taskDialogs, IsEmpty());
  ExpectIdleAndConnected();
}

INSTANTIATE_TEST_SUITE_P(Images, UploadNothing, ::testing::ValuesIn(kNothing),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(UploadRun, Pic32WithOnlyBootFlashWritesItWithTheJump) {
  const Bytes boot = ProgramBytes(300, 9);  // no start-up word: the jump goes to offset 0
  Prepare("family=PIC32", {{0x1FC00000, boot}});
  const qsizetype mark = ui.history.size();
  ClickStart();

  EXPECT_THAT(
      ui.HistorySince(mark).mid(0, 3),
      ElementsAre("Uploading:", "HEX file holds boot flash data only: program flash is left as it is.",
                  "Boot Erase..."));
  EXPECT_THAT(UploadShape(), ElementsAre("ERASE 0x1FC00000 1", "WRITE 0x1FC00000 512", "DATA 512", "REBOOT"));
  Bytes written = WithPic32Jump(boot, 0x9D07C000);
  written.resize(512, 0xFF);
  Flash expected(0x1000);
  PutRange(expected, 0, written);
  ExpectFlash(0x1FC00000, expected);
}

// --- endings ---

TEST_F(UploadRun, SuccessDialogNamesTheFileAndFollowsTheRestart) {
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(100)));
  bool restartedBeforeDialog = false;
  ui.onModal = [&] {
    restartedBeforeDialog = RunUntil([&] { return Trace(device).back() == "REBOOT"; }, 1000);
  };
  ClickStart();

  ASSERT_EQ(ui.taskDialogs.size(), 1u);
  const TTaskDialogTexts& d = ui.taskDialogs[0];
  EXPECT_EQ(LastUpload().result, UploadResult::Succeeded);
  EXPECT_EQ(d.Title, "Success");
  EXPECT_EQ(d.MainInstruction, "Restarting MCU...");
  EXPECT_EQ(d.Content, "Uploading program completed successfully.");
  EXPECT_EQ(d.ExpandedText, "Uploading program \"" + hexPath + "\" finished with success.");
  EXPECT_TRUE(restartedBeforeDialog);
  EXPECT_EQ(Reboots(), 1);
  EXPECT_EQ(ui.closeRequests, 0);
}

TEST_F(UploadRun, ResultDialogPrefersTheFileLoadedLast) {
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(100)));
  RunPart().SetLastHexFile("/elsewhere/dropped.hex");
  ClickStart();
  ASSERT_EQ(ui.taskDialogs.size(), 1u);
  EXPECT_EQ(ui.taskDialogs[0].ExpandedText, "Uploading program \"/elsewhere/dropped.hex\" finished with success.");
}

TEST_F(UploadRun, CloseWhenFinishedClosesAfterTheDialog) {
  Prepare("family=STM32F1XX", HexForImage(35, ProgramBytes(300)));
  ControlSettings settings;
  settings.CheckBoxClose = true;
  engine->ApplySettings(settings);
  int closesAtDialog = -1;
  ui.onModal = [&] { closesAtDialog = ui.closeRequests; };
  ClickStart();

  EXPECT_EQ(closesAtDialog, 0);
  EXPECT_EQ(ui.closeRequests, 1);
  EXPECT_EQ(ui.taskDialogs.size(), 1u);
  engine->Close();  // the window's close: no second restart
  EXPECT_EQ(Reboots(), 1);
}

TEST_F(UploadRun, ErrorInsideTheRunEndsItAndSaysSo) {
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(0x7BFD)));
  ui.onModal = [] { throw std::runtime_error("frontend gone"); };
  ClickStart();

  EXPECT_EQ(ui.history.mid(ui.history.size() - 3),
            QStringList({"Error: Upload failed: frontend gone", "Disconnected.", "Reset..."}));
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Controls().ButtonConnect.Caption, "Connect");
  EXPECT_TRUE(Controls().ButtonConnect.Enabled);
  EXPECT_TRUE(Controls().ButtonOpenHex.Enabled);
  EXPECT_EQ(Controls().ButtonStartBootloader.Caption, "Begin uploading");
  EXPECT_EQ(LinkPart().State().Current(), Activity::Idle);
  EXPECT_FALSE(Busy());
}

}  // namespace
}  // namespace quorvel::test

namespace quorvel::test {
namespace {

TEST_F(UploadRun, NoHandleIsOpenedOrClosedOnTheUiThread) {
  ThreadRecordingPlatform recorder(platform);
  enginePlatform = &recorder;
  StartEngine({});
  Prepare("family=PIC18", HexForImage(2, ProgramBytes(0x200)));
  ClickStart();
  EXPECT_EQ(Count("Completed successfully."), 1);
  StopEngine();
  enginePlatform = nullptr;
  const auto calls = [&] {
    std::lock_guard lock(recorder.log->m);
    return recorder.log->calls;
  };
  // A write handle, a reader and the board lock, each opened and closed (the
  // reader closes its own a moment later).
  EXPECT_TRUE(RunUntil([&] { return calls() >= 6 && LocksHeld(recorder) == 0; }, 2000)) << calls();
  std::lock_guard lock(recorder.log->m);
  EXPECT_GE(recorder.log->locksTaken, 1);
  EXPECT_THAT(recorder.log->onUi, IsEmpty());
}

// The board goes while its lock is being taken, on discovery after plugging
// and on a Connect click: nothing is sent to it, the user is told, and the
// lock that arrives late is let go.
TEST_F(UploadRun, BoardUnpluggedWhileItsLockIsTaken) {
  const struct {
    int holdLock;  // 1: discovery's lock, 2: the Connect click's
    QString told;
  } cases[] = {
      {1, QStringLiteral("Reset device to reenter bootloader mode.")},
      {2, QStringLiteral("Unable to find device: USB HID Bootloader.")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.holdLock);
    ThreadRecordingPlatform recorder(platform);
    recorder.log->holdLock = c.holdLock;
    enginePlatform = &recorder;
    StartEngine({});
    ui.history.clear();
    // Unplugs the board from the UI thread's event loop once its lock is held
    // up, and lets the lock go on.
    int id = 0;
    QTimer unplugger;
    QObject::connect(&unplugger, &QTimer::timeout, [&] {
      std::lock_guard lock(recorder.log->m);
      if (!recorder.log->held || id == 0) return;
      platform.Unplug(id);
      recorder.log->released = true;
      recorder.log->cv.notify_all();
      unplugger.stop();
    });
    unplugger.start(1);
    id = platform.PlugBootloader(Profile("family=PIC18"));
    std::size_t sent = 0;
    if (c.holdLock == 2) {
      ASSERT_TRUE(RunUntil([&] { return LinkPart().Active() != nullptr && !Busy(); }));
      sent = platform.OutputReportCount(id);
      engine->Connect();
    }
    EXPECT_TRUE(RunUntil([&] { return ui.history.count(c.told) == 1 && !Busy(); })) << ui.history.join('\n').toStdString();
    EXPECT_FALSE(Connected());
    EXPECT_EQ(platform.OutputReportCount(id), sent);
    EXPECT_TRUE(RunUntil([&] { return LocksHeld(recorder) == 0; }));
    EXPECT_EQ(recorder.log->locksTaken, c.holdLock);
    // Nothing stays stuck: the next board is asked for its record as usual.
    const int next = PlugBootloader();
    EXPECT_TRUE(Connect());
    StopEngine();
    enginePlatform = nullptr;
    EXPECT_GE(platform.OutputReportCount(next), 3u);
    platform.Unplug(next);
  }
}

}  // namespace
}  // namespace quorvel::test
