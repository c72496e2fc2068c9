// SPDX-License-Identifier: Apache-2.0
// Runs the built quorvel-cli as a process against simulated bootloaders and
// checks what a script sees: exit codes, output lines, device traces, images.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/engine_fixture.h"
#include "support/hex_writer.h"

namespace quorvel {
namespace {

const QString kCli = QStringLiteral(QUORVEL_CLI_PATH);
const QString kSample = QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex");

struct CliRun {
  int exitCode = -1;
  QString out;
  QString err;
  QStringList OutLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

// `setup` may change the process before it starts (limits, redirections).
// Every run is also checked for flash written wrongly: a simulated bootloader
// reports each protocol violation on standard error.
CliRun RunCli(const QStringList& args, int timeoutMs = 60000, const std::function<void(QProcess&)>& setup = {},
              bool violationsExpected = false) {
  QProcess process;
  process.setProgram(kCli);
  process.setArguments(args);
  process.setStandardInputFile(QProcess::nullDevice());
  if (setup) setup(process);
  process.start();
  CliRun run;
  if (!process.waitForStarted(10000)) {
    ADD_FAILURE() << "quorvel-cli did not start: " << process.errorString().toStdString();
    return run;
  }
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished();
    ADD_FAILURE() << "quorvel-cli " << args.join(' ').toStdString() << " did not finish";
  }
  run.out = QString::fromUtf8(process.readAllStandardOutput());
  run.err = QString::fromUtf8(process.readAllStandardError());
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  if (!violationsExpected) {
    EXPECT_FALSE(run.err.contains("VIOLATION")) << run.err.toStdString();
  }
  return run;
}

// True when `expected` occurs in `lines` in this order (other lines may lie between).
bool InOrder(const QStringList& lines, const QStringList& expected) {
  qsizetype at = 0;
  for (const QString& line : lines) {
    if (at < expected.size() && line == expected[at]) ++at;
  }
  return at == expected.size();
}

std::string Describe(const CliRun& run) {
  return "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out.toStdString() + "--- stderr\n" +
         run.err.toStdString();
}

class CliProcess : public ::testing::Test {
 public:
  QTemporaryDir dir;

  QString Path(const QString& name) const { return dir.filePath(name); }

