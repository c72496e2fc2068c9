// SPDX-License-Identifier: Apache-2.0
// quorvel-cli run as a process for production work: boards chosen by path,
// ambiguous choices, the quiet result, the log, phased JSON progress, and
// several boards at once (--all) or one after another (--repeat).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <string>
#include <vector>

namespace quorvel {
namespace {

const QString kCli = QStringLiteral(QUORVEL_CLI_PATH);
const QString kSample = QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex");
const QString kPic18 = QStringLiteral(QUORVEL_VM_DATA_DIR "/pic18.hex");
const QString kPic32 = QStringLiteral(QUORVEL_VM_DATA_DIR "/pic32.hex");
const QString kStm32Small = QStringLiteral(QUORVEL_VM_DATA_DIR "/stm32-small.hex");

struct CliRun {
  int exitCode = -1;
  QString out;
  QString err;
  QStringList OutLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
  std::string Describe() const {
    return "exit " + std::to_string(exitCode) + "\n--- stdout\n" + out.toStdString() + "--- stderr\n" +
           err.toStdString();
  }
  std::vector<QJsonObject> Events() const {
    std::vector<QJsonObject> events;
    for (const QString& line : OutLines()) {
      QJsonParseError error{};
      const auto doc = QJsonDocument::fromJson(line.toUtf8(), &error);
      EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
      events.push_back(doc.object());
    }
    return events;
  }
};

// Runs in the background; stdout is collected while waiting for markers.
class Running {
 public:
  explicit Running(const QStringList& args, const std::function<void(QProcess&)>& setup = {}) {
    process_.setProgram(kCli);
    process_.setArguments(args);
    process_.setStandardInputFile(QProcess::nullDevice());
    if (setup) setup(process_);
    process_.start();
    EXPECT_TRUE(process_.waitForStarted(10000));
  }
  bool WaitFor(const QString& marker, bool onErr = false) {
    QByteArray& seen = onErr ? err_ : out_;
    process_.setReadChannel(onErr ? QProcess::StandardError : QProcess::StandardOutput);
    while (!seen.contains(marker.toUtf8()) && process_.waitForReadyRead(20000)) {
      out_ += process_.readAllStandardOutput();
      err_ += process_.readAllStandardError();
    }
    return seen.contains(marker.toUtf8());
  }
  pid_t ProcessId() const { return static_cast<pid_t>(process_.processId()); }
  void Signal(int signo) { ::kill(ProcessId(), signo); }
  CliRun Finish() {
    CliRun run;
    if (!process_.waitForFinished(60000)) {
      process_.kill();
      process_.waitForFinished();
      ADD_FAILURE() << "quorvel-cli did not finish";
    }
    run.out = QString::fromUtf8(out_ + process_.readAllStandardOutput());
    run.err = QString::fromUtf8(err_ + process_.readAllStandardError());
    run.exitCode = process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    // Flash written wrongly fails any run, expected or not.
    EXPECT_FALSE(run.err.contains("VIOLATION") || run.out.contains("VIOLATION")) << run.Describe();
    return run;
  }

