// SPDX-License-Identifier: Apache-2.0
// The pure parts of the production features: the progress line, the combined
// exit code of several boards, the children's command lines, the log file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "capture_streams.h"
#include "cli/cli_all.h"
#include "cli/cli_frontend.h"
#include "cli/cli_log.h"
#include "cli/cli_options.h"
#include "cli/progress_display.h"
#include "io/file_sys.h"

namespace quorvel::cli {
namespace {

TEST(ProgressLine, ShowsPhaseBarBytesRateAndElapsedTime) {
  EXPECT_EQ(ProgressLine(UploadPhase::Write, 96 * 1024, 256 * 1024, 1655, 2300),
            "Write [###.......] 96/256 KiB 58 KiB/s 0:02");
  EXPECT_EQ(ProgressLine(UploadPhase::BootErase, 0, 4096, 0, 0), "Boot erase [..........] 0/4 KiB - 0:00");
  EXPECT_EQ(ProgressLine(UploadPhase::Erase, 512, 512, 1000, 61000),
            "Erase [##########] 512/512 B 512 B/s 1:01");
  // More done than the total (a late report) never overflows the bar.
  EXPECT_EQ(ProgressLine(UploadPhase::Write, 900, 512, 1000, 1000, 4), "Write [####] 512/512 B 512 B/s 0:01");
}

TEST(ProgressLine, UnitsFollowTheTotalAndRoundDoneDown) {
  EXPECT_EQ(SizePair(1023, 1024 * 1024), "0/1024 KiB") << "done is not shown before it is";
  EXPECT_EQ(SizePair(3 * 1024 * 1024, 6 * 1024 * 1024), "3.0/6.0 MiB");
  EXPECT_EQ(SizePair(100, 1500), "0/2 KiB");
  EXPECT_EQ(RateText(2 * 1024 * 1024, 1000), "2.0 MiB/s");
  EXPECT_EQ(RateText(1000, 50), "-");
  EXPECT_EQ(ClockText(3 * 3600 * 1000 + 65 * 1000), "3:01:05");
  EXPECT_EQ(ClockText(-5), "0:00");
}

// The engine's phase reports as the front end shows them.
TEST(UploadProgressJson, NeverGoesBackWithinAPhaseAndStopsAtTheResult) {
  Streams s;
  CliOutputConfig config;
  config.json = true;
  CliFrontend ui(config, s.out(), s.err());
  ui.BeginUpload();
  ui.UploadProgress(UploadPhase::Erase, 0, 2048);
  ui.UploadProgress(UploadPhase::Erase, 2048, 2048);
  ui.UploadProgress(UploadPhase::Write, 0, 512);
  ui.UploadProgress(UploadPhase::Write, 512, 512);
  ui.UploadProgress(UploadPhase::Write, 256, 512);  // a late report
  ui.Result(0, QStringLiteral("Success"), {});
  ui.UploadProgress(UploadPhase::Write, 0, 512);  // a reset after the end
  EXPECT_EQ(s.Out(),
            "{\"event\":\"progress\",\"phase\":\"erase\",\"done\":0,\"total\":2048}\n"
            "{\"event\":\"progress\",\"phase\":\"erase\",\"done\":2048,\"total\":2048}\n"
            "{\"event\":\"progress\",\"phase\":\"write\",\"done\":0,\"total\":512}\n"
            "{\"event\":\"progress\",\"phase\":\"write\",\"done\":512,\"total\":512}\n"
            "{\"event\":\"result\",\"exit\":0,\"title\":\"Success\",\"text\":\"\"}\n");

  // The next board of a --repeat run starts afresh.
  ui.BeginUpload();
  ui.UploadProgress(UploadPhase::Write, 0, 512);
  EXPECT_TRUE(s.Out().ends_with("{\"event\":\"progress\",\"phase\":\"write\",\"done\":0,\"total\":512}\n"));
}

TEST(UploadProgressBar, DrawsPhaseAndBytesOnStderrAndClearsItForOtherLines) {
  Streams s;
  CliOutputConfig config;
  config.progressBar = true;
  CliFrontend ui(config, s.out(), s.err());
  ui.BeginUpload();
  ui.UploadProgress(UploadPhase::BootWrite, 0, 4096);
  EXPECT_EQ(s.Err(), "\rBoot write [..........] 0/4 KiB - 0:00\x1b[K");
  ui.HistoryAppended(QStringLiteral("Completed successfully."));
  EXPECT_TRUE(s.Err().ends_with("\r\x1b[K")) << "the bar is cleared before a line";
  EXPECT_EQ(s.Out(), "Completed successfully.\n");

  CliOutputConfig quiet = config;
  quiet.quiet = true;
  Streams q;
  CliFrontend silent(quiet, q.out(), q.err());
  silent.UploadProgress(UploadPhase::Write, 1, 2);
  EXPECT_EQ(q.Err(), "");
}

TEST(CombinedExit, ZeroOnlyWhenEveryBoardSucceededElseTheFirstInOrder) {
  EXPECT_EQ(CombinedExit({}), 0);
  EXPECT_EQ(CombinedExit({0, 0}), 0);
  EXPECT_EQ(CombinedExit({0, 5, 3, 2, 4}), 4);
  EXPECT_EQ(CombinedExit({5, 3, 2}), 2);
  EXPECT_EQ(CombinedExit({5, 3, 0}), 3);
  EXPECT_EQ(CombinedExit({6, 5}), 5);
  EXPECT_EQ(CombinedExit({1, 6}), 6);
  EXPECT_EQ(CombinedExit({0, 1}), 1);
  EXPECT_EQ(CombinedExit({0, 42}), 42) << "an unexpected code is not lost";
}

TEST(AllBoards, ChildEventsGetTheBoardsPathFirst) {
  EXPECT_EQ(WithPath(R"({"event":"log","text":"x"})", "sim:2"),
            R"({"path":"sim:2","event":"log","text":"x"})");
  EXPECT_EQ(WithPath("{}", "/dev/hidraw3"), R"({"path":"/dev/hidraw3"})");
  EXPECT_EQ(WithPath(R"({"event":"x"})", "a\"b"), R"({"path":"a\"b","event":"x"})");
}

// What the parent starts must read back as the same run on one board.
TEST(AllBoards, ChildCommandLineParsesAsTheParentsRunOnOneBoard) {
  const auto parent =
      ParseCliArgs({"--simulate", "family=PIC18,serial=A", "--simulate", "family=ARM", "--yes", "--verbose",
                    "--log", "line.log", "--skip-blank", "--format", "bin", "--base", "0x8000000", "upload", "--all", "--",
                    "-odd.hex"});
  ASSERT_TRUE(parent.ok()) << parent.error;
  std::vector<std::string> args;
  for (const QString& arg : ChildArguments(parent.options, QStringLiteral("sim:2")))
    args.push_back(arg.toStdString());
  const auto child = ParseCliArgs(args);
  ASSERT_TRUE(child.ok()) << child.error;
  const CliOptions& o = child.options;
  EXPECT_EQ(o.command, CliCommand::Upload);
  EXPECT_EQ(o.file, "-odd.hex");
  EXPECT_TRUE(o.json);
  EXPECT_FALSE(o.all);
  ASSERT_TRUE(o.device.has_value());
  EXPECT_EQ(*o.device, "sim:2");
  EXPECT_TRUE(o.deviceOnly) << "a child looks at its own board only";
  EXPECT_EQ(o.simulate, parent.options.simulate);
  EXPECT_TRUE(o.yes);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.log, "line.log");
  EXPECT_TRUE(o.skipBlank);
  EXPECT_EQ(o.base, std::optional<std::uint32_t>(0x8000000));
  EXPECT_EQ(o.format, std::optional<FirmwareFormat>(FirmwareFormat::RawBinary))
      << "a child must not tell the format from the file when the user forced it";
}