  QString WriteFile(const QString& name, const QByteArray& content) {
    QFile file(Path(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    return Path(name);
  }
  QString WriteHex(const QString& name, const std::vector<testhex::Segment>& segments) {
    return WriteFile(name, QByteArray::fromStdString(testhex::Make(segments)));
  }
  static QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  QStringList Trace(const QString& name = QStringLiteral("trace.txt")) const {
    return QString::fromUtf8(ReadFile(Path(name))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  QString TraceArg() const { return Path(QStringLiteral("trace.txt")); }

  // 1-based number of the first trace event starting with `prefix` in a
  // successful upload of the sample, for aiming faults at it.
  int EventNumber(const QString& prefix) {
    const CliRun ok = RunCli({"--simulate", "family=STM32F4XX", "--trace", TraceArg(), "upload", kSample});
    EXPECT_EQ(ok.exitCode, 0) << Describe(ok);
    const QStringList trace = Trace();
    for (qsizetype i = 0; i < trace.size(); ++i) {
      if (trace[i].startsWith(prefix)) return static_cast<int>(i + 1);
    }
    ADD_FAILURE() << "no " << prefix.toStdString() << " in the trace";
    return 0;
  }

  // A small ARM part whose top bootloader leaves 0x1800 bytes for the application.
  static constexpr const char* kSmallArm = "family=ARM,size=0x2000,boot-start=0x1800,erase=0x400,write=64";
  // Vector table plus a few bytes that reach into the bootloader area.
  QString WriteOversizedArmHex() {
    return WriteHex(QStringLiteral("over.hex"), {{0x0, {0x00, 0x10, 0x00, 0x20, 0x41, 0x00, 0x00, 0x00}},
                                                 {0x17F8, std::vector<std::uint8_t>(16, 0xA5)}});
  }
};

TEST_F(CliProcess, UploadOfTheSampleSucceedsWithTheWindowsHistoryAndOneReboot) {
  const CliRun run = RunCli({"--simulate", "family=STM32F4XX", "--trace", TraceArg(), "upload", kSample});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  const QStringList lines = run.OutLines();
  EXPECT_TRUE(InOrder(
      lines, {"Opened: " + kSample, "Waiting MCU response...", "Connected.", "Uploading:", "Flash Erase...",
              "Flash Write...", "Completed successfully.", "Disconnected.", "Reset..."}))
      << Describe(run);
  EXPECT_EQ(lines.last(), "Reset...");
  EXPECT_TRUE(run.err.contains("Success: Uploading program completed successfully.")) << Describe(run);

  const QStringList trace = Trace();
  ASSERT_GE(trace.size(), 6);
  EXPECT_EQ(trace.mid(0, 3), (QStringList{"INFO", "BOOT", "SYNC"}));
  EXPECT_EQ(trace.last(), "REBOOT");
  EXPECT_EQ(trace.count("REBOOT"), 1);
  EXPECT_TRUE(trace.filter(QRegularExpression("^ERASE 0x[0-9A-F]{8} \\d+$")).size() >= 1);
  EXPECT_TRUE(trace.filter(QRegularExpression("^WRITE 0x00000000 \\d+$")).size() == 1)
      << trace.join('\n').toStdString();
  // The sample's vector table (stack pointer 0x20020000) is the first data written.
  const QStringList data = trace.filter(QRegularExpression("^DATA "));
  ASSERT_FALSE(data.isEmpty());
  EXPECT_TRUE(data.first().startsWith("DATA 00000220")) << data.first().toStdString();
}

TEST_F(CliProcess, ViolationFailsTheRunWhereItHappened) {
  // The device answers the first erase without erasing: the write lands on unerased flash.
  const CliRun run = RunCli(
      {"--simulate", "family=STM32F4XX,skip=4", "--trace", TraceArg(), "upload", kSample}, 60000, {}, true);
  EXPECT_EQ(run.exitCode, 4) << Describe(run);
  EXPECT_FALSE(run.out.contains("Completed successfully.")) << Describe(run);
  const QString violation = "VIOLATION WRITE chunk at 0x00000000: write to unerased flash";
  EXPECT_TRUE(run.err.contains(violation)) << Describe(run);
  const QStringList trace = Trace();
  const qsizetype at = trace.indexOf(violation);
  ASSERT_GT(at, 0) << trace.join('\n').toStdString();
  EXPECT_TRUE(trace[at - 1].startsWith("DATA ")) << "right after the chunk that caused it";
}

TEST_F(CliProcess, MissingFileEndsWithExit3BeforeAnyDeviceIsLookedFor) {
  const CliRun run =
      RunCli({"--simulate", "family=STM32F4XX", "--trace", TraceArg(), "upload", Path("none.hex")});
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  EXPECT_TRUE(run.out.isEmpty()) << Describe(run);
  EXPECT_TRUE(run.err.contains("does not exist")) << Describe(run);
  EXPECT_FALSE(QFile::exists(TraceArg())) << "the simulator was started";
}

struct RefusedFile {
  const char* name;
  std::string hex;
  const char* message;
};

class CliRefusedFile : public CliProcess, public ::testing::WithParamInterface<RefusedFile> {};

// A refused file ends the run after Info: nothing else reaches the device.
TEST_P(CliRefusedFile, EndsWithExit3AndOnlyInfoSent) {
  const QString hex = WriteFile("bad.hex", QByteArray::fromStdString(GetParam().hex));
  const CliRun run = RunCli({"--simulate", "family=STM32F4XX", "--trace", TraceArg(), "upload", hex});
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  EXPECT_TRUE(run.err.contains(GetParam().message)) << Describe(run);
  EXPECT_EQ(Trace(), QStringList{"INFO"});
}

// A valid file for the STM32 families, but for one flipped checksum digit.
std::string CorruptChecksum() {
  std::string text = testhex::Make({{0x08000000, {1, 2, 3, 4, 5, 6, 7, 8}}});
  const auto data = text.find("\r\n:08");  // the data record after the address record
  const auto end = text.find("\r\n", data + 2);
  char& digit = text[end - 1];
  digit = digit == '0' ? '1' : '0';
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliRefusedFile,
    ::testing::Values(RefusedFile{"BadChecksum", CorruptChecksum(), "CRC check failed"},
                      RefusedFile{"BelowStm32Flash", testhex::Make({{0x0, {1, 2, 3, 4}}}),
                                  "violates internal flash offset"},
                      RefusedFile{"NoDataForThisDevice", testhex::Make({{0x08100000, {1, 2, 3, 4}}}),
                                  "holds no data for this device"},
                      RefusedFile{"NotHexAtAll", "this is not a HEX file\n:zz\n", "refused"}),
    [](const ::testing::TestParamInfo<RefusedFile>& row) { return std::string(row.param.name); });

TEST_F(CliProcess, NoBootloaderEndsWithExit2) {
  const CliRun run = RunCli({"--simulate", "family=STM32F4XX,product=Keyboard", "info"});
  EXPECT_EQ(run.exitCode, 2) << Describe(run);
  EXPECT_TRUE(run.err.contains("No bootloader found.")) << Describe(run);
}

TEST_F(CliProcess, BootloaderSilentOnInfoEndsWithExit2AndTheWindowsLines) {
  const CliRun run =
      RunCli({"--simulate", "family=STM32F4XX,drop=1", "--trace", TraceArg(), "upload", kSample});
  EXPECT_EQ(run.exitCode, 2) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"USB HID device is not in bootloader mode.", "Reset device."}))
      << Describe(run);
  // A board left inside a Write by a killed uploader answers nothing either.
  EXPECT_TRUE(run.err.contains("It may be inside an interrupted upload: reset or power-cycle it"))
      << Describe(run);
  EXPECT_EQ(Trace(), QStringList{"INFO"});
}

struct HandshakeFault {
  const char* name;
  const char* fault;  // appended to the profile
  const char* errorLine;
  bool unanswered;  // the message suggests an interrupted upload
};

class CliHandshakeFault : public CliProcess, public ::testing::WithParamInterface<HandshakeFault> {};

// Events 2 and 3 are Boot and Sync: the handshake fails, nothing is erased.
TEST_P(CliHandshakeFault, EndsWithExit4BeforeAnyErase) {
  const CliRun run = RunCli({"--simulate", QStringLiteral("family=STM32F4XX,") + GetParam().fault, "--trace",
                             TraceArg(), "upload", kSample});
  EXPECT_EQ(run.exitCode, 4) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"Waiting MCU response...", GetParam().errorLine, "Disconnected."}))
      << Describe(run);
  EXPECT_EQ(run.err.contains("may be inside an interrupted upload"), GetParam().unanswered) << Describe(run);
  EXPECT_TRUE(Trace().filter(QRegularExpression("^(ERASE|WRITE)")).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CliHandshakeFault,
    ::testing::Values(HandshakeFault{"BootUnanswered", "drop=2", "Error: Timeout waiting for MCU.", true},
                      HandshakeFault{"BootRefused", "nak=2", "Error: Timeout waiting for MCU.", true},
                      HandshakeFault{"SyncUnanswered", "drop=3", "Error: Timeout waiting for MCU.", true},
                      HandshakeFault{"UnpluggedOnBoot", "unplug=2", "Error: Device removed.", false}),
    [](const ::testing::TestParamInfo<HandshakeFault>& row) { return std::string(row.param.name); });

TEST_F(CliProcess, ChunkWithoutAnswerEndsWithExit4AndARestart) {
  const int firstData = EventNumber("DATA");
  const CliRun run = RunCli({"--simulate", QStringLiteral("family=STM32F4XX,drop=%1").arg(firstData),
                             "--trace", TraceArg(), "upload", kSample});
  EXPECT_EQ(run.exitCode, 4) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"Error: Timeout waiting for MCU.", "Disconnected.", "Reset..."}))
      << Describe(run);
  EXPECT_FALSE(run.out.contains("Completed successfully.")) << Describe(run);
  EXPECT_EQ(Trace().last(), "REBOOT");
}

