// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_all.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "assembly/program_platform.h"
#include "cli/cli_log.h"
#include "cli/cli_runner.h"
#include "cli/cli_text.h"
#include "cli/preflight.h"
#include "hid/hid_platform.h"
#include "image/hex_loader.h"
#include "io/display_text.h"
#include "io/output_file.h"
#include "protocol/bootloader_id.h"
#include "sim/sim_profile.h"

namespace quorvel::cli {

namespace {

// False with errno set when `fd` did not take all of `bytes`.
bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// How long a silent --wait goes before signals are looked at.
constexpr int kPollMs = 50;

}  // namespace

int CombinedExit(const std::vector<int>& codes) {
  if (std::all_of(codes.begin(), codes.end(), [](int c) { return c == ExitSuccess; })) return ExitSuccess;
  // A device fault outweighs a missing board, a refused file, a stop, an unwritten output.
  for (const int code : {ExitDevice, ExitNoBootloader, ExitHexFile, ExitAborted, ExitOutput, ExitUsage}) {
    if (std::find(codes.begin(), codes.end(), code) != codes.end()) return code;
  }
  for (const int code : codes) {
    if (code != ExitSuccess) return code;
  }
  return ExitSuccess;
}

std::string WithPath(std::string_view jsonLine, std::string_view path) {
  std::string line(jsonLine);
  if (line.empty() || line.front() != '{') return line;
  const bool empty =
      line.find_first_not_of(" \t", 1) == std::string::npos || line[line.find_first_not_of(" \t", 1)] == '}';
  return "{\"path\":" + JsonString(path) + (empty ? "" : ",") + line.substr(1);
}

QStringList ChildArguments(const CliOptions& options, const QString& path) {
  // Its board alone: the parent has listed them all already.
  QStringList args{QStringLiteral("--json"), QStringLiteral("--device-only"), QStringLiteral("--device"),
                   path};
  // Every simulated device is there in each child, as on a bench, but only
  // the child's own (--device) is talked to.
  for (const std::string& profileText : options.simulate)
    args << QStringLiteral("--simulate") << QString::fromStdString(profileText);
  if (options.yes) args << QStringLiteral("--yes");
  if (options.verbose) args << QStringLiteral("--verbose");
  if (!options.log.empty()) args << QStringLiteral("--log") << QString::fromStdString(options.log);
  if (options.skipBlank) args << QStringLiteral("--skip-blank");
  if (options.base) args << QStringLiteral("--base") << QStringLiteral("0x%1").arg(*options.base, 0, 16);
  // A forced format must reach the children: an ELF forced to read as a raw
  // binary would otherwise be flashed as its segments.
  if (options.format) args << QStringLiteral("--format") << FormatOptionWord(*options.format);
  args << QStringLiteral("upload") << QStringLiteral("--") << QString::fromStdString(options.file);
  return args;
}

std::vector<ListedBoard> ListBootloaders(hid::HidPlatform& platform,
                                         const std::function<QString(const std::string&)>& shownPath) {
  struct Found {
    ListedBoard board;
    bool fits = false;
  };
  std::vector<Found> found;
  for (const hid::THidPnPInfo& info : platform.Scan()) {
    const std::unique_ptr<hid::HidConnection> connection = platform.Inspect(info);
    if (!connection) continue;
    std::u16string product;
    if (!connection->GetProductString(product) || !IsBootloaderProduct(product)) continue;
    std::u16string serial;
    if (!connection->GetSerialString(serial)) serial.clear();
    hid::THidCaps caps;
    const bool fits = connection->GetCaps(caps) &&
                      IsBootloader(product, caps.InputReportByteLength, caps.OutputReportByteLength).reportsFit;
    found.push_back({{shownPath(info.InterfacePath), QString::fromStdU16String(serial)}, fits});
  }
  // The other interfaces of a composite bootloader carry its name too: the
  // ones whose reports fit are the bootloaders, as for a single upload.
  std::vector<InterfaceTraits> traits;
  for (const Found& f : found) traits.push_back({true, f.fits});
  const std::vector<bool> bootloaders = Bootloaders(traits);
  std::vector<ListedBoard> boards;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (bootloaders[i]) boards.push_back(found[i].board);
  }
  return boards;
}

