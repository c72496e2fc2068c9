// Runs the built quorvel-cli as a process against simulated bootloaders and
// checks what a script sees: exit codes, output lines, device traces, images.
#include <gtest/gtest.h>
#include <signal.h>

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
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

CliRun RunCli(const QStringList& args, int timeoutMs = 60000) {
  QProcess process;
  process.setProgram(kCli);
  process.setArguments(args);
  process.setStandardInputFile(QProcess::nullDevice());
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
 protected:
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
  EXPECT_EQ(Trace(), QStringList{"INFO"});
}

struct HandshakeFault {
  const char* name;
  const char* fault;  // appended to the profile
  const char* errorLine;
};

class CliHandshakeFault : public CliProcess, public ::testing::WithParamInterface<HandshakeFault> {};

// Events 2 and 3 are Boot and Sync: the handshake fails, nothing is erased.
TEST_P(CliHandshakeFault, EndsWithExit4BeforeAnyErase) {
  const CliRun run = RunCli({"--simulate", QStringLiteral("family=STM32F4XX,") + GetParam().fault, "--trace",
                             TraceArg(), "upload", kSample});
  EXPECT_EQ(run.exitCode, 4) << Describe(run);
  EXPECT_TRUE(InOrder(run.OutLines(), {"Waiting MCU response...", GetParam().errorLine, "Disconnected."}))
      << Describe(run);
  EXPECT_TRUE(Trace().filter(QRegularExpression("^(ERASE|WRITE)")).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CliHandshakeFault,
    ::testing::Values(HandshakeFault{"BootUnanswered", "drop=2", "Error: Timeout waiting for MCU."},
                      HandshakeFault{"BootRefused", "nak=2", "Error: Timeout waiting for MCU."},
                      HandshakeFault{"SyncUnanswered", "drop=3", "Error: Timeout waiting for MCU."},
                      HandshakeFault{"UnpluggedOnBoot", "unplug=2", "Error: Device removed."}),
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

  const CliRun second = RunCli(two + QStringList{"--serial", "B2", "info"});
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
  EXPECT_TRUE(run.OutLines().contains("* USB HID Bootloader (Serial=7)")) << Describe(run);
  EXPECT_TRUE(run.OutLines().contains("  Keyboard")) << Describe(run);
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

TEST_F(CliProcess, InterruptStopsTheUploadLikeTheStopButtonAndRestartsTheDevice) {
  QProcess process;
  process.setProgram(kCli);
  // Paced so the upload is still writing when the signal arrives.
  process.setArguments({"--simulate", "family=STM32F4XX,pace=2", "--trace", TraceArg(), "upload", kSample});
  process.setStandardInputFile(QProcess::nullDevice());
  process.start();
  ASSERT_TRUE(process.waitForStarted(10000));
  QByteArray out;
  while (!out.contains("Flash Write...") && process.waitForReadyRead(20000))
    out += process.readAllStandardOutput();
  ASSERT_TRUE(out.contains("Flash Write...")) << out.toStdString();
  ::kill(static_cast<pid_t>(process.processId()), SIGINT);
  ASSERT_TRUE(process.waitForFinished(30000));
  out += process.readAllStandardOutput();
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 5) << out.toStdString();
  EXPECT_TRUE(out.contains("Upload aborted.")) << out.toStdString();
  EXPECT_FALSE(out.contains("Completed successfully.")) << out.toStdString();
  EXPECT_EQ(Trace().last(), "REBOOT");
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
  int progress = 0;
  for (const QJsonObject& e : events) {
    const QString kind = e.value("event").toString();
    if (kind == "log") log << e.value("text").toString();
    if (kind == "progress") {
      ++progress;
      EXPECT_LE(e.value("done").toInt(), e.value("total").toInt());
      EXPECT_GE(e.value("done").toInt(), 0);
    }
  }
  EXPECT_EQ(log, plain.OutLines()) << "the log events are the plain history lines";
  EXPECT_GT(progress, 0);
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
  bool loaded = false;
  pelmo->Guarded([&] { loaded = pelmo->LoadHexFile(kSample); });
  ASSERT_TRUE(loaded);
  const TByteArray engineImage = pelmo->FlashImage;
  ASSERT_TRUE(Connect());
  pelmo->Guarded([&] { pelmo->ButtonStartBootloaderClick(); });
  pelmo->Guarded([&] { pelmo->FormClose(); });
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

}  // namespace
}  // namespace quorvel