TEST_F(CliProcess, UnplugDuringUploadEndsWithExit4) {
  const int firstData = EventNumber("DATA");
  const CliRun run = RunCli({"--simulate", QStringLiteral("family=STM32F4XX,unplug=%1").arg(firstData),
                             "--trace", TraceArg(), "upload", kSample});
  EXPECT_EQ(run.exitCode, 4) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"Error: Device removed.", "Disconnected."})) << Describe(run);
  EXPECT_EQ(Trace().size(), firstData) << "the device vanished on that event";
}

TEST_F(CliProcess, FitQuestionAnsweredNoAbortsWithExit5AndRestartsTheDevice) {
  const QString hex = WriteOversizedArmHex();
  const CliRun run = RunCli({"--simulate", kSmallArm, "--trace", TraceArg(), "upload", hex});
  EXPECT_EQ(run.exitCode, 5) << Describe(run);
  EXPECT_TRUE(run.err.contains("HEX file contains code over device bootloader area.")) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"Uploading:", "Upload aborted."})) << Describe(run);
  // Nothing erased; the program ends as the window does when closed while connected.
  EXPECT_EQ(Trace(), (QStringList{"INFO", "BOOT", "SYNC", "REBOOT"}));
}

TEST_F(CliProcess, FitQuestionAnsweredYesUploadsTheTrimmedImage) {
  const QString hex = WriteOversizedArmHex();
  const CliRun run = RunCli({"--yes", "--simulate", kSmallArm, "--trace", TraceArg(), "upload", hex});
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_TRUE(run.err.contains("-> Yes")) << Describe(run);
  const QStringList trace = Trace();
  EXPECT_GE(trace.filter(QRegularExpression("^ERASE ")).size(), 1);
  EXPECT_EQ(trace.last(), "REBOOT");
}

// Bootloaders reporting geometry that an upload would damage, and files with
// nothing for the device: refused before the first Erase, with the reason on
// a line of its own and a non-zero exit, never a crash or a success.
struct UnsafeUpload {
  const char* name;
  const char* profile;
  std::vector<testhex::Segment> hex;  // empty: the sample
  int exitCode;
  const char* line;
};

class CliUnsafeUpload : public CliProcess, public ::testing::WithParamInterface<UnsafeUpload> {};

TEST_P(CliUnsafeUpload, IsRefusedBeforeAnyErase) {
  const UnsafeUpload& c = GetParam();
  const QString hex = c.hex.empty() ? kSample : WriteHex(QStringLiteral("app.hex"), c.hex);
  const CliRun run = RunCli({"--yes", "--simulate", c.profile, "--trace", TraceArg(), "upload", hex});
  EXPECT_EQ(run.exitCode, c.exitCode) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"Uploading:", c.line})) << Describe(run);
  EXPECT_FALSE(run.out.contains("Completed successfully.")) << Describe(run);
  EXPECT_EQ(Trace(), (QStringList{"INFO", "BOOT", "SYNC", "REBOOT"}));
}

const std::vector<testhex::Segment> kPic18Program = {{0x0, std::vector<std::uint8_t>(0x2100, 0x12)}};

INSTANTIATE_TEST_SUITE_P(
    Devices, CliUnsafeUpload,
    ::testing::Values(
        UnsafeUpload{"BootStartNearTheTopOfTheAddressSpace",
                     "family=STM32F4XX,boot-start=0xFFFFF000",
                     {},
                     4,
                     "Error: Bootloader start 0xFFFFF000 lies outside the flash (0x0 to 0x100000)."},
        UnsafeUpload{"BootStartAtTheTopOfTheAddressSpace",
                     "family=STM32F1XX,boot-start=0xFFFFFFFF",
                     {},
                     4,
                     "Error: Bootloader start 0xFFFFFFFF lies outside the flash (0x0 to 0x20000)."},
        UnsafeUpload{"BootStartAtTwoGigabytes", "family=PIC18,boot-start=0x80000000", kPic18Program, 4,
                     "Error: Bootloader start 0x80000000 lies outside the flash (0x0 to 0x8000)."},
        UnsafeUpload{"BootStartBeyondTheSize",
                     "family=STM32F1XX,boot-start=0x30000,size=0x20000",
                     {},
                     4,
                     "Error: Bootloader start 0x30000 lies outside the flash (0x0 to 0x20000)."},
        UnsafeUpload{"SizeOfOneByte",
                     "family=STM32F1XX,size=1",
                     {},
                     4,
                     "Error: Bootloader start 0x1C000 lies outside the flash (0x0 to 0x1)."},
        UnsafeUpload{"WriteBlockLargerThanEraseBlock",
                     "family=STM32F1XX,write=1025",
                     {},
                     4,
                     "Error: Erase block size 1024 and write block size 1025 reported by the device are not "
                     "supported: a write block must not be larger than an erase block."},
        UnsafeUpload{"ProgramStartInsideTheBootloadersSector",
                     "family=STM32F4XX,revision=0x1201,program-start=0x6000",
                     {{0x08006000, std::vector<std::uint8_t>(0x400, 0x34)}},
                     4,
                     "Error: Program start 0x6000 is not on a sector boundary."},
        UnsafeUpload{"ProgramStartBetweenEraseBlocks",
                     "family=PIC18,revision=0x1201,program-start=0x1010,size=0x8000,erase=64,write=64",
                     kPic18Program, 4,
                     "Error: Program start 0x1010 is not on an erase-block boundary (64 bytes)."},
        UnsafeUpload{"ProgramStartBeyondTheFlash",
                     "family=STM32F1XX,revision=0x1201,program-start=0x40000",
                     {},
                     4,
                     "Error: Program start 0x40000 lies outside the flash (0x0 to 0x20000)."},
        UnsafeUpload{
            "ApplicationLinkedOverTheBootloader",
            "family=STM32F4XX,revision=0x1201",
            {},
            3,
            "Error: Nothing to write: the HEX file holds no data between program start 0x8000 and the "
            "end of flash 0x100000; was it linked for this bootloader?"}),
    [](const ::testing::TestParamInfo<UnsafeUpload>& row) { return std::string(row.param.name); });