const CommandDeclaration AllBoardsRun::kDeclaration{
    .name = "upload",
    .command = CliCommand::Upload,
    .all = true,
    .takesFile = true,
    .accepts = kOptBase | kOptFormat | kOptSkipBlank | kOptAll,
    .check = &AllBoardsRun::CheckOptions,
};

std::string AllBoardsRun::CheckOptions(const CliOptions& o, const OptionsSeen&) {
  if (o.device || o.serial) return "--all takes every bootloader: it excludes --device and --serial";
  if (!o.trace.empty()) return "--trace follows one device: it cannot be combined with --all";
  return {};
}

AllBoardsRun::AllBoardsRun(CliOptions options, CliFrontend& ui)
    : options_(std::move(options)), ui_(ui), inputLimit_(kMaxHexFileBytes) {}

AllBoardsRun::~AllBoardsRun() {
  // Children never outlive the run: one left would keep flashing unseen.
  for (auto& child : children_) {
    if (child->process && child->process->state() != QProcess::NotRunning) {
      child->process->kill();
      child->process->waitForFinished(2000);
    }
  }
  if (inputFd_ >= 0) ::close(inputFd_);
}

int AllBoardsRun::Fail(int exitCode, const QString& text) {
  ui_.Error(text);
  if (log_) log_->Line(Utf8(QStringLiteral("Error: ") + text));
  return exitCode;
}

int AllBoardsRun::Fail(const Refusal& refusal) { return Fail(refusal.exitCode, refusal.text); }

// Standard input is read once here, with the one-board upload's limit, and given to every child.
int AllBoardsRun::KeepStandardInput() {
  std::string input;
  const Preflight refused = ReadStandardInput(inputLimit_, input, [this] {
    QCoreApplication::processEvents(QEventLoop::AllEvents);  // a signal while the pipe is silent
    return interrupts_ > 0;
  });
  if (refused) return Fail(*refused);
  // One copy that each child reads from its start, rather than a copy in
  // every child's pipe buffer.
  inputFd_ = ::memfd_create("quorvel-input", MFD_CLOEXEC);
  if (inputFd_ < 0 || !WriteAll(inputFd_, input)) {
    return Fail(ExitHexFile, QStringLiteral("Standard input cannot be kept for the boards: %1.")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
  }
  return ExitSuccess;
}

// The file and the log are checked once here, so a refusal is said once
// rather than by every child.
int AllBoardsRun::Prepare(std::vector<ListedBoard>& boards) {
  if (options_.file == "-") {
    if (int rc = KeepStandardInput(); rc != ExitSuccess) return rc;
  }
  if (options_.file != "-") {
    if (const Preflight refused = CheckFirmwareFile(options_.file, FileProblems::CannotRead)) return Fail(*refused);
  }
  if (const Preflight refused = CheckFileNames(options_, QStringLiteral("The HEX file"))) return Fail(*refused);
  if (!options_.log.empty()) {
    const std::string started = CliVersionText() + ": upload --all " + io::PrintableText(options_.file);
    if (const Preflight refused = OpenLog(options_.log, started, log_)) return Fail(*refused);
  }

  std::vector<sim::SimProfile> profiles;
  if (const Preflight refused = ParseSimulate(options_.simulate, profiles)) return Fail(*refused);
  // Nothing is sent to a board here, so no violation can arise to be told.
  assembly::ProgramPlatform program(std::move(profiles), nullptr);
  if (const Preflight refused = CheckPlatform(program)) return Fail(*refused);
  // Only what is attached when the run starts takes part: a simulated board
  // due later never appears here, however long --wait is.
  program.PlugDevices();
  program.CancelPendingPlugs();
  const auto shownPath = [&program](const std::string& path) {
    if (const std::size_t n = program.SimNumber(path); n > 0) return QStringLiteral("sim:%1").arg(n);
    return Shown(path);
  };
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    boards = ListBootloaders(program.Platform(), shownPath);
    if (!boards.empty() || clock.elapsed() >= options_.waitMs || interrupts_ > 0) break;
    // Events, not a sleep: a signal must be seen while waiting.
    QEventLoop pause;
    QTimer::singleShot(kPollMs * 2, &pause, &QEventLoop::quit);
    pause.exec();
  }
  if (interrupts_ > 0) return Fail(ExitAborted, QStringLiteral("Interrupted."));
  if (boards.empty()) {
    return Fail(ExitNoBootloader, options_.waitMs > 0
                                      ? QStringLiteral("No bootloader appeared within the --wait time.")
                                      : QStringLiteral("No bootloader found."));
  }
  return ExitSuccess;
}