// FILE '-' with --all: the parent holds standard input for every child, within
// the one-board upload's cap (here a small one); over it nothing is looked for.
TEST(AllBoards, StandardInputIsReadUpToItsCapAndRefusedBeyond) {
  constexpr std::uint64_t kLimit = 100;
  struct Row {
    std::uint64_t bytes;
    int exitCode;
    const char* says;
  } const rows[] = {
      {kLimit, ExitNoBootloader, "No bootloader found."},  // read whole; the board plugs in later
      {kLimit + 1, ExitHexFile, "Standard input holds more than 100 bytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const std::string input(row.bytes, ':');
    ASSERT_EQ(::write(pipeFds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(pipeFds[1]);
    const int savedInput = ::dup(STDIN_FILENO);
    ::dup2(pipeFds[0], STDIN_FILENO);
    ::close(pipeFds[0]);
    const auto parsed =
        ParseCliArgs({"--simulate", "family=STM32F4XX,plug-after=60000", "--all", "upload", "-"});
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    Streams streams;
    CliFrontend ui(CliOutputConfig{}, streams.out(), streams.err());
    int code = -1;
    {
      AllBoardsRun run(parsed.options, ui);
      run.UseInputLimit(kLimit);
      code = run.Run();
    }
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    EXPECT_EQ(code, row.exitCode) << streams.Err();
    EXPECT_NE(streams.Err().find(row.says), std::string::npos) << streams.Err();
    EXPECT_EQ(streams.Out(), "0 succeeded, 0 failed\n");
  }
}

// Writes fail from the n-th call on, as on a full disk.
class FailingWrites : public io::FileSys {
 public:
  explicit FailingWrites(int okWrites) : okWrites_(okWrites) {}
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    if (okWrites_-- <= 0) {
      errno = ENOSPC;
      return -1;
    }
    return io::FileSys::Write(fd, data, size);
  }

 private:
  int okWrites_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CliLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/cli_log_testXXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::remove(Path().c_str());
    ::rmdir(dir_.c_str());
  }
  std::string Path() const { return dir_ + "/run.log"; }
  std::string dir_;
};

TEST_F(CliLogTest, AppendsOneLinePerEventWithTheBoardOnceKnown) {
  { std::ofstream(Path()) << "earlier run\n"; }
  CliLog log(Path());
  ASSERT_TRUE(log.Open());
  log.LineAt("T1", "started");
  log.SetBoard("sim:1");
  log.LineAt("T2", "two\r\nlines");
  EXPECT_FALSE(log.Failed());
  EXPECT_EQ(ReadAll(Path()), "earlier run\nT1 started\nT2 [sim:1] two  lines\n");
}

TEST_F(CliLogTest, AFailedWriteIsKeptAndNothingMoreIsWritten) {
  FailingWrites sys(1);
  CliLog log(Path(), sys);
  ASSERT_TRUE(log.Open());
  log.LineAt("T1", "kept");
  log.LineAt("T2", "lost");
  log.LineAt("T3", "not tried");
  EXPECT_TRUE(log.Failed());
  EXPECT_EQ(log.Err(), ENOSPC);
  EXPECT_EQ(ReadAll(Path()), "T1 kept\n");
}

TEST_F(CliLogTest, RefusesWhatIsNotARegularFile) {
  CliLog folder(dir_);
  EXPECT_FALSE(folder.Open());
  CliLog device("/dev/null");
  EXPECT_FALSE(device.Open());
  EXPECT_EQ(device.ErrorText(), "not a regular file");
}

// The end of a run, single or over several boards: what was not recorded or
// not shown fails a run that succeeded, and is said in that order.
TEST_F(CliLogTest, AnUnwrittenLastLineTurnsASuccessIntoExit6) {
  FailingWrites sys(1);
  CliLog log(Path(), sys);
  ASSERT_TRUE(log.Open());
  log.LineAt("T1", "started");
  Streams s;
  CliFrontend ui({}, s.out(), s.err());
  ui.SetLog(&log);
  ui.Summary(ExitSuccess, 2, 0);
  EXPECT_EQ(ExitAfterOutputs(ExitSuccess, ui), ExitOutput);
  EXPECT_EQ(s.Err(),
            "quorvel-cli: cannot append to the log file '" + Path() + "': " + std::strerror(ENOSPC) + ".\n");
  EXPECT_EQ(ui.Log(), nullptr) << "the log is not used once the run has ended";
  EXPECT_EQ(ReadAll(Path()), "T1 started\n");

  // A run that failed keeps its own exit code; the log is still named.
  Streams again;
  CliFrontend failedRun({}, again.out(), again.err());
  failedRun.SetLog(&log);
  EXPECT_EQ(ExitAfterOutputs(ExitDevice, failedRun), ExitDevice);
  EXPECT_NE(again.Err().find("cannot append to the log file"), std::string::npos) << again.Err();
}

TEST_F(CliLogTest, TheLastLineIsAppendedAndAHealthyRunKeepsItsExitCode) {
  CliLog log(Path());
  ASSERT_TRUE(log.Open());
  Streams s;
  CliFrontend ui({}, s.out(), s.err());
  ui.SetLog(&log);
  ui.Summary(ExitSuccess, 2, 0);
  EXPECT_EQ(ExitAfterOutputs(ExitSuccess, ui), ExitSuccess);
  EXPECT_EQ(s.Err(), "");
  EXPECT_TRUE(ReadAll(Path()).ends_with(" Summary: exit 0, 2 succeeded, 0 failed\n")) << ReadAll(Path());
}

TEST_F(CliLogTest, StandardOutputThatFailedIsSaidAfterTheLog) {
  FailingWrites sys(0);
  CliLog log(Path(), sys);
  ASSERT_TRUE(log.Open());
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  Streams s;
  CliFrontend ui({}, full, s.err());
  ui.SetLog(&log);
  ui.Summary(ExitSuccess, 1, 0);
  EXPECT_EQ(ExitAfterOutputs(ExitSuccess, ui), ExitOutput);
  const std::string err = s.Err();
  const std::size_t logSaid = err.find("cannot append to the log file");
  const std::size_t outputSaid = err.find("quorvel-cli: cannot write to standard output: ");
  ASSERT_NE(logSaid, std::string::npos) << err;
  ASSERT_NE(outputSaid, std::string::npos) << err;
  EXPECT_LT(logSaid, outputSaid) << err;
  std::fclose(full);
}

}  // namespace
}  // namespace quorvel::cli