class CliUsage : public CliProcess, public ::testing::WithParamInterface<std::vector<const char*>> {};

TEST_P(CliUsage, EndsWithExit1AndAHint) {
  QStringList args;
  for (const char* arg : GetParam()) args << QString::fromUtf8(arg);
  const CliRun run = RunCli(args);
  EXPECT_EQ(run.exitCode, 1) << Describe(run);
  EXPECT_TRUE(run.err.contains("quorvel-cli")) << Describe(run);
}

INSTANTIATE_TEST_SUITE_P(Lines, CliUsage,
                         ::testing::Values(std::vector<const char*>{},
                                           std::vector<const char*>{"--bogus", "list"},
                                           std::vector<const char*>{"--simulate", "family=NOPE", "info"},
                                           std::vector<const char*>{"--wait", "later", "info"},
                                           std::vector<const char*>{"image", "a.hex"}));

TEST_F(CliProcess, HelpAndVersion) {
  const CliRun help = RunCli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.out.startsWith("Usage: quorvel-cli [OPTIONS] list\n")) << Describe(help);
  const CliRun version = RunCli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "quorvel-cli 2.3.0.0\n");
}

TEST_F(CliProcess, WaitKeepsLookingUntilABootloaderIsPluggedLater) {
  const CliRun waited = RunCli({"--simulate", "family=PIC18,plug-after=400", "--wait", "10", "info"});
  EXPECT_EQ(waited.exitCode, 0) << Describe(waited);
  EXPECT_TRUE(waited.out.contains("Family:        PIC18 (2)")) << Describe(waited);

  const CliRun once = RunCli({"--simulate", "family=PIC18,plug-after=400", "info"});
  EXPECT_EQ(once.exitCode, 2) << Describe(once);
}

TEST_F(CliProcess, SeveralBootloadersNeedASerial) {
  const QStringList two = {"--simulate", "family=PIC18,serial=A1,description=First", "--simulate",
                           "family=PIC18,serial=B2,description=Second"};
  const CliRun unchosen = RunCli(two + QStringList{"info"});
  EXPECT_EQ(unchosen.exitCode, 2) << Describe(unchosen);
  EXPECT_TRUE(unchosen.err.contains("USB HID Bootloader (Serial=A1)")) << Describe(unchosen);
  EXPECT_TRUE(unchosen.err.contains("USB HID Bootloader (Serial=B2)")) << Describe(unchosen);

  // Found and answered: no need to wait out --wait (the watchdog ends a run that does).
  const CliRun second = RunCli(two + QStringList{"--serial", "B2", "--wait", "600", "info"}, 30000);
  EXPECT_EQ(second.exitCode, 0) << Describe(second);
  EXPECT_TRUE(second.out.contains("Description:   Second")) << Describe(second);

  const CliRun unknown = RunCli(two + QStringList{"--serial", "C3", "info"});
  EXPECT_EQ(unknown.exitCode, 2) << Describe(unknown);
}

TEST_F(CliProcess, UploadWithSerialLeavesTheOtherBootloaderAlone) {
  const CliRun run =
      RunCli({"--simulate", "family=STM32F4XX,serial=A1", "--simulate", "family=STM32F4XX,serial=B2",
              "--serial", "B2", "--trace", TraceArg(), "upload", kSample});
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  const QStringList firstDevice = Trace();
  EXPECT_FALSE(firstDevice.contains("BOOT")) << firstDevice.join('\n').toStdString();
  EXPECT_FALSE(firstDevice.contains("REBOOT"));
}

TEST_F(CliProcess, ListMarksTheBootloader) {
  const CliRun run =
      RunCli({"--simulate", "family=PIC18,serial=7", "--simulate", "family=PIC18,product=Keyboard", "list"});
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_TRUE(run.OutLines().contains("* sim:1  04d8:003c  USB HID Bootloader (Serial=7)")) << Describe(run);
  EXPECT_TRUE(run.OutLines().contains("  sim:2  04d8:003c  Keyboard")) << Describe(run);

  // Nothing attached yet (the board comes later): said so, and still a success.
  const CliRun none = RunCli({"--simulate", "family=PIC18,plug-after=60000", "list"});
  EXPECT_EQ(none.exitCode, 0) << Describe(none);
  EXPECT_TRUE(none.err.contains("No HID devices found.")) << Describe(none);
}

TEST_F(CliProcess, ImageWritesBothFilesAndNothingOnARefusedFile) {
  const CliRun run = RunCli({"--simulate", "family=STM32F4XX", "--trace", TraceArg(), "image", kSample,
                             "--out", Path("flash.bin"), "--boot-out", Path("boot.bin")});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  const QByteArray flash = ReadFile(Path("flash.bin"));
  EXPECT_EQ(flash.size(), 0xE0);
  EXPECT_EQ(flash.left(8), QByteArray::fromHex("0000022045000008"));
  EXPECT_TRUE(QFile::exists(Path("boot.bin")));
  EXPECT_EQ(ReadFile(Path("boot.bin")).size(), 0) << "STM32 has no boot flash image";
  EXPECT_EQ(Trace(), QStringList{"INFO"}) << "image sends no Boot, Sync or Reboot";

  const QString bad = WriteFile("bad.hex", QByteArray::fromStdString(CorruptChecksum()));
  const CliRun refused =
      RunCli({"--simulate", "family=STM32F4XX", "image", bad, "--out", Path("flash2.bin")});
  EXPECT_EQ(refused.exitCode, 3) << Describe(refused);
  EXPECT_FALSE(QFile::exists(Path("flash2.bin")));
}

TEST_F(CliProcess, ImageOfAPic32FileSplitsProgramAndBootFlash) {
  const std::vector<std::uint8_t> program = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  const std::vector<std::uint8_t> boot = {0x0B, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD};
  const QString hex = WriteHex("pic32.hex", {{0x1D000000, program}, {0x1FC00000, boot}});
  const CliRun run = RunCli({"--simulate", "family=PIC32", "image", hex, "--out", Path("flash.bin"),
                             "--boot-out", Path("boot.bin")});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_EQ(ReadFile(Path("flash.bin")), QByteArray(reinterpret_cast<const char*>(program.data()), 8));
  EXPECT_EQ(ReadFile(Path("boot.bin")), QByteArray(reinterpret_cast<const char*>(boot.data()), 8));
}