int AllBoardsRun::Run() {
  std::vector<ListedBoard> boards;
  int code = Prepare(boards);
  // A signal that came while the boards were listed: none is started.
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (code == ExitSuccess && interrupts_ > 0) code = Fail(ExitAborted, QStringLiteral("Interrupted."));
  if (code == ExitSuccess) {
    QStringList paths;
    for (const ListedBoard& board : boards) paths << board.path;
    // In JSON every event names its board; this one has none.
    if (!ui_.Config().json)
      ui_.Notice(QStringLiteral("Uploading to %1 board(s): %2")
                     .arg(boards.size())
                     .arg(paths.join(QStringLiteral(", "))));
    QEventLoop loop;
    for (const ListedBoard& board : boards) {
      auto child = std::make_unique<Child>();
      child->board = board;
      children_.push_back(std::move(child));
    }
    for (auto& child : children_) Start(*child);
    while (running_ > 0) loop.processEvents(QEventLoop::WaitForMoreEvents);
  }
  std::vector<int> codes;
  int succeeded = 0;
  for (const auto& child : children_) {
    codes.push_back(child->outcome.exitCode);
    if (child->outcome.exitCode == ExitSuccess) ++succeeded;
  }
  if (code == ExitSuccess) code = CombinedExit(codes);
  const int failed = static_cast<int>(children_.size()) - succeeded;
  // The children log their own events; the parent's summary goes to the log
  // through the front end, as a single run's result does.
  ui_.SetLog(log_.get());
  ui_.Summary(code, succeeded, failed);
  return ExitAfterOutputs(code, ui_);
}

void AllBoardsRun::Start(Child& child) {
  child.process = std::make_unique<QProcess>();
  QProcess& process = *child.process;
  process.setProgram(QCoreApplication::applicationFilePath());
  process.setArguments(ChildArguments(options_, child.board.path));
  // A fresh open of the kept input starts at its first byte for every child.
  process.setStandardInputFile(options_.file == "-" ? QStringLiteral("/proc/self/fd/%1").arg(inputFd_)
                                                    : QProcess::nullDevice());
  const pid_t parent = ::getpid();
  process.setChildProcessModifier([parent] {
    // Its own process group: a Ctrl-C on the terminal reaches the parent
    // only, which passes it on once. And no child outlives its parent.
    ::setpgid(0, 0);
    // A signal passed on before the child has its handlers waits for them
    // (main unblocks these), rather than killing it as a device fault would.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signo);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(ExitAborted);
  });
  QObject::connect(&process, &QProcess::readyReadStandardOutput,
                   [this, &child] { ReadOutput(child, false); });
  QObject::connect(&process, &QProcess::readyReadStandardError, [this, &child] { ReadErrors(child, false); });
  QObject::connect(&process, &QProcess::finished, [this, &child](int exitCode, QProcess::ExitStatus status) {
    Finished(child, exitCode, status);
  });
  QObject::connect(&process, &QProcess::errorOccurred, [this, &child](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    Fail(ExitUsage, QStringLiteral("%1: cannot start quorvel-cli: %2")
                        .arg(child.board.path, child.process->errorString()));
    child.outcome = BoardOutcome{child.board.path,        child.board.serial,           ExitUsage,
                                 QStringLiteral("Error"), child.process->errorString(), 0, {}};
    child.finished = true;
    --running_;
  });
  ++running_;
  child.clock.start();
  process.start();
}

void AllBoardsRun::ReadOutput(Child& child, bool flush) {
  child.pending += child.process->readAllStandardOutput();
  qsizetype end = 0;
  while ((end = child.pending.indexOf('\n')) >= 0) {
    const QByteArray line = child.pending.left(end);
    child.pending.remove(0, end + 1);
    HandleLine(child, line);
  }
  if (flush && !child.pending.isEmpty()) {
    HandleLine(child, child.pending);
    child.pending.clear();
  }
}