 private:
  QProcess process_;
  QByteArray out_;
  QByteArray err_;
};

CliRun RunCli(const QStringList& args, const std::function<void(QProcess&)>& setup = {}) {
  return Running(args, setup).Finish();
}

QStringList Sims(const QStringList& profileTexts) {
  QStringList args;
  for (const QString& profileText : profileTexts) args << "--simulate" << profileText;
  return args;
}

class CliProduction : public ::testing::Test {
 public:
  QTemporaryDir dir;
  QString Path(const QString& name) const { return dir.filePath(name); }
  QStringList Trace(const QString& name = "trace.txt") const {
    QFile file(Path(name));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  }
  QString ReadText(const QString& name) const {
    QFile file(Path(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }
};

// --- choosing a board ---

TEST_F(CliProduction, DeviceTakesTheNthSimulatedBoardAndLeavesTheOthersAlone) {
  const CliRun run =
      RunCli(Sims({"family=STM32F4XX,serial=A", "family=STM32F4XX,serial=B"}) +
             QStringList{"--trace", Path("trace.txt"), "--device", "sim:2", "upload", kSample});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_TRUE(Trace().isEmpty()) << "the first board was not even asked: " << Trace().join(' ').toStdString();

  const CliRun info =
      RunCli(Sims({"family=PIC18", "family=PIC32"}) + QStringList{"--device", "sim:2", "info"});
  ASSERT_EQ(info.exitCode, 0) << info.Describe();
  EXPECT_TRUE(info.OutLines().contains("Family:        PIC32 (20)")) << info.Describe();

  const CliRun beyond = RunCli(Sims({"family=PIC18"}) + QStringList{"--device", "sim:2", "info"});
  EXPECT_EQ(beyond.exitCode, 1) << beyond.Describe();
}

// sim:N counts --simulate options, not the order in which boards appear.
TEST_F(CliProduction, DeviceNumberStaysWithItsBoardWhenItIsPluggedLater) {
  const CliRun run = RunCli(Sims({"family=PIC18,plug-after=300", "family=PIC32"}) +
                            QStringList{"--wait", "5", "--device", "sim:1", "info"});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_TRUE(run.OutLines().contains("Family:        PIC18 (2)")) << run.Describe();

  const CliRun list = RunCli(Sims({"family=PIC18,plug-after=200,serial=L", "family=PIC32,serial=F"}) +
                             QStringList{"--wait", "1", "list"});
  EXPECT_TRUE(list.OutLines().contains("* sim:2  04d8:003c  USB HID Bootloader (Serial=F)"))
      << list.Describe();
}

TEST_F(CliProduction, AmbiguousChoiceListsEveryCandidateWithPathAndSerial) {
  const CliRun run = RunCli(Sims({"family=STM32F4XX", "family=PIC32,serial=P"}) + QStringList{"info"});
  EXPECT_EQ(run.exitCode, 2) << run.Describe();
  EXPECT_TRUE(run.err.contains("choose one with --device or --serial")) << run.Describe();
  EXPECT_TRUE(run.err.contains("  sim:1  USB HID Bootloader (no serial)")) << run.Describe();
  EXPECT_TRUE(run.err.contains("  sim:2  USB HID Bootloader (Serial=P)")) << run.Describe();
}

// On a production line a guess flashes the wrong board.
TEST_F(CliProduction, TwoBoardsWithTheSameSerialAreNotGuessedBetween) {
  const CliRun run = RunCli(Sims({"serial=1", "serial=1"}) +
                            QStringList{"--trace", Path("trace.txt"), "--serial", "1", "upload", kSample});
  EXPECT_EQ(run.exitCode, 2) << run.Describe();
  EXPECT_TRUE(run.err.contains("Several bootloaders have serial '1'; choose one with --device"))
      << run.Describe();
  EXPECT_TRUE(run.err.contains("  sim:2  USB HID Bootloader (Serial=1)")) << run.Describe();
  EXPECT_FALSE(Trace().contains("BOOT")) << Trace().join(' ').toStdString();

  const CliRun chosen = RunCli(Sims({"serial=1", "serial=1"}) +
                               QStringList{"--serial", "1", "--device", "sim:2", "--yes", "upload", kSample});
  EXPECT_EQ(chosen.exitCode, 0) << chosen.Describe();
}

TEST_F(CliProduction, FamilyMayBeGivenAsAHexCode) {
  const CliRun run = RunCli(Sims({"family=0x25"}) + QStringList{"info"});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_TRUE(run.OutLines().contains("Family:        STM32F4XX (37)")) << run.Describe();
  EXPECT_EQ(RunCli(Sims({"family=0x99"}) + QStringList{"info"}).exitCode, 1);
  EXPECT_EQ(RunCli(Sims({"family=0x"}) + QStringList{"info"}).exitCode, 1);
}

// list names the boards from what the system says of them: it opens none and
// sends nothing to any.
TEST_F(CliProduction, ListShowsPathVidPidAndSerialAlsoInJsonAndTalksToNoBoard) {
  const CliRun json = RunCli(Sims({"family=PIC18,serial=S1,vid=0x1209,pid=0x0002", "family=PIC32"}) +
                             QStringList{"--json", "--verbose", "--trace", Path("trace.txt"), "list"});
  ASSERT_EQ(json.exitCode, 0) << json.Describe();
  const QJsonObject device = json.Events().front();
  EXPECT_EQ(device.value("event").toString(), "device");
  EXPECT_EQ(device.value("path").toString(), "sim:1");
  EXPECT_EQ(device.value("serial").toString(), "S1");
  EXPECT_EQ(device.value("vid").toInt(), 0x1209);
  EXPECT_FALSE(device.value("busy").toBool());
  EXPECT_TRUE(Trace().isEmpty()) << Trace().join(' ').toStdString();
  bool counted = false;
  for (const QJsonObject& e : json.Events()) {
    if (!e.value("text").toString().startsWith("Opens per simulated board:")) continue;
    counted = true;
    EXPECT_TRUE(e.value("text").toString().startsWith("Opens per simulated board: sim:1 0, sim:2 0;")) << json.Describe();
  }
  EXPECT_TRUE(counted) << json.Describe();
}

// --- quiet and log ---

TEST_F(CliProduction, QuietPrintsTheResultLineAndErrorsOnly) {
  const CliRun ok = RunCli(Sims({"family=STM32F4XX"}) + QStringList{"-q", "upload", kSample});
  ASSERT_EQ(ok.exitCode, 0) << ok.Describe();
  // The result, then what was written (the proof belongs to the result), on
  // standard error as without -q.
  EXPECT_TRUE(ok.err.startsWith("Success: Uploading program completed successfully.\nWrote 131328 bytes, "
                                "program SHA-256 "))
      << ok.Describe();
  EXPECT_EQ(ok.err.count('\n'), 2) << ok.Describe();
  EXPECT_EQ(ok.out, "");

  const CliRun failed = RunCli(Sims({"family=STM32F4XX,nak=6"}) + QStringList{"-q", "upload", kSample});
  EXPECT_EQ(failed.exitCode, 4) << failed.Describe();
  EXPECT_FALSE(failed.out.contains("Success")) << failed.Describe();
  EXPECT_TRUE(failed.err.contains("quorvel-cli: Upload failed")) << failed.Describe();
}

TEST_F(CliProduction, LogAppendsTimestampedHistoryTheBoardAndTheResultEvenWhenQuiet) {
  QFile old(Path("run.log"));
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write("yesterday\n");
  old.close();
  const CliRun run =
      RunCli(Sims({"family=PIC18", "family=STM32F4XX,serial=L7,description=Line board"}) +
             QStringList{"-q", "--log", Path("run.log"), "--device", "sim:2", "upload", kSample});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  const QStringList lines = ReadText("run.log").split('\n', Qt::SkipEmptyParts);
  ASSERT_GE(lines.size(), 4);
  EXPECT_EQ(lines.first(), "yesterday");
  const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d{4} ");
  for (const QString& line : lines.mid(1)) EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
  const QString text = lines.join('\n');
  EXPECT_TRUE(text.contains(
      "[sim:2] Board: sim:2, serial L7, 04d8:003c, STM32F4XX (37), \"Line board\", revision 0x1200"))
      << text.toStdString();
  EXPECT_TRUE(text.contains("[sim:2] Flash Write...")) << text.toStdString();
  EXPECT_TRUE(
      lines.last().endsWith("[sim:2] Result: exit 0, Success: Uploading program completed successfully."))
      << text.toStdString();

  // A failure is recorded too, after what was there.
  const CliRun failed =
      RunCli(Sims({"family=PIC18"}) + QStringList{"--log", Path("run.log"), "upload", kSample});
  EXPECT_EQ(failed.exitCode, 3);
  const QString after = ReadText("run.log");
  EXPECT_TRUE(after.startsWith(text)) << after.toStdString();
  EXPECT_TRUE(after.contains("Error: HEX file")) << after.toStdString();
  EXPECT_TRUE(after.trimmed().section('\n', -1).contains("] Result: exit 3, Error: HEX file"))
      << after.toStdString();
}

TEST_F(CliProduction, LogThatIsAnotherFileOfTheRunOrNoRegularFileIsRefused) {
  const QStringList sim = Sims({"family=STM32F4XX"});
  const CliRun sameAsHex = RunCli(sim + QStringList{"--log", kSample, "upload", kSample});
  EXPECT_EQ(sameAsHex.exitCode, 1) << sameAsHex.Describe();
  const CliRun sameAsTrace =
      RunCli(sim + QStringList{"--log", Path("t.txt"), "--trace", Path("t.txt"), "upload", kSample});
  EXPECT_EQ(sameAsTrace.exitCode, 1) << sameAsTrace.Describe();
  EXPECT_FALSE(QFile::exists(Path("t.txt")));
  const CliRun folder = RunCli(sim + QStringList{"--log", dir.path(), "upload", kSample});
  EXPECT_EQ(folder.exitCode, 1) << folder.Describe();
  const CliRun device = RunCli(sim + QStringList{"--log", "/dev/null", "info"});
  EXPECT_EQ(device.exitCode, 1) << device.Describe();
}

TEST_F(CliProduction, LogThatCannotBeWrittenEndsWithExit6) {
  QFile full(Path("full.log"));
  ASSERT_TRUE(full.open(QIODevice::WriteOnly));
  full.write(QByteArray(4096, 'x'));
  full.close();
  const CliRun run =
      RunCli(Sims({"family=STM32F4XX"}) + QStringList{"--log", Path("full.log"), "upload", kSample},
             [](QProcess& process) {
               process.setChildProcessModifier([] {
                 // The log is at the limit already: its first append fails.
                 const rlimit limit{4096, 4096};
                 ::setrlimit(RLIMIT_FSIZE, &limit);
               });
             });
  EXPECT_EQ(run.exitCode, 6) << run.Describe();
  EXPECT_TRUE(run.err.contains("cannot append to the log file")) << run.Describe();
}

// The parent of --all says so itself, besides what its children say.
TEST_F(CliProduction, AllWithALogThatCannotBeWrittenEndsWithExit6) {
  QFile full(Path("full.log"));
  ASSERT_TRUE(full.open(QIODevice::WriteOnly));
  full.write(QByteArray(4096, 'x'));
  full.close();
  const CliRun run =
      RunCli(Sims({"family=STM32F4XX"}) + QStringList{"--log", Path("full.log"), "--all", "upload", kSample},
             [](QProcess& process) {
               process.setChildProcessModifier([] {
                 const rlimit limit{4096, 4096};
                 ::setrlimit(RLIMIT_FSIZE, &limit);
               });
             });
  EXPECT_EQ(run.exitCode, 6) << run.Describe();
  EXPECT_TRUE(run.err.contains("quorvel-cli: cannot append to the log file '" + Path("full.log") + "': "))
      << run.Describe();
}

// The parent checks once what every board would refuse, in the same words
// the one-board commands use, and starts no board.
TEST_F(CliProduction, AllRefusesBeforeAnyBoardInItsOwnWords) {
  const QString missing = Path("missing.hex");
  struct Row {
    QStringList args;
    int exitCode;
    QString error;
  };
  const Row rows[] = {
      {Sims({"family=STM32F4XX"}) + QStringList{"--all", "upload", missing}, 3,
       "HEX file '" + missing + "' cannot be read: "},
      {Sims({"family=STM32F4XX"}) + QStringList{"--log", kSample, "--all", "upload", kSample}, 1,
       "The HEX file '" + kSample + "' and --log '" + kSample + "' are the same file. Nothing was done."},
      {Sims({"family=STM32F4XX"}) + QStringList{"--log", dir.path(), "--all", "upload", kSample}, 1,
       "--log '" + dir.path() + "' cannot be written: "},
      {Sims({"family=NOPE"}) + QStringList{"--all", "upload", kSample}, 1,
       "bad --simulate 'family=NOPE': unknown family"},
  };
  for (const Row& row : rows) {
    const CliRun run = RunCli(row.args);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.Describe();
    EXPECT_TRUE(run.err.contains(row.error)) << run.Describe();
    EXPECT_FALSE(run.out.contains("Uploading to") || run.err.contains("sim:1:")) << run.Describe();
  }
}

// --- progress ---

TEST_F(CliProduction, JsonProgressHasPhasesNeverGoesBackAndEndsBeforeTheResult) {
  const CliRun run = RunCli(Sims({"family=PIC32"}) + QStringList{"--json", "--yes", "upload", kPic32});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  const auto events = run.Events();
  QMap<QString, qint64> lastDone;
  QStringList phases;
  bool resultSeen = false;
  for (const QJsonObject& e : events) {
    const QString kind = e.value("event").toString();
    if (kind == "result") resultSeen = true;
    if (kind != "progress") continue;
    EXPECT_FALSE(resultSeen) << "progress after the result";
    const QString phase = e.value("phase").toString();
    ASSERT_TRUE(QStringList({"erase", "write", "boot-erase", "boot-write"}).contains(phase))
        << phase.toStdString();
    if (phases.isEmpty() || phases.last() != phase) phases << phase;
    const qint64 done = e.value("done").toInteger();
    EXPECT_GE(done, lastDone.value(phase, 0)) << phase.toStdString() << " went back";
    EXPECT_LE(done, e.value("total").toInteger());
    lastDone[phase] = done;
  }
  EXPECT_TRUE(phases.contains("write")) << phases.join(' ').toStdString();
  EXPECT_TRUE(phases.contains("boot-write")) << phases.join(' ').toStdString();
  EXPECT_EQ(phases.count("write"), 1) << "a phase comes once: " << phases.join(' ').toStdString();
  EXPECT_EQ(events.back().value("event").toString(), "result");
}

// --- several boards at once ---

TEST_F(CliProduction, AllFlashesEveryBoardAndSumsUpWithTheWorstExitCode) {
  const CliRun run =
      RunCli(Sims({"family=STM32F4XX,serial=A", "family=STM32F4XX,nak=6", "family=STM32F4XX,serial=C"}) +
             QStringList{"--all", "upload", kSample});
  EXPECT_EQ(run.exitCode, 4) << run.Describe();
  const QStringList lines = run.OutLines();
  // A board that succeeded says what it was written, as a one-board upload does.
  EXPECT_TRUE(lines
                  .filter(QRegularExpression("^sim:1 \\(Serial=A\\): succeeded in \\d+\\.\\d\\d s, "
                                             "wrote 131328 bytes, program SHA-256 [0-9a-f]{64}$"))
                  .size() == 1)
      << run.Describe();
  EXPECT_TRUE(lines.filter(QRegularExpression("^sim:2 \\(no serial\\): failed \\(exit 4\\) in ")).size() == 1)
      << run.Describe();
  EXPECT_TRUE(lines.filter(QRegularExpression("^sim:3 \\(Serial=C\\): succeeded in ")).size() == 1)
      << run.Describe();
  EXPECT_EQ(lines.last(), "2 succeeded, 1 failed");

  // A refused file (3) counts before an aborted board (5), after a device error.
  const CliRun refused =
      RunCli(Sims({"family=STM32F4XX", "family=PIC18"}) + QStringList{"--all", "upload", kSample});
  EXPECT_EQ(refused.exitCode, 3) << refused.Describe();
  EXPECT_EQ(refused.OutLines().last(), "1 succeeded, 1 failed");

  const CliRun none =
      RunCli(Sims({"family=PIC18,plug-after=5000"}) + QStringList{"--all", "upload", kSample});
  EXPECT_EQ(none.exitCode, 2) << none.Describe();
}

// FILE '-': read once by the parent, the same bytes for every board.
TEST_F(CliProduction, AllGivesStandardInputToEveryBoard) {
  const CliRun run = RunCli(Sims({"family=STM32F4XX,serial=A", "family=STM32F4XX,serial=B"}) +
                                QStringList{"--all", "upload", "-"},
                            [](QProcess& p) { p.setStandardInputFile(kSample); });
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_EQ(run.OutLines().filter(QRegularExpression(", wrote 131328 bytes, program SHA-256 a41aa263")).size(), 2)
      << run.Describe();
}

// A board that comes after the start is left to the next run, not flashed by
// a child that the listing never saw.
TEST_F(CliProduction, AllTakesOnlyTheBoardsAttachedAtTheStart) {
  const CliRun run = RunCli(Sims({"family=STM32F4XX,serial=A", "family=STM32F4XX,serial=B,plug-after=100"}) +
                            QStringList{"--wait", "5", "--all", "upload", kSample});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_TRUE(run.err.contains("Uploading to 1 board(s): sim:1\n")) << run.Describe();
  EXPECT_EQ(run.OutLines().filter(" succeeded in ").size(), 1) << run.Describe();
  EXPECT_EQ(run.OutLines().last(), "1 succeeded, 0 failed");
}

TEST_F(CliProduction, AllInJsonNamesTheBoardInEveryEventAndEndsWithASummary) {
  const CliRun run = RunCli(Sims({"family=STM32F4XX,serial=A", "family=PIC18,serial=B"}) +
                            QStringList{"--json", "--all", "upload", kSample});
  EXPECT_EQ(run.exitCode, 3) << run.Describe();
  const auto events = run.Events();
  ASSERT_FALSE(events.empty());
  QMap<QString, QJsonObject> results;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    const QJsonObject& e = events[i];
    const QString path = e.value("path").toString();
    EXPECT_TRUE(path == "sim:1" || path == "sim:2") << QJsonDocument(e).toJson().toStdString();
    if (e.value("event").toString() == "result") {
      EXPECT_FALSE(results.contains(path)) << "one result per board";
      results[path] = e;
    }
  }
  ASSERT_EQ(results.size(), 2);
  EXPECT_EQ(results["sim:1"].value("serial").toString(), "A");
  EXPECT_EQ(results["sim:1"].value("exit").toInt(), 0);
  EXPECT_EQ(results["sim:1"].value("bytes").toInteger(), 131328);
  EXPECT_EQ(results["sim:1"].value("sha256").toString().size(), 64);
  EXPECT_FALSE(results["sim:2"].contains("sha256")) << "a board that failed proves nothing";
  EXPECT_EQ(results["sim:2"].value("serial").toString(), "B");
  EXPECT_EQ(results["sim:2"].value("exit").toInt(), 3);
  EXPECT_GT(results["sim:1"].value("seconds").toDouble(), 0.0);
  const QJsonObject& summary = events.back();
  EXPECT_EQ(summary.value("event").toString(), "summary");
  EXPECT_EQ(summary.value("exit").toInt(), 3);
  EXPECT_EQ(summary.value("succeeded").toInt(), 1);
  EXPECT_EQ(summary.value("failed").toInt(), 1);
}

// The parent lists the boards once; each child opens its own board only and
// rescans for no other board's coming (here two plugged in mid-run). The
// children count what they opened (--verbose, simulated boards).
TEST_F(CliProduction, AllChildrenOpenOnlyTheirBoardAndIgnoreTheOthersChanges) {
  const CliRun run = RunCli(Sims({"family=STM32F4XX,pace=1", "family=STM32F4XX,pace=1",
                                  "family=STM32F4XX,plug-after=300", "family=STM32F4XX,plug-after=600"}) +
                            QStringList{"--json", "--verbose", "--all", "upload", kSample});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  const QRegularExpression counts(
      "^Opens per simulated board: sim:1 (\\d+), sim:2 (\\d+), sim:3 (\\d+), sim:4 (\\d+); device changes "
      "handled after the start-up scan: (\\d+)\\.$");
  int children = 0;
  for (const QJsonObject& e : run.Events()) {
    const auto match = counts.match(e.value("text").toString());
    if (!match.hasMatch()) continue;
    ++children;
    const int own = e.value("path").toString().mid(4).toInt();
    for (int board = 1; board <= 4; ++board) {
      if (board == own) {
        EXPECT_GT(match.captured(board).toInt(), 0) << run.Describe();
      } else {
        EXPECT_EQ(match.captured(board).toInt(), 0) << "sim:" << own << " opened sim:" << board;
      }
    }
    // At most its own board's going, as it restarts.
    EXPECT_LE(match.captured(5).toInt(), 1) << "sim:" << own << " rescanned for another board";
  }
  EXPECT_EQ(children, 2) << run.Describe();
}

// Each board is written by its own process: the boards' writes overlap.
TEST_F(CliProduction, AllRunsTheBoardsAtTheSameTime) {
  const CliRun run =
      RunCli(Sims({"family=STM32F4XX,pace=1", "family=STM32F4XX,pace=1", "family=STM32F4XX,pace=1"}) +
             QStringList{"--all", "upload", kSample});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  double longest = 0;
  for (const QString& line : run.OutLines().filter(" succeeded in ")) {
    longest = std::max(longest, line.section(" in ", 1).section(' ', 0, 0).toDouble());
  }
  const CliRun one = RunCli(Sims({"family=STM32F4XX,pace=1"}) + QStringList{"--all", "upload", kSample});
  ASSERT_EQ(one.exitCode, 0) << one.Describe();
  const double single = one.OutLines().first().section(" in ", 1).section(' ', 0, 0).toDouble();
  // One after another would take three times as long.
  EXPECT_LT(longest, single * 2.0) << run.Describe() << one.Describe();
}

TEST_F(CliProduction, AllPassesASignalOnToEveryBoard) {
  Running running(Sims({"family=STM32F4XX,pace=2", "family=STM32F4XX,pace=2"}) +
                  QStringList{"--json", "--all", "upload", kSample});
  ASSERT_TRUE(running.WaitFor("\"path\":\"sim:2\",\"event\":\"log\",\"text\":\"Flash Write...\""));
  ASSERT_TRUE(running.WaitFor("\"path\":\"sim:1\",\"event\":\"log\",\"text\":\"Flash Write...\""));
  running.Signal(SIGTERM);
  const CliRun run = running.Finish();
  EXPECT_EQ(run.exitCode, 5) << run.Describe();
  int aborted = 0;
  for (const QJsonObject& e : run.Events()) {
    if (e.value("event").toString() == "result" && e.value("exit").toInt() == 5) ++aborted;
    if (e.value("event").toString() == "log") {
      EXPECT_NE(e.value("text").toString(), "Completed successfully.");
    }
  }
  EXPECT_EQ(aborted, 2) << run.Describe();
}

// Whether `pid` catches SIGTERM yet: from then on a signal is the run's to handle.
bool CatchesTerm(pid_t pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return false;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("SigCgt:"))
      return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
  }
  return false;
}

// A signal before any board is started ends the run with 5 and starts none:
// while standard input (a pipe that stays open) is read, while --wait waits,
// and in a child that has it before its handlers exist (the parent passes a
// signal on as soon as a child is forked).
TEST_F(CliProduction, ASignalBeforeTheBoardsStartEndsWith5AndStartsNone) {
  const QString fifo = Path("input");
  ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
  const int writer = ::open(fifo.toLocal8Bit().constData(), O_RDWR);  // keeps the pipe open and silent
  ASSERT_GE(writer, 0);
  struct Row {
    const char* name;
    QStringList args;
    std::function<void(QProcess&)> setup;
    bool pendingAtStart = false;  // sent at once, blocked as a child of --all has it
  };
  const Row rows[] = {
      {"standard input", Sims({"family=STM32F4XX"}) + QStringList{"--all", "upload", "-"},
       [&fifo](QProcess& p) { p.setStandardInputFile(fifo); }},
      {"--wait",
       Sims({"family=STM32F4XX,plug-after=60000"}) + QStringList{"--wait", "30", "--all", "upload", kSample},
       {}},
      {"child start", Sims({"family=STM32F4XX"}) + QStringList{"--json", "upload", kSample},
       [](QProcess& p) {
         p.setChildProcessModifier([] {
           sigset_t term;
           sigemptyset(&term);
           sigaddset(&term, SIGTERM);
           ::sigprocmask(SIG_BLOCK, &term, nullptr);
         });
       },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Running running(row.args, row.setup);
    for (int i = 0; i < 2000 && !row.pendingAtStart && !CatchesTerm(running.ProcessId()); ++i) ::usleep(5000);
    running.Signal(SIGTERM);
    const CliRun run = running.Finish();
    EXPECT_EQ(run.exitCode, 5) << run.Describe();
    EXPECT_FALSE(run.out.contains("Flash Erase") || run.out.contains("Flash Write")) << run.Describe();
    EXPECT_TRUE(run.err.contains("Interrupted.") || run.out.contains("Interrupted.")) << run.Describe();
    if (row.args.contains("--all")) {
      EXPECT_EQ(run.OutLines().last(), "0 succeeded, 0 failed");
    }
  }
  ::close(writer);
}

// Children whose parent process is `parent`.
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> found;
  const QDir proc(QStringLiteral("/proc"));
  for (const QString& name : proc.entryList(QDir::Dirs)) {
    bool number = false;
    const pid_t pid = name.toInt(&number);
    if (!number) continue;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    // "pid (comm) state ppid ...": the name may hold blanks, so read after its ')'.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() > 1 && fields[1].toInt() == parent) found.push_back(pid);
  }
  return found;
}

bool Gone(pid_t pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return true;
  const QByteArray line = stat.readAll();
  return line.mid(line.lastIndexOf(')') + 2).startsWith('Z');
}

TEST_F(CliProduction, AllChildrenEndWhenTheParentIsKilled) {
  QProcess parent;
  parent.setProgram(kCli);
  // Paced to take far longer than the wait below.
  parent.setArguments(Sims({"family=STM32F4XX,pace=20", "family=STM32F4XX,pace=20"}) +
                      QStringList{"--json", "--all", "upload", kSample});
  parent.start();
  ASSERT_TRUE(parent.waitForStarted(10000));
  QByteArray out;
  while (out.count("Flash Write...") < 2 && parent.waitForReadyRead(20000))
    out += parent.readAllStandardOutput();
  const std::vector<pid_t> children = ChildrenOf(static_cast<pid_t>(parent.processId()));
  ASSERT_EQ(children.size(), 2u) << out.toStdString();
  ::kill(static_cast<pid_t>(parent.processId()), SIGKILL);
  parent.waitForFinished(10000);
  // Each child first restarts its board (up to 2 s of draining); a loaded
  // sanitizer build needs several times that, so allow 30 s before calling it
  // left behind.
  for (const pid_t child : children) {
    bool gone = false;
    for (int i = 0; i < 600 && !gone; ++i) {
      gone = Gone(child);
      if (!gone) ::usleep(50000);
    }
    EXPECT_TRUE(gone) << "child " << child << " outlived its parent";
  }
}

// QProcess gives a killed child's signal number as its exit code; the board
// must count as failed on the device (4), not end the run with exit 9.
TEST_F(CliProduction, AllCountsAChildKilledByASignalAsADeviceFault) {
  Running running(Sims({"family=STM32F4XX,pace=20"}) + QStringList{"--json", "--all", "upload", kSample});
  ASSERT_TRUE(running.WaitFor("\"event\":\"log\",\"text\":\"Flash Write...\""));
  const std::vector<pid_t> children = ChildrenOf(running.ProcessId());
  ASSERT_EQ(children.size(), 1u);
  ::kill(children[0], SIGKILL);
  const CliRun run = running.Finish();
  EXPECT_EQ(run.exitCode, 4) << run.Describe();
  const auto events = run.Events();
  ASSERT_GE(events.size(), 2u) << run.Describe();
  const QJsonObject& result = events[events.size() - 2];
  EXPECT_EQ(result.value("event").toString(), "result");
  EXPECT_EQ(result.value("exit").toInt(), 4);
  EXPECT_EQ(result.value("text").toString(), "quorvel-cli ended by a signal.");
  EXPECT_EQ(events.back().value("exit").toInt(), 4);
  EXPECT_EQ(events.back().value("failed").toInt(), 1);
}

// --- one board after another ---

TEST_F(CliProduction, RepeatFlashesEachBoardAsItArrivesUpToTheCount) {
  const CliRun run = RunCli(Sims({"family=PIC18,serial=A", "family=PIC18,serial=B,plug-after=400"}) +
                            QStringList{"--repeat", "--count", "2", "upload", kPic18});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  const QStringList lines = run.OutLines();
  EXPECT_EQ(lines.filter(QRegularExpression("^sim:1 \\(Serial=A\\): succeeded in .*, program SHA-256 ")).size(),
            1)
      << run.Describe();
  EXPECT_EQ(lines.filter(QRegularExpression("^sim:2 \\(Serial=B\\): succeeded in .*, program SHA-256 ")).size(),
            1)
      << run.Describe();
  EXPECT_EQ(lines.count("Completed successfully."), 2) << "each board once";
  EXPECT_EQ(lines.last(), "2 succeeded, 0 failed");
  EXPECT_TRUE(run.err.contains("1 succeeded, 0 failed so far.")) << run.Describe();
}

TEST_F(CliProduction, RepeatEndsWithTheCountOnASignalBetweenBoards) {
  Running running(Sims({"family=PIC18,serial=A"}) + QStringList{"--repeat", "upload", kPic18});
  ASSERT_TRUE(running.WaitFor("1 succeeded, 0 failed so far.", true));
  running.Signal(SIGHUP);
  const CliRun run = running.Finish();
  EXPECT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_EQ(run.OutLines().last(), "1 succeeded, 0 failed");
}

TEST_F(CliProduction, RepeatCountsABoardStoppedBySignalAsAbortedWithExit5) {
  Running running(Sims({"family=STM32F4XX,pace=2,serial=A"}) +
                  QStringList{"--trace", Path("trace.txt"), "--repeat", "upload", kSample});
  ASSERT_TRUE(running.WaitFor("Flash Write..."));
  running.Signal(SIGINT);
  const CliRun run = running.Finish();
  EXPECT_EQ(run.exitCode, 5) << run.Describe();
  EXPECT_TRUE(run.OutLines().contains("Upload aborted.")) << run.Describe();
  EXPECT_EQ(run.OutLines().filter(QRegularExpression("^sim:1 \\(Serial=A\\): aborted \\(exit 5\\)")).size(),
            1)
      << run.Describe();
  EXPECT_EQ(run.OutLines().last(), "0 succeeded, 1 failed");
  EXPECT_EQ(Trace().last(), "REBOOT");
}

// A's answer comes after its chunk timed out, while B is being asked for its
// record: it must not be taken for B's. B's own answer is late but in time.
TEST_F(CliProduction, RepeatNeverTakesOneBoardsLateAnswerForTheNext) {
  const CliRun run =
      RunCli(Sims({"family=37,serial=A,late=6,answer-ms=1500", "family=37,serial=B,late=1,answer-ms=800"}) +
             QStringList{"--yes", "-q", "upload", "--repeat", "--count", "2", kStm32Small});
  EXPECT_EQ(run.exitCode, 4) << run.Describe();
  EXPECT_EQ(run.OutLines().filter(QRegularExpression("^sim:1 \\(Serial=A\\): failed \\(exit 4\\)")).size(), 1)
      << run.Describe();
  EXPECT_EQ(run.OutLines().filter(QRegularExpression("^sim:2 \\(Serial=B\\): succeeded")).size(), 1)
      << run.Describe();
  EXPECT_EQ(run.OutLines().last(), "1 succeeded, 1 failed");
}

// A question answered No aborts that board only: it is restarted, and the
// next board is flashed.
TEST_F(CliProduction, RepeatGoesOnAfterABoardWhoseQuestionWasAnsweredNo) {
  QFile hex(Path("over.hex"));
  ASSERT_TRUE(hex.open(QIODevice::WriteOnly));
  // Code at 0x0 and over the small part's bootloader at 0x1800.
  hex.write(
      ":08000000001000204100000087\n"
      ":1017F800A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A591\n"
      ":00000001FF\n");
  hex.close();
  const CliRun run = RunCli(
      Sims({"family=ARM,size=0x2000,boot-start=0x1800,erase=0x400,write=64,serial=A",
            "family=ARM,serial=B,plug-after=300"}) +
      QStringList{"--trace", Path("trace.txt"), "--repeat", "--count", "2", "upload", Path("over.hex")});
  EXPECT_EQ(run.exitCode, 5) << run.Describe();
  EXPECT_EQ(run.OutLines().filter(QRegularExpression("^sim:1 \\(Serial=A\\): aborted \\(exit 5\\)")).size(),
            1)
      << run.Describe();
  EXPECT_EQ(run.OutLines().filter(QRegularExpression("^sim:2 \\(Serial=B\\): succeeded")).size(), 1)
      << run.Describe();
  EXPECT_EQ(run.OutLines().last(), "1 succeeded, 1 failed");
  EXPECT_EQ(Trace(), (QStringList{"INFO", "BOOT", "SYNC", "REBOOT"})) << "nothing erased, restarted";
}

TEST_F(CliProduction, BoardLinesAndTheLogEscapeWhatTheDeviceChoseAsSerial) {
  const CliRun run =
      RunCli(Sims({QString::fromLatin1("family=PIC18,serial=E\x1B[2J")}) +
             QStringList{"--log", Path("run.log"), "--repeat", "--count", "1", "upload", kPic18});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_FALSE(run.out.contains(QChar(0x1B))) << run.Describe();
  EXPECT_TRUE(
      run.OutLines().filter(QRegularExpression("^sim:1 \\(Serial=E\\\\x1B\\[2J\\): succeeded")).size() == 1)
      << run.Describe();
  EXPECT_FALSE(ReadText("run.log").contains(QChar(0x1B))) << ReadText("run.log").toStdString();
}

TEST_F(CliProduction, RepeatInJsonGivesAResultPerBoardAndASummary) {
  const CliRun run = RunCli(Sims({"family=PIC18,serial=A", "family=PIC18,serial=B,plug-after=300"}) +
                            QStringList{"--json", "--repeat", "--count=2", "upload", kPic18});
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  QStringList serials;
  bool afterResult = false;
  for (const QJsonObject& e : run.Events()) {
    const QString kind = e.value("event").toString();
    if (kind == "result") {
      serials << e.value("serial").toString();
      afterResult = true;
      EXPECT_GT(e.value("bytes").toInteger(), 0);
      EXPECT_EQ(e.value("sha256").toString().size(), 64);
    }
    if (kind == "log" && e.value("text").toString() == "Opened: " + kPic18) afterResult = false;
    if (kind == "progress") {
      EXPECT_FALSE(afterResult) << "progress after a board's result";
    }
  }
  EXPECT_EQ(serials, (QStringList{"A", "B"}));
  EXPECT_EQ(run.Events().back().value("event").toString(), "summary");
  EXPECT_EQ(run.Events().back().value("succeeded").toInt(), 2);
}

}  // namespace
}  // namespace quorvel