// --- files named on the command line ---

struct FileCase {
  const char* name;
  // The command line, given the fixture (its folder holds in.hex, a copy of the sample).
  std::function<QStringList(CliProcess&)> args;
  int exitCode;
  const char* message;
};

void PrintTo(const FileCase& row, std::ostream* os) { *os << row.name; }

class CliFileNames : public CliProcess, public ::testing::WithParamInterface<FileCase> {};

// Refused before anything is written or any device touched: the folder is as before.
TEST_P(CliFileNames, AreRefusedBeforeAnythingIsDone) {
  const QByteArray sample = ReadFile(kSample);
  WriteFile("in.hex", sample);
  ASSERT_EQ(::mkfifo(Path("fifo").toLocal8Bit().constData(), 0600), 0);
  ASSERT_EQ(::link(Path("in.hex").toLocal8Bit().constData(), Path("hard.hex").toLocal8Bit().constData()), 0);
  ASSERT_EQ(::symlink("loop", Path("loop").toLocal8Bit().constData()), 0);
  ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
  const QStringList before =
      QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

  const CliRun run = RunCli(GetParam().args(*this), 20000);
  EXPECT_EQ(run.exitCode, GetParam().exitCode) << Describe(run);
  EXPECT_TRUE(run.err.contains(GetParam().message)) << Describe(run);
  EXPECT_TRUE(run.out.isEmpty()) << Describe(run);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), before);
  EXPECT_EQ(ReadFile(Path("in.hex")), sample);
}

QStringList Sim() { return {"--simulate", "family=STM32F4XX"}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, CliFileNames,
    ::testing::Values(
        FileCase{"TraceIsTheInput",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"--trace", f.Path("in.hex"), "upload", f.Path("in.hex")};
                 },
                 1, "are the same file"},
        FileCase{"OutIsTheInput",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"image", f.Path("in.hex"), "--out", f.Path("in.hex")};
                 },
                 1, "are the same file"},
        FileCase{"BootOutIsTheInputByAHardLink",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"image",         f.Path("in.hex"), "--out",
                                              f.Path("o.bin"), "--boot-out",     f.Path("hard.hex")};
                 },
                 1, "are the same file"},
        FileCase{"OutAndBootOutSpelledDifferently",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"image",         f.Path("in.hex"), "--out",
                                              f.Path("a.bin"), "--boot-out",     f.Path("folder/../a.bin")};
                 },
                 1, "are the same file"},
        FileCase{"TraceAndOut",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"--trace",        f.Path("b.bin"), "image",
                                              f.Path("in.hex"), "--out",         f.Path("b.bin")};
                 },
                 1, "are the same file"},
        FileCase{"OutIsAFifo",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"image", f.Path("in.hex"), "--out", f.Path("fifo")};
                 },
                 1, "not a regular file"},
        FileCase{"TraceIsAFolder",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"--trace", f.Path("folder"), "info"};
                 },
                 1, "it is a folder"},
        FileCase{"OutInAMissingFolder",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"image", f.Path("in.hex"), "--out", f.Path("no/o.bin")};
                 },
                 6, "No such file or directory"},
        FileCase{"HexFileIsAFifo",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"upload", f.Path("fifo")};
                 },
                 3, "not a regular file"},
        FileCase{"HexFileIsASymlinkLoop",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"upload", f.Path("loop")};
                 },
                 3, "Too many levels of symbolic links"},
        FileCase{"HexFileNameTooLong",
                 [](CliProcess& f) {
                   return Sim() + QStringList{"upload", f.Path(QString(300, 'a') + ".hex")};
                 },
                 3, "File name too long"}),
    [](const ::testing::TestParamInfo<FileCase>& row) { return std::string(row.param.name); });

// A full disk made without root: a file size limit for the program.
std::function<void(QProcess&)> FileSizeLimit(rlim_t bytes) {
  return [bytes](QProcess& process) {
    process.setChildProcessModifier([bytes] {
      const rlimit limit{bytes, bytes};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    });
  };
}

TEST_F(CliProcess, FailedImageWritesLeaveBothOldFilesAndExit6) {
  const QString hex = WriteHex("pic32.hex", {{0x1D000000, std::vector<std::uint8_t>(8, 0x11)},
                                             {0x1FC00000, std::vector<std::uint8_t>(200, 0x22)}});
  WriteFile("flash.bin", "old flash");
  WriteFile("boot.bin", "old boot");
  const CliRun run = RunCli({"--simulate", "family=PIC32", "image", hex, "--out", Path("flash.bin"),
                             "--boot-out", Path("boot.bin")},
                            60000, FileSizeLimit(100));
  EXPECT_EQ(run.exitCode, 6) << Describe(run);
  EXPECT_TRUE(run.err.contains("File too large")) << Describe(run);
  EXPECT_FALSE(run.err.contains("Wrote")) << Describe(run);
  EXPECT_EQ(ReadFile(Path("flash.bin")), "old flash") << "the flash image fitted, but not both did";
  EXPECT_EQ(ReadFile(Path("boot.bin")), "old boot");
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 3) << "no temporary file left";
}

TEST_F(CliProcess, FailedTraceKeepsTheOldTraceAfterACompleteUploadAndExit6) {
  WriteFile("trace.txt", "old trace\n");
  const CliRun run = RunCli({"--simulate", "family=STM32F4XX", "--trace", TraceArg(), "upload", kSample},
                            60000, FileSizeLimit(64));
  EXPECT_EQ(run.exitCode, 6) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"Completed successfully.", "Disconnected.", "Reset..."}))
      << Describe(run);
  EXPECT_TRUE(run.err.contains("cannot write the trace file")) << Describe(run);
  EXPECT_EQ(ReadFile(TraceArg()), "old trace\n");
}