// A child in JSON mode writes plain words only when its output failed.
void AllBoardsRun::ReadErrors(Child& child, bool flush) {
  child.pendingErr += child.process->readAllStandardError();
  qsizetype end = 0;
  while ((end = child.pendingErr.indexOf('\n')) >= 0) {
    ui_.Error(child.board.path + QStringLiteral(": ") + QString::fromUtf8(child.pendingErr.left(end)));
    child.pendingErr.remove(0, end + 1);
  }
  if (flush && !child.pendingErr.isEmpty()) {
    ui_.Error(child.board.path + QStringLiteral(": ") + QString::fromUtf8(child.pendingErr));
    child.pendingErr.clear();
  }
}

void AllBoardsRun::HandleLine(Child& child, const QByteArray& line) {
  if (line.trimmed().isEmpty()) return;
  const QJsonObject event = QJsonDocument::fromJson(line).object();
  const QString kind = event.value(QStringLiteral("event")).toString();
  if (kind == QStringLiteral("result")) {
    // Rebuilt with the board's path, serial and time once the child has ended.
    child.resultSeen = true;
    child.outcome.exitCode = event.value(QStringLiteral("exit")).toInt(ExitDevice);
    child.outcome.title = event.value(QStringLiteral("title")).toString();
    child.outcome.text = event.value(QStringLiteral("text")).toString();
    if (event.contains(QStringLiteral("sha256"))) {
      ResultProof proof;
      proof.bytes = static_cast<std::uint64_t>(event.value(QStringLiteral("bytes")).toInteger());
      proof.sha256 = Utf8(event.value(QStringLiteral("sha256")).toString());
      proof.bootSha256 = Utf8(event.value(QStringLiteral("boot_sha256")).toString());
      child.outcome.proof = proof;
    }
    return;
  }
  if (ui_.Config().json) {
    ui_.EmitLine(WithPath(line.toStdString(), Utf8(child.board.path)));
    return;
  }
  const QString prefix = child.board.path + QStringLiteral(": ");
  const QString text = event.value(QStringLiteral("text")).toString();
  if (kind == QStringLiteral("error")) {
    ui_.Error(prefix + text);
  } else if (kind == QStringLiteral("message")) {
    ui_.Notice(prefix + event.value(QStringLiteral("title")).toString() + QStringLiteral(": ") +
               OneLine(text));
  } else if (kind == QStringLiteral("question") || kind == QStringLiteral("notice") ||
             kind == QStringLiteral("dropped")) {
    ui_.Notice(prefix + OneLine(text));
  } else if (kind == QStringLiteral("log")) {
    ui_.Detail(prefix + text);
  }
}

void AllBoardsRun::Finished(Child& child, int exitCode, QProcess::ExitStatus status) {
  if (child.finished) return;
  ReadOutput(child, true);
  ReadErrors(child, true);
  child.finished = true;
  --running_;
  child.outcome.path = child.board.path;
  child.outcome.serial = child.board.serial;
  child.outcome.seconds = static_cast<double>(child.clock.elapsed()) / 1000.0;
  if (!child.resultSeen || status != QProcess::NormalExit) {
    // Killed, or ended without its last word: its own exit code, a crash as a device fault.
    child.outcome.exitCode = status == QProcess::NormalExit && exitCode != 0 ? exitCode : ExitDevice;
    child.outcome.title = QStringLiteral("Error");
    child.outcome.text = status == QProcess::NormalExit
                             ? QStringLiteral("quorvel-cli ended without a result.")
                             : QStringLiteral("quorvel-cli ended by a signal.");
  } else if (exitCode != child.outcome.exitCode) {
    child.outcome.exitCode = exitCode;  // the process's word is the last one (an output failure)
  }
  if (child.outcome.exitCode != ExitSuccess) child.outcome.proof.reset();
  ui_.BoardResult(child.outcome);
  if (log_) log_->Line(Utf8(BoardResultLine(child.outcome)));
}

void AllBoardsRun::Interrupt(int signo) {
  ++interrupts_;
  for (auto& child : children_) {
    if (child->process && !child->finished && child->process->processId() > 0)
      ::kill(static_cast<pid_t>(child->process->processId()), signo);
  }
}

}  // namespace quorvel::cli
