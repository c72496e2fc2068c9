// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_runner.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>
#include <variant>

#include "cli/cli_log.h"
#include "cli/cli_text.h"
#include "engine/texts.h"
#include "cli/hidraw_access.h"
#include "cli/one_board_platform.h"
#include "cli/preflight.h"
#include "cli/standard_input.h"
#include "hid/hid_platform.h"
#include "image/firmware_file.h"
#include "core/families.h"
#include "io/display_text.h"
#include "io/input_file.h"
#include "io/output_file.h"
#include "assembly/program_platform.h"
#include "sim/sim_platform.h"
#include "upload/write_plan.h"

namespace quorvel::cli {

namespace {

// The controller's start-up scan runs on the first pass of the event loop;
// this only bounds a platform that never completes it.
constexpr int kStartupScanLimitMs = 5000;

// New trace lines are written out this often while a run goes on.
constexpr int kTraceIntervalMs = 100;

const std::string kStandardInput = "-";

}  // namespace

CliRunner::CliRunner(CliOptions options, CliFrontend& ui) : options_(std::move(options)), ui_(ui) {}

CliRunner::~CliRunner() { ShutDown(); }

void CliRunner::UsePlatform(std::unique_ptr<hid::HidPlatform> platform) { injected_ = std::move(platform); }

int CliRunner::Run() {
  int code = RunCommand();
  ShutDown();
  if (sim_ != nullptr) {
    sim_->WaitReadersClosed(2000);  // a close may still be on its way to the firmware
    sim_->WaitIdle(2000);
    RunEventsFor(0);  // violation notices still queued
    // A simulated run that wrote flash wrongly never ends as a success.
    if (code == ExitSuccess && program_->Violations() > 0) {
      code = Fail(ExitDevice, QStringLiteral("The simulated bootloader saw %1 protocol violation(s).")
                                  .arg(program_->Violations()));
    }
  }
  if (!traceError_.isEmpty()) {
    if (code == ExitSuccess) {
      code = Fail(ExitOutput, traceError_);
    } else {
      ui_.Error(traceError_);
    }
  }
  if (!outcome_)
    outcome_ = Outcome{code == ExitSuccess ? QStringLiteral("Success") : QStringLiteral("Error"), {}};
  if (tally_) {
    ui_.Summary(code, tally_->succeeded, tally_->failed);
  } else {
    ui_.Result(code, outcome_->title, outcome_->text,
               code == ExitSuccess ? outcome_->proof : std::optional<ResultProof>());
  }
  return ExitAfterOutputs(code, ui_);
}

int CliRunner::Fail(const Refusal& refusal) { return Fail(refusal.exitCode, refusal.text); }

int CliRunner::Fail(int exitCode, const QString& text) {
  ui_.Error(text);
  outcome_ = Outcome{QStringLiteral("Error"), text};
  return exitCode;
}

int CliRunner::Succeed(const QString& title, const QString& text) {
  outcome_ = Outcome{title, text};
  return ExitSuccess;
}

QString CliRunner::Unanswered() const {
  // A board left inside a Write (its uploader killed) takes every request as
  // data and answers none of them.
  if (!engine_ || engine_->Status().lastWait != WaitTimedOut) return {};
  return QStringLiteral(
      "\nIt may be inside an interrupted upload: reset or power-cycle it before the next upload.");
}

int CliRunner::Interrupted() {
  if (interrupts_ == 0) return ExitSuccess;
  return Fail(ExitAborted, QStringLiteral("Interrupted."));
}

void CliRunner::RunEventsFor(int ms) {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (ms <= 0) return;
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// --- steps shared by the commands ---

QString CliRunner::FileLabel() const {
  return options_.file == kStandardInput ? QStringLiteral("standard input") : Shown(options_.file);
}

// Standard input is read whole, once: it can be neither rewound nor read again for the device.
int CliRunner::ReadStandardInput() {
  const Preflight refused = cli::ReadStandardInput(kMaxHexFileBytes, standardInput_, [this] {
    RunEventsFor(0);  // a Ctrl-C while a pipe is still silent
    return interrupts_ > 0;
  });
  return refused ? Fail(*refused) : ExitSuccess;
}

int CliRunner::CheckHexFile() {
  if (options_.file == kStandardInput) return ReadStandardInput();
  const Preflight refused = CheckFirmwareFile(options_.file, FileProblems::Named);
  return refused ? Fail(*refused) : ExitSuccess;
}

int CliRunner::PrepareTrace() {
  if (options_.trace.empty()) return ExitSuccess;
  // Fail before touching any device rather than lose the trace at the end.
  trace_ = std::make_unique<io::OutputFile>(options_.trace);
  if (!trace_->Open()) {
    return Fail(ExitOutput, QStringLiteral("cannot write the trace file '%1': %2.")
                                .arg(Shown(options_.trace), QString::fromStdString(trace_->Error().reason)));
  }
  traceTimer_ = std::make_unique<QTimer>();
  traceTimer_->setInterval(kTraceIntervalMs);
  QObject::connect(traceTimer_.get(), &QTimer::timeout, [this] { StreamTrace(); });
  traceTimer_->start();
  return ExitSuccess;
}

int CliRunner::OpenLog() {
  if (options_.log.empty()) return ExitSuccess;
  static const char* const kNames[] = {"", "list", "info", "upload", "image"};
  // Appended piece by piece: GCC 12's -O3 takes `"x" + std::string&&` for an overlapping copy.
  std::string started = CliVersionText();
  started += ": ";
  started += kNames[static_cast<int>(options_.command)];
  if (!options_.file.empty()) {
    started += ' ';
    started += io::PrintableText(options_.file);
  }
  if (const Preflight refused = cli::OpenLog(options_.log, started, log_)) return Fail(*refused);
  ui_.SetLog(log_.get());
  return ExitSuccess;
}

void CliRunner::LogBoard() {
  const EngineStatus status = engine_->Status();
  if (!log_ || !status.active) return;
  const BoardView& board = *status.active;
  const TBootInfo& info = status.bootInfo;
  log_->SetBoard(Utf8(PathOf(board)));
  const QString serial = Shown(QString::fromStdU16String(board.serial).toStdString());
  // One multi-argument arg(): a serial or description holding "%3" stays as it is.
  log_->Line(Utf8(QStringLiteral("Board: %1, serial %2, %3:%4, %5 (%6), \"%7\", revision 0x%8")
                      .arg(PathOf(board), serial.isEmpty() ? QStringLiteral("(none)") : serial,
                           QStringLiteral("%1").arg(board.vendorId, 4, 16, QLatin1Char('0')),
                           QStringLiteral("%1").arg(board.productId, 4, 16, QLatin1Char('0')),
                           FamilyName(info.McuType), QString::number(info.McuType),
                           DeviceDescriptionText(info, true),
                           QStringLiteral("%1").arg(info.BootRevision, 4, 16, QLatin1Char('0')))));
}

int CliRunner::StartEngine() {
  if (const Preflight refused = CheckFileNames(options_, QStringLiteral("The firmware file"))) return Fail(*refused);
  if (int rc = OpenLog(); rc != ExitSuccess) return rc;
  std::vector<sim::SimProfile> profiles;
  if (const Preflight refused = ParseSimulate(options_.simulate, profiles)) return Fail(*refused);
  if (!profiles.empty() && options_.device && options_.device->rfind("sim:", 0) == 0) {
    bool ok = false;
    const int n = QString::fromStdString(options_.device->substr(4)).toInt(&ok);
    if (!ok || n < 1 || n > static_cast<int>(profiles.size())) {
      return Fail(ExitUsage, QStringLiteral("--device %1: there are %2 simulated device(s), sim:1 to sim:%2.")
                                 .arg(Shown(*options_.device))
                                 .arg(profiles.size()));
    }
    deviceSimIndex_ = n - 1;
  }
  if (!profiles.empty()) {
    if (int rc = PrepareTrace(); rc != ExitSuccess) return rc;
  }
  program_ = std::make_unique<assembly::ProgramPlatform>(
      std::move(profiles),
      [this](const std::string& text) { ui_.Error(QStringLiteral("VIOLATION ") + QString::fromStdString(text)); },
      std::move(injected_));
  sim_ = program_->Sim();
  if (const Preflight refused = CheckPlatform(*program_)) return Fail(*refused);
  program_->PlugDevices([this](std::size_t i, int id) {
    // --device sim:N follows its device when it is plugged in later.
    if (engine_ && static_cast<int>(i) == deviceSimIndex_) {
      choice_.path = "sim:" + std::to_string(id);
      if (oneBoard_) oneBoard_->Follow(choice_.path);
      engine_->ChooseBoard(choice_);
    }
  });

  // The bootloader stays locked from discovery until the command ends, so a
  // window or another quorvel-cli keeps off it meanwhile.
  hid::HidPlatform* platform = &program_->Platform();
  if (options_.deviceOnly) {
    // sim:N stands for the simulator's path of the N-th device; a node is its own path.
    std::string path = *options_.device;
    if (deviceSimIndex_ >= 0) {
      const int id = program_->SimId(static_cast<std::size_t>(deviceSimIndex_));
      path = id >= 0 ? "sim:" + std::to_string(id) : std::string();
    }
    oneBoard_ = std::make_unique<OneBoardPlatform>(program_->Platform(), path);
    platform = oneBoard_.get();
  }
  // list names the boards from what the system says of them: it opens none
  // and sends nothing, so it never disturbs a board another program uses.
  engine_ = std::make_unique<Engine>(*platform, ui_,
                                     EngineOptions{.keepBoardLock = true,
                                                   .listBootloaders = false,
                                                   .listOnly = options_.command == CliCommand::List});
  if (options_.serial) choice_.serial = QString::fromStdString(*options_.serial).toStdU16String();
  if (deviceSimIndex_ >= 0) {
    // Until it is plugged, no other simulated device stands in for it.
    const int id = program_->SimId(static_cast<std::size_t>(deviceSimIndex_));
    choice_.path = id >= 0 ? "sim:" + std::to_string(id) : std::string("sim:-");
  } else if (options_.device) {
    choice_.path = *options_.device;
  }
  engine_->ChooseBoard(choice_);
  // No arguments: the command line here is ours, not the window's family keyword and file.
  engine_->Start({});
  return ExitSuccess;
}

std::vector<BoardView> CliRunner::Bootloaders() const {
  std::vector<BoardView> found;
  for (const BoardView& board : engine_->Boards()) {
    if (board.bootloader) found.push_back(board);
  }
  return found;
}

QString CliRunner::Label(const BoardView& board) { return QString::fromStdString(board.label); }

QString CliRunner::PathOf(const BoardView& board) const {
  if (!board.opened) return {};
  if (const std::size_t n = program_->SimNumber(board.path); n > 0) return QStringLiteral("sim:%1").arg(n);
  return Shown(board.path);
}

QString CliRunner::CandidateText(const BoardView& board) const {
  const bool noSerial = board.serial.empty();
  return QStringLiteral("%1  %2%3")
      .arg(PathOf(board), Label(board), noSerial ? QStringLiteral(" (no serial)") : QString());
}

bool CliRunner::Matches(const BoardView& board) const {
  if (options_.serial && board.serial != QString::fromStdString(*options_.serial).toStdU16String()) {
    return false;
  }
  return !options_.device || PathOf(board) == QString::fromStdString(*options_.device);
}

std::vector<BoardView> CliRunner::Candidates() const {
  std::vector<BoardView> found;
  for (const BoardView& board : Bootloaders()) {
    if (Matches(board)) found.push_back(board);
  }
  return found;
}

// Waits for the start-up scan and, with --wait, for a bootloader that has
// answered Info. Returns ExitSuccess when one is open and chosen.
int CliRunner::WaitForBootloader(bool mustFind) {
  if (int rc = WaitForBoards(); rc != ExitSuccess) return rc;
  if (!mustFind) return ExitSuccess;
  return CheckChosenBootloader();
}

int CliRunner::WaitForBoards() {
  QElapsedTimer clock;
  clock.start();
  for (EngineStatus status = engine_->Status(); status.deviceChangesHandled < 1 || status.busy;
       status = engine_->Status()) {
    if (int rc = Interrupted(); rc != ExitSuccess) return rc;
    if (clock.elapsed() >= kStartupScanLimitMs) {
      return Fail(ExitNoBootloader, QStringLiteral("The HID device scan did not complete."));
    }
    RunEventsFor(2);
  }
  clock.restart();

  for (;;) {
    if (int rc = Interrupted(); rc != ExitSuccess) return rc;
    const EngineStatus status = engine_->Status();
    const bool answered = status.active && status.active->readWrite;
    const bool listOnly = options_.command == CliCommand::List;
    if (listOnly && !Candidates().empty()) break;  // list asks nothing of the board
    if (Candidates().size() > 1) break;            // waiting cannot settle this
    if (!status.boardInUse.empty()) break;  // nor this: nothing announces its end
    if (answered && Matches(*status.active)) break;
    if (clock.elapsed() >= options_.waitMs) break;
    RunEventsFor(std::min<qint64>(20, options_.waitMs - clock.elapsed()));
  }
  return ExitSuccess;
}

int CliRunner::CheckChosenBootloader() {
  const auto bootloaders = Bootloaders();
  const auto candidates = Candidates();
  const EngineStatus status = engine_->Status();
  const std::optional<BoardView>& active = status.active;
  if (candidates.size() > 1) {
    // Guessing would flash the wrong board on a production line.
    QString text = options_.serial
                       ? QStringLiteral("Several bootloaders have serial '%1'; choose one with --device:")
                             .arg(Shown(*options_.serial))
                       : QStringLiteral(
                             "Several bootloaders are attached; choose one with --device "
                             "or --serial:");
    for (const BoardView& board : candidates) text += QStringLiteral("\n  %1").arg(CandidateText(board));
    return Fail(ExitNoBootloader, text);
  }
  if (options_.serial || options_.device) {
    if (candidates.empty()) {
      QString text =
          options_.device
              ? QStringLiteral("No bootloader at '%1' found.").arg(Shown(*options_.device))
              : QStringLiteral("No bootloader with serial '%1' found.").arg(Shown(*options_.serial));
      if (options_.device && options_.serial && !bootloaders.empty())
        text = QStringLiteral("No bootloader at '%1' with serial '%2' found.")
                   .arg(Shown(*options_.device), Shown(*options_.serial));
      for (const BoardView& board : bootloaders)
        text += QStringLiteral("\n  attached: %1").arg(CandidateText(board));
      if (bootloaders.empty()) ExplainNoBootloader();
      return Fail(ExitNoBootloader, text);
    }
  }
  if (!active && !status.boardInUse.empty()) {
    return Fail(ExitNoBootloader, QStringLiteral("The bootloader '%1' is in use by another program.")
                                      .arg(QString::fromStdString(status.boardInUse)));
  }
  if (active && !active->readWrite) {
    ui_.Notice(QString::fromStdString(UdevAdvice()));
    return Fail(ExitNoBootloader,
                QStringLiteral("The bootloader '%1' was found but may not be opened for reading and writing "
                               "(permission denied).")
                    .arg(Label(*active)));
  }
  if (!active) {
    if (bootloaders.empty()) {
      ExplainNoBootloader();
      return Fail(ExitNoBootloader, options_.waitMs > 0
                                        ? QStringLiteral("No bootloader appeared within the --wait time.")
                                        : QStringLiteral("No bootloader found."));
    }
    return Fail(ExitNoBootloader,
                QStringLiteral("The bootloader did not answer the information request.") + Unanswered());
  }
  if (!IsKnownFamily(status.bootInfo.McuType)) {
    return Fail(ExitNoBootloader, QStringLiteral("The bootloader reports an unknown MCU family (code %1).")
                                      .arg(status.bootInfo.McuType));
  }
  ui_.Detail(QStringLiteral("Bootloader: %1 %2, %3")
                 .arg(PathOf(*active), Label(*active), FamilyName(status.bootInfo.McuType)));
  LogBoard();
  return ExitSuccess;
}

void CliRunner::ExplainNoBootloader() {
  if (sim_ != nullptr) return;
  const auto locked = FindLockedHidrawNodes();
  if (locked.empty()) {
    ui_.Notice(
        QStringLiteral("Is the device attached and in bootloader mode? Reset it to enter the bootloader."));
    return;
  }
  for (const LockedHidraw& node : locked) {
    ui_.Notice(QStringLiteral("%1%2 cannot be opened: permission denied.")
                   .arg(QString::fromStdString(node.node),
                        node.name.empty() ? QString()
                                          : QStringLiteral(" (%1)").arg(QString::fromStdString(node.name))));
  }
  ui_.Notice(QString::fromStdString(UdevAdvice()));
}

// Loads the file for the device's family and geometry, as the window's
// Browse does once connected; a refused file ends the run before Boot.
int CliRunner::LoadHex() {
  const QString label = FileLabel();
  FirmwareInput input;
  input.path = options_.file;
  input.base = options_.base;
  input.format = options_.format;
  if (options_.file == kStandardInput) {
    input.contents = &standardInput_;
    input.displayName = "standard input";
  }
  const HexLoadOutcome load = engine_->Load(input);
  const FirmwareFormat format = load.format;
  const DroppedData& dropped = load.dropped;
  if (format == FirmwareFormat::Unknown) {
    return Fail(ExitHexFile, QString::fromStdString(NotFirmwareMessage(label.toStdString())));
  }
  const QString kind = QString::fromLatin1(FirmwareFormatWord(format).data(),
                                           static_cast<qsizetype>(FirmwareFormatWord(format).size()));
  if (format == FirmwareFormat::Elf && options_.base) {
    ui_.Notice(QStringLiteral("'%1' is an ELF file: --base is not used.").arg(label));
  }
  if (load.Refused()) {
    const QString why = load.shown.isEmpty() ? QStringLiteral("it could not be loaded") : OneLine(load.shown);
    // The ELF and binary readers' messages name the file themselves.
    if (format != FirmwareFormat::IntelHex) return Fail(ExitHexFile, why);
    return Fail(ExitHexFile, QStringLiteral("%1 file '%2' refused: %3").arg(kind, label, why));
  }
  const TBootInfo info = engine_->Status().bootInfo;
  const THexImages& images = engine_->Images();
  if (!images.HexLoaded || images.HexMcuType != info.McuType) {
    return Fail(ExitHexFile, QStringLiteral("%1 file '%2' could not be loaded for %3.")
                                 .arg(kind, label, FamilyName(info.McuType)));
  }
  // The window's line after a file is opened, in the history this run shows.
  ui_.HistoryAppended(text::kOpened + label);
  if (dropped.bytes > 0) {
    // The window's history says nothing of them; a script on the command line learns of them here.
    ui_.Dropped(QStringLiteral("Not written: %1 bytes of '%2' that this device does not keep, the first at %3.")
                    .arg(dropped.bytes)
                    .arg(label, Hex32(dropped.firstAddress)),
                dropped.bytes, dropped.firstAddress);
  }
  if (images.FlashImage.empty() && images.BootFlashImage.empty()) {
    return Fail(
        ExitHexFile,
        QStringLiteral("%1 file '%2' holds no data for this device (%3, program memory limit %4): "
                       "was it built for another MCU or address range?")
            .arg(kind, label, FamilyName(info.McuType),
                 Hex32(HasNewGeometry(info) ? info.McuSize : static_cast<std::uint32_t>(info.BootStart))));
  }
  ui_.Detail(QStringLiteral("Image: %1 bytes of program memory, %2 bytes of boot flash")
                 .arg(images.FlashImage.size())
                 .arg(images.BootFlashImage.size()));
  return ExitSuccess;
}

// Ends the run as the window ends when it is closed: a device still connected
// is restarted, every device object is given back.
void CliRunner::ShutDown() {
  if (program_) program_->CancelPendingPlugs();  // a bootloader not plugged yet stays away
  if (engine_) {
    engine_->Close();
    engine_->ReleaseBoards();
    RunEventsFor(0);
  }
  FinishTrace();
  if (!engine_) return;
  if (const std::uint64_t dropped = engine_->Status().droppedReports; dropped > 0) {
    ui_.Detail(QStringLiteral("%1 report(s) came from another board or answered nothing awaited; dropped.")
                   .arg(dropped));
  }
  if (sim_ != nullptr && ui_.Config().verbose) {
    // Which boards the run looked at (a board's name is read through each open) and how often it rescanned.
    QStringList opens;
    for (std::size_t i = 0; i < program_->Profiles().size(); ++i) {
      const int id = program_->SimId(i);
      if (id >= 0) opens << QStringLiteral("sim:%1 %2").arg(i + 1).arg(sim_->OpenCount(id));
    }
    ui_.Detail(QStringLiteral("Opens per simulated board: %1; device changes handled after the start-up scan: "
                              "%2.")
                   .arg(opens.join(QStringLiteral(", ")))
                   .arg(engine_->Status().deviceChangesHandled - 1));
  }
  engine_.reset();
  RunEventsFor(0);
}

// Appends the trace lines the first simulated device has added since the last call.
void CliRunner::StreamTrace() {
  if (!trace_ || trace_->Failed() || sim_ == nullptr || program_->SimId(0) < 0) return;
  std::string text;
  for (const std::string& line : sim_->TraceLines(program_->SimId(0), traceLines_)) {
    text += line;
    text += '\n';
    ++traceLines_;
  }
  if (!text.empty()) trace_->Write(text);
}

void CliRunner::FinishTrace() {
  if (!trace_) return;
  traceTimer_.reset();
  if (sim_ != nullptr) sim_->WaitIdle(2000);  // the last frames (Reboot) may still be with the firmware
  StreamTrace();
  if (!trace_->Commit()) {
    traceError_ = QStringLiteral("cannot write the trace file '%1': %2. The file was left as it was.")
                      .arg(Shown(options_.trace), QString::fromStdString(trace_->Error().reason));
  }
  trace_.reset();
}

void CliRunner::Interrupt(int /*signo*/) {
  ++interrupts_;
  if (!engine_) return;
  if (interrupts_ == 1) {
    if (uploading_ && engine_->Status().uploading) {
      ui_.Notice(QStringLiteral("Stopping after the current block..."));
      engine_->Stop();
    }
    return;
  }
  // A device that takes long to answer (a large erase) or never does: stop
  // waiting. The reports being sent are finished, so the Reboot that ends the
  // run arrives whole.
  if (!waitsAbandoned_) {
    waitsAbandoned_ = true;
    engine_->Stop(StopKind::AbandonWaits);
    ui_.Notice(QStringLiteral("Interrupted again: no longer waiting for the device; restarting it."));
  }
}

int CliRunner::UploadBoard() {
  if (int rc = LoadHex(); rc != ExitSuccess) return rc;

  engine_->Connect();
  // Interrupted during the handshake: ShutDown restarts a device that connected.
  if (int rc = Interrupted(); rc != ExitSuccess) return rc;
  if (!engine_->Status().connected)
    return Fail(ExitDevice, QStringLiteral("The bootloader did not complete the handshake.") + Unanswered());

  uploading_ = true;
  ui_.BeginUpload();
  // The result texts name the file that was loaded, as after the window's dialog.
  const UploadOutcome outcome = engine_->Upload({FileLabel(), options_.skipBlank});
  uploading_ = false;
  return UploadExit(outcome);
}

int CliRunner::UploadExit(const UploadOutcome& outcome) {
  switch (outcome.result) {
    case UploadResult::Succeeded: {
      const int code = Succeed(QStringLiteral("Success"), outcome.reason);
      outcome_->proof = MakeProof(QStringLiteral("Wrote"), outcome.proof);
      return code;
    }
    case UploadResult::Stopped:
    case UploadResult::Declined:
      // The window would now be closed while connected: ShutDown restarts the device.
      ui_.Error(outcome.result == UploadResult::Declined
                    ? QStringLiteral("Upload aborted: a question was answered No (give --yes to answer Yes).")
                    : QStringLiteral("Upload aborted."));
      outcome_ = Outcome{QStringLiteral("Abort"), outcome.reason};
      return ExitAborted;
    case UploadResult::NotStarted:
    case UploadResult::DeviceError:
    case UploadResult::Refused:
    case UploadResult::NothingToWrite:
      break;
  }
  // A board the run left connected is restarted when the command ends.
  const bool restarted =
      outcome.board == BoardAfterRun::Restarted || outcome.board == BoardAfterRun::InBootloader;
  // The window's wording, inside a sentence.
  QString notRestarted = text::kNotRestarted;
  notRestarted[0] = notRestarted[0].toLower();
  // Stopped waiting for the device after a second interrupt.
  if (interrupts_ > 0) {
    return Fail(ExitAborted, restarted ? QStringLiteral("Upload interrupted; the device was restarted.")
                                       : QStringLiteral("Upload interrupted; ") + notRestarted);
  }
  switch (outcome.result) {
    case UploadResult::Refused:
      return Fail(ExitDevice, QStringLiteral("Upload refused: ") + outcome.reason);
    case UploadResult::NothingToWrite:
      // Refused before anything was erased: the file's fault.
      return Fail(ExitHexFile, QStringLiteral("Upload refused: ") + outcome.reason);
    default:
      break;
  }
  QString text = outcome.reason.isEmpty() ? QStringLiteral("Upload failed.")
                                          : QStringLiteral("Upload failed: ") + outcome.reason;
  // A board that is gone was said to be so; one still attached may be left inside a command.
  if (outcome.board == BoardAfterRun::NotRestarted) {
    if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    text += QStringLiteral("; ") + notRestarted;
  }
  return Fail(ExitDevice, text);
}

}  // namespace quorvel::cli