TEST_F(CliProcess, ResultsThatCannotBeWrittenAreNoSuccess) {
  const CliRun run = RunCli({"--json", "--simulate", "family=STM32F4XX", "info"}, 60000,
                            [](QProcess& process) { process.setStandardOutputFile("/dev/full"); });
  EXPECT_EQ(run.exitCode, 6) << Describe(run);
  EXPECT_TRUE(run.err.contains("cannot write to standard output: No space left on device")) << Describe(run);
}

TEST_F(CliProcess, DeviceTextIsDecodedAndItsControlsEscaped) {
  const QString profileText = QString::fromLatin1("family=PIC18,description=Ger\xE4t\x1B[31m\rFAKE");
  const CliRun plain = RunCli({"--simulate", profileText, "info"});
  ASSERT_EQ(plain.exitCode, 0) << Describe(plain);
  EXPECT_TRUE(plain.OutLines().contains(QString::fromUtf8("Description:   Ger\xC3\xA4t\\x1B[31m\\x0DFAKE")))
      << Describe(plain);
  const CliRun json = RunCli({"--json", "--simulate", profileText, "info"});
  ASSERT_EQ(json.exitCode, 0) << Describe(json);
  const QJsonObject info = QJsonDocument::fromJson(json.OutLines().first().toUtf8()).object();
  EXPECT_EQ(info.value("description").toString(), QString::fromUtf8("Ger\xC3\xA4t\x1B[31m\rFAKE"))
      << "JSON escapes by itself";
}

// Runs an upload in the background until `marker` appears on standard output.
class RunningUpload {
 public:
  RunningUpload(const QStringList& args, const QByteArray& marker) {
    process_.setProgram(kCli);
    process_.setArguments(args);
    process_.setStandardInputFile(QProcess::nullDevice());
    process_.start();
    EXPECT_TRUE(process_.waitForStarted(10000));
    while (!out_.contains(marker) && process_.waitForReadyRead(20000))
      out_ += process_.readAllStandardOutput();
    EXPECT_TRUE(out_.contains(marker)) << out_.toStdString();
  }
  void Signal(int signo) { ::kill(static_cast<pid_t>(process_.processId()), signo); }
  // Waits until `marker` appears on standard error (a signal has been handled).
  bool WaitForError(const QByteArray& marker) {
    process_.setReadChannel(QProcess::StandardError);
    while (!err_.contains(marker) && process_.waitForReadyRead(20000))
      err_ += process_.readAllStandardError();
    process_.setReadChannel(QProcess::StandardOutput);
    return err_.contains(marker);
  }
  // Exit code once finished; -1 when it ended by a signal.
  int Finish() {
    EXPECT_TRUE(process_.waitForFinished(30000));
    out_ += process_.readAllStandardOutput();
    err_ += process_.readAllStandardError();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
  }
  const QByteArray& Out() const { return out_; }
  const QByteArray& Err() const { return err_; }

 private:
  QProcess process_;
  QByteArray out_;
  QByteArray err_;
};

class CliSignal : public CliProcess, public ::testing::WithParamInterface<int> {};

// Ctrl-C, SIGTERM and SIGHUP stop the upload as the window's stop button does.
TEST_P(CliSignal, StopsTheUploadLikeTheStopButtonAndRestartsTheDevice) {
  // Paced so the upload is still writing when the signal arrives.
  RunningUpload run({"--simulate", "family=STM32F4XX,pace=2", "--trace", TraceArg(), "upload", kSample},
                    "Flash Write...");
  run.Signal(GetParam());
  EXPECT_EQ(run.Finish(), 5) << run.Out().toStdString();
  EXPECT_TRUE(run.Out().contains("Upload aborted.")) << run.Out().toStdString();
  EXPECT_FALSE(run.Out().contains("Completed successfully.")) << run.Out().toStdString();
  EXPECT_EQ(Trace().last(), "REBOOT");
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return std::string(sigabbrev_np(row.param));
                         });

// The erase is never answered: the first Ctrl-C would wait for its time-out,
// the second stops waiting. The device is restarted all the same.
TEST_F(CliProcess, SecondInterruptStopsWaitingAndStillRestartsTheDevice) {
  const int erase = EventNumber("ERASE");
  RunningUpload run({"--simulate", QStringLiteral("family=STM32F4XX,drop=%1").arg(erase), "--trace",
                     TraceArg(), "upload", kSample},
                    "Flash Erase...");
  run.Signal(SIGINT);
  ASSERT_TRUE(run.WaitForError("Stopping after the current block")) << run.Err().toStdString();
  run.Signal(SIGINT);
  EXPECT_EQ(run.Finish(), 5) << run.Out().toStdString() << run.Err().toStdString();
  EXPECT_FALSE(run.Out().contains("Timeout waiting for MCU")) << run.Out().toStdString();
  EXPECT_TRUE(run.Out().endsWith("Disconnected.\nReset...\n")) << run.Out().toStdString();
  EXPECT_EQ(Trace().last(), "REBOOT");
}

// Stopping waiting inside a Write: the device gets the rest of the command's
// data, then the Reboot, which it reads as a command.
TEST_F(CliProcess, SecondInterruptInsideAWriteFinishesItBeforeTheRestart) {
  const QString bigWrite = "WRITE 0x000C0000 32768";
  // The second chunk's answer comes late (within the answer time-out), so both
  // signals land inside the Write however slowly this machine runs the test.
  const int secondChunk = EventNumber(bigWrite) + 2;
  RunningUpload run({"--simulate", QStringLiteral("family=STM32F4XX,pace=2,late=%1,answer-ms=600").arg(secondChunk),
                     "--trace", TraceArg(), "upload", kSample},
                    "Flash Write...");
  const auto sent = [this] {
    const QStringList names = QDir(dir.path()).entryList({"trace.txt.*"}, QDir::Files);
    return names.size() == 1 ? QString::fromUtf8(ReadFile(Path(names.first()))) : QString();
  };
  ASSERT_TRUE(test::RunUntil([&] { return sent().contains(bigWrite + "\nDATA "); }, 20000));
  run.Signal(SIGTERM);
  ASSERT_TRUE(run.WaitForError("Stopping after the current block")) << run.Err().toStdString();
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Finish(), 5) << run.Err().toStdString();
  EXPECT_TRUE(run.Err().contains("Upload interrupted; the device was restarted.")) << run.Err().toStdString();
  const QStringList trace = Trace();
  const qsizetype write = trace.indexOf(bigWrite);
  ASSERT_GE(write, 0);
  EXPECT_EQ(trace.mid(write + 1).filter(QRegularExpression("^DATA ")).size(), 32) << "the whole command";
  EXPECT_EQ(trace.last(), "REBOOT");
}

// A refused chunk, or a device that hangs on it, leaves it unknown where the
// device is inside its Write: nothing more reaches it, and the run says the
// device needs a reset. A hung device leaves the rest of the Write's reports
// queued behind one stuck in the system (5 s here): the program does not wait
// for it.
TEST_F(CliProcess, ChunkRefusedOrHungOnInsideAWriteLeavesTheDeviceForAResetAndSaysSo) {
  const int bigWriteData = EventNumber("WRITE 0x000C0000") + 1;
  for (const char* fault : {"nak", "stall"}) {
    SCOPED_TRACE(fault);
    QElapsedTimer clock;
    clock.start();
    const CliRun run =
        RunCli({"--simulate", QStringLiteral("family=STM32F4XX,%1=%2").arg(fault).arg(bigWriteData), "--trace",
                TraceArg(), "upload", kSample});
    EXPECT_EQ(run.exitCode, 4) << Describe(run);
    EXPECT_TRUE(
        run.err.contains("Upload failed: Error: Timeout waiting for MCU; the device was not restarted: "
                         "reset or power-cycle it before the next upload."))
        << Describe(run);
    EXPECT_EQ(Trace().size(), bigWriteData) << "nothing taken after that chunk";
    EXPECT_LT(clock.elapsed(), 5000);
  }
}

// The trace is written as the run goes on: a run killed half-way leaves what
// was sent under the temporary name, and the old trace where it was.
TEST_F(CliProcess, KilledRunLeavesItsTraceSoFarAndTheOldTrace) {
  // The first chunk stays unanswered for a while: the run is killed in that wait.
  const int firstData = EventNumber("DATA");
  WriteFile("trace.txt", "old trace\n");
  RunningUpload run({"--simulate", QStringLiteral("family=STM32F4XX,drop=%1").arg(firstData), "--trace",
                     TraceArg(), "upload", kSample},
                    "Flash Write...");
  const auto partial = [this] {
    const QStringList names = QDir(dir.path()).entryList({"trace.txt.*"}, QDir::Files);
    return names.size() == 1 ? ReadFile(Path(names.first())) : QByteArray();
  };
  EXPECT_TRUE(test::RunUntil([&] { return partial().contains("\nDATA "); }, 20000))
      << partial().toStdString();
  run.Signal(SIGKILL);
  EXPECT_EQ(run.Finish(), -1);
  EXPECT_EQ(ReadFile(TraceArg()), "old trace\n");
  EXPECT_TRUE(partial().startsWith("INFO\nBOOT\nSYNC\nERASE ")) << partial().toStdString();
}

std::vector<QJsonObject> ParseJsonLines(const CliRun& run) {
  std::vector<QJsonObject> events;
  for (const QString& line : run.OutLines()) {
    QJsonParseError error{};
    const auto doc = QJsonDocument::fromJson(line.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    EXPECT_TRUE(doc.isObject()) << line.toStdString();
    events.push_back(doc.object());
  }
  return events;
}

TEST_F(CliProcess, JsonCarriesTheSameLogThrottledProgressAndOneResult) {
  const CliRun plain = RunCli({"--simulate", "family=STM32F4XX", "upload", kSample});
  const CliRun json = RunCli({"--json", "--simulate", "family=STM32F4XX", "upload", kSample});
  ASSERT_EQ(json.exitCode, 0) << Describe(json);
  const auto events = ParseJsonLines(json);
  ASSERT_FALSE(events.empty());

  QStringList log;
  // Each phase (erase, write) is a run of events with one total; every one
  // of them must reach its total, whatever the throttling left out.
  std::vector<std::pair<int, int>> phases;  // total, highest done
  for (const QJsonObject& e : events) {
    const QString kind = e.value("event").toString();
    if (kind == "log") log << e.value("text").toString();
    if (kind == "progress") {
      ASSERT_TRUE(e.contains("done") && e.contains("total")) << QJsonDocument(e).toJson().toStdString();
      const int done = e.value("done").toInt(-1);
      const int total = e.value("total").toInt(-1);
      EXPECT_GT(total, 0);
      EXPECT_GE(done, 0);
      EXPECT_LE(done, total);
      if (phases.empty() || phases.back().first != total) phases.emplace_back(total, done);
      phases.back().second = std::max(phases.back().second, done);
    }
  }
  EXPECT_EQ(log, plain.OutLines()) << "the log events are the plain history lines";
  ASSERT_EQ(phases.size(), 2u) << "an erase and a write";
  for (const auto& [total, highest] : phases) EXPECT_EQ(highest, total);
  const QJsonObject& last = events.back();
  EXPECT_EQ(last.value("event").toString(), "result");
  EXPECT_EQ(last.value("exit").toInt(), 0);
  EXPECT_EQ(last.value("title").toString(), "Success");
}

TEST_F(CliProcess, JsonReportsTheDeclinedQuestionAndExit5) {
  const QString hex = WriteOversizedArmHex();
  const CliRun run = RunCli({"--json", "--simulate", kSmallArm, "upload", hex});
  EXPECT_EQ(run.exitCode, 5) << Describe(run);
  const auto events = ParseJsonLines(run);
  bool asked = false;
  for (const QJsonObject& e : events) {
    if (e.value("event").toString() == "question") {
      asked = true;
      EXPECT_EQ(e.value("answer").toString(), "no");
      EXPECT_TRUE(e.value("text").toString().contains("\r\nContinue?"));
    }
  }
  EXPECT_TRUE(asked);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().value("exit").toInt(), 5);
}

// The command line must drive the window's engine, not a copy of its flow:
// the same file and device give the same frames and the same image when the
// engine is driven in-process.
class CliMatchesEngine : public test::EngineFixture {
 protected:
  QTemporaryDir dir;
};

TEST_F(CliMatchesEngine, UploadTraceAndImageAgreeByteForByte) {
  const int id = PlugBootloader("family=STM32F4XX");
  ASSERT_FALSE(LoadFile(kSample).EndsAction());
  const TByteArray engineImage = engine->Images().FlashImage;
  ASSERT_TRUE(Connect());
  engine->Upload({});
  engine->Close();
  RunEventsFor(50);
  const std::string engineTrace = platform.TraceText(id);

  const QString trace = dir.filePath("trace.txt");
  const CliRun upload = RunCli({"--simulate", "family=STM32F4XX", "--trace", trace, "upload", kSample});
  ASSERT_EQ(upload.exitCode, 0) << Describe(upload);
  QFile traceFile(trace);
  ASSERT_TRUE(traceFile.open(QIODevice::ReadOnly));
  EXPECT_EQ(traceFile.readAll().toStdString(), engineTrace);

  const QString flash = dir.filePath("flash.bin");
  const CliRun image = RunCli({"--simulate", "family=STM32F4XX", "image", kSample, "--out", flash});
  ASSERT_EQ(image.exitCode, 0) << Describe(image);
  QFile flashFile(flash);
  ASSERT_TRUE(flashFile.open(QIODevice::ReadOnly));
  const QByteArray bytes = flashFile.readAll();
  EXPECT_EQ(TByteArray(bytes.begin(), bytes.end()), engineImage);
}

// --- proof of what was written, --skip-blank --------------------------------

QJsonObject ResultEvent(const CliRun& run) {
  const auto events = ParseJsonLines(run);
  for (const QJsonObject& e : events) {
    if (e.value("event").toString() == "result") return e;
  }
  ADD_FAILURE() << "no result event\n" << Describe(run);
  return {};
}

qint64 DataBytes(const QStringList& trace) {
  qint64 bytes = 0;
  for (const QString& line : trace) {
    if (line.startsWith("DATA ")) bytes += (line.size() - 5) / 2;
  }
  return bytes;
}

TEST_F(CliProcess, SkipBlankSendsAFewPercentOfTheSamplesDataAndProvesTheSameImage) {
  const CliRun full =
      RunCli({"--json", "--simulate", "family=STM32F4XX", "--trace", TraceArg(), "upload", kSample});
  ASSERT_EQ(full.exitCode, 0) << Describe(full);
  const QStringList fullTrace = Trace();
  const CliRun skip = RunCli(
      {"--json", "--skip-blank", "--simulate", "family=STM32F4XX", "--trace", TraceArg(), "upload", kSample});
  ASSERT_EQ(skip.exitCode, 0) << Describe(skip);
  const QStringList skipTrace = Trace();

  const auto chunks = [](const QStringList& trace) {
    return trace.filter(QRegularExpression("^DATA ")).size();
  };
  EXPECT_LE(chunks(skipTrace) * 20, chunks(fullTrace)) << chunks(skipTrace) << " of " << chunks(fullTrace);
  EXPECT_EQ(fullTrace.filter(QRegularExpression("^ERASE ")), skipTrace.filter(QRegularExpression("^ERASE ")));

  const QJsonObject fullResult = ResultEvent(full);
  const QJsonObject skipResult = ResultEvent(skip);
  EXPECT_EQ(fullResult.value("bytes").toInteger(), DataBytes(fullTrace));
  EXPECT_EQ(skipResult.value("bytes").toInteger(), DataBytes(skipTrace));
  EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(fullResult.value("sha256").toString()).hasMatch());
  EXPECT_EQ(skipResult.value("sha256"), fullResult.value("sha256"));
  EXPECT_FALSE(fullResult.contains("boot_sha256"));
}

TEST_F(CliProcess, ImageShowsWhatAnUploadWritesInTextAndJson) {
  // PIC32 with boot flash: both hashes.
  const QString hex = WriteHex("pic32.hex", {{0x1D000000, std::vector<std::uint8_t>(3000, 0x5A)},
                                             {0x1FC00000, std::vector<std::uint8_t>(300, 0x27)}});
  const QString out = Path("flash.bin");
  for (const bool skip : {false, true}) {
    SCOPED_TRACE(skip ? "--skip-blank" : "default");
    QStringList common = {"--simulate", "family=PIC32"};
    if (skip) common << "--skip-blank";
    const CliRun upload = RunCli(QStringList{"--json"} + common + QStringList{"upload", hex});
    const CliRun image = RunCli(QStringList{"--json"} + common + QStringList{"image", hex, "--out", out});
    ASSERT_EQ(upload.exitCode, 0) << Describe(upload);
    ASSERT_EQ(image.exitCode, 0) << Describe(image);
    const QJsonObject uploaded = ResultEvent(upload);
    const QJsonObject shown = ResultEvent(image);
    for (const char* key : {"bytes", "sha256", "boot_sha256"}) {
      EXPECT_TRUE(uploaded.contains(key)) << key;
      EXPECT_EQ(uploaded.value(key), shown.value(key)) << key;
    }

    const CliRun quietUpload = RunCli(QStringList{"-q"} + common + QStringList{"upload", hex});
    const CliRun plainImage = RunCli(common + QStringList{"image", hex, "--out", out});
    const QString numbers =
        QStringLiteral("%1 bytes, program SHA-256 %2, boot SHA-256 %3")
            .arg(uploaded.value("bytes").toInteger())
            .arg(uploaded.value("sha256").toString(), uploaded.value("boot_sha256").toString());
    EXPECT_TRUE(quietUpload.err.split('\n').contains("Wrote " + numbers)) << Describe(quietUpload);
    EXPECT_TRUE(plainImage.err.split('\n').contains("An upload writes " + numbers)) << Describe(plainImage);
  }
}

}  // namespace
}  // namespace quorvel
