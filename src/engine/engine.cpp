// SPDX-License-Identifier: Apache-2.0
// The engine's parts put together: the controls, the link with its HID
// transport, the upload run; start-up and shutdown; what the link reports;
// the work deferred until the engine is idle; uploads and stops.
#include "engine/engine.h"

#include <QTimer>
#include <exception>
#include <utility>

#include "engine/controls_model.h"
#include "engine/link/hid_boards.h"
#include "engine/link/link.h"
#include "engine/texts.h"
#include "engine/upload/upload_proof.h"
#include "engine/upload/upload_run.h"
#include "io/display_text.h"
#include "protocol/bootloader_id.h"

namespace quorvel {

namespace {

BoardView ViewOf(const TDeviceEntry& entry, const BoardConnection* active) {
  BoardView board;
  board.label = entry.Label;
  BoardConnection* dev = entry.Device.get();
  if (dev == nullptr) return board;
  board.opened = true;
  board.path = dev->Path();
  board.instance = dev->Instance();
  board.serial = dev->Serial();
  board.vendorId = dev->VendorId();
  board.productId = dev->ProductId();
  board.readWrite = dev->ReadWrite();
  board.active = dev == active;
  return board;
}

}  // namespace

// What the link reports, shown on the controls or acted on by the engine.
class Engine::Events final : public LinkEvents {
 public:
  explicit Events(Engine& engine) : engine_(engine) {}

  void AppendHistory(const QString& line) override { engine_.controls_->AppendHistory(line); }
  void AppendError(const QString& line) override { engine_.controls_->AppendError(line); }
  void BoardAnswered() override { engine_.ShowBootInfo(); }
  void LinkIdle() override { engine_.BusyEnded(); }

  void BoardLost(BoardLoss loss) override {
    ControlsModel& controls = *engine_.controls_;
    switch (loss) {
      case BoardLoss::ConnectionEnded:
        controls.ClearTerminal();
        controls.SetConnectOffer(ConnectOffer::Connect);
        controls.AppendHistory(text::kDeviceRemovedLine);
        controls.AppendHistory(text::kDisconnected);
        break;
      case BoardLoss::DuringUpload:
        controls.ClearTerminal();
        break;
      case BoardLoss::ReenterHint:
        controls.AppendHistory(text::kReenterHint);
        break;
      case BoardLoss::Quiet:
        break;
    }
    controls.ClearDevice();
  }

 private:
  Engine& engine_;
};

void Engine::Guarded(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowApplicationError(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowApplicationError(text::kUnknownError);
  }
}

Engine::Engine(hid::HidPlatform& platform, Frontend& frontend, EngineOptions options)
    : ui_(frontend),
      listBootloaders_(options.listBootloaders),
      context_(std::make_unique<QObject>()),
      controls_(std::make_unique<ControlsModel>(frontend)),
      events_(std::make_unique<Events>(*this)),
      link_(std::make_unique<Link>(*events_, options)),
      run_(std::make_unique<UploadRun>(*link_, *controls_)) {
  QObject::connect(&controls_->EraseAnimation(), &QTimer::timeout, context_.get(),
                   [this] { Guarded([this] { controls_->Timer1Timer(); }); });
  boards_ = std::make_unique<HidBoards>(
      platform, *link_, [this](const std::function<void()>& handler) { Guarded(handler); }, context_.get());
  link_->UseSource(*boards_);
}

Engine::~Engine() {
  controls_->StopEraseAnimation();
  link_->StopTimers();
  // Every checked-out device goes back (stopping its reader) while the
  // transport still exists to take it.
  link_->DropBoardLock();
  link_->ClearDeviceList();
  boards_.reset();
}

void Engine::ShowApplicationError(const QString& message) {
  ui_.ShowMessage(MessageKind::AppError, text::kAppTitle, ErrorDisplayText(message));
}

// --- the program's run ---

void Engine::Close() {
  Guarded([&] {
    if (!link_->IsConnected()) return;
    // The connection ends here: the device's disappearance after the restart,
    // which may be handled while the restart is being written, is expected.
    link_->SetConnected(false);
    run_->RestartBoard();
  });
}

void Engine::ReleaseBoards() {
  Guarded([&] {
    link_->DropBoardLock();
    link_->ClearDeviceList();
  });
}

// --- boards ---

std::vector<BoardView> Engine::Boards() const {
  std::vector<BoardView> boards;
  std::vector<InterfaceTraits> traits;
  for (const TDeviceEntry& entry : link_->Devices()) {
    boards.push_back(ViewOf(entry, link_->Active()));
    BoardConnection* dev = entry.Device.get();
    traits.push_back(dev == nullptr ? InterfaceTraits{}
                                    : IsBootloader(dev->Product(), dev->InputReportBytes(), dev->OutputReportBytes()));
  }
  const std::vector<bool> bootloaders = Bootloaders(traits);
  for (std::size_t i = 0; i < boards.size(); ++i) boards[i].bootloader = bootloaders[i];
  return boards;
}

bool Engine::InUseElsewhere(const std::string& path) {
  for (const TDeviceEntry& entry : link_->Devices()) {
    if (entry.Device != nullptr && entry.Device->Path() == path) return link_->BoardInUseElsewhere(entry.Device.get());
  }
  return false;
}

void Engine::ChooseBoard(const BoardChoice& choice) { link_->Choose(choice); }

void Engine::OpenChosenBoard() {
  const BoardConnection* active = link_->Active();
  const std::string& path = link_->Choice().path;
  if (active != nullptr && (path.empty() || active->Path() == path)) return;
  // The board talked to does not change under a connection or an exchange.
  if (link_->IsConnected() || link_->Busy()) return;
  Guarded([&] {
    // The board in use stops listening before the next one is asked anything.
    link_->SetActiveDevice(nullptr);
    link_->OpenBootloaderDevice();
    if (link_->Active() != nullptr || !listBootloaders_) return;
    // It did not answer: the previous board's record must not stay on show as
    // if it were the one in use; the list stays, to choose again.
    controls_->ClearDevice();
    int current = -1;
    const QStringList entries = DeviceEntries(QString(), current);
    if (entries.size() > 1) controls_->ShowDeviceList(entries, current);
  });
}

QStringList Engine::DeviceEntries(const QString& description, int& current) {
  std::vector<BoardView> bootloaders;
  for (BoardView& board : Boards()) {
    if (board.bootloader) bootloaders.push_back(std::move(board));
  }
  std::map<std::uint64_t, QString> known;
  for (const BoardView& board : bootloaders) {
    const auto it = descriptions_.find(board.instance);
    if (board.active) {
      known[board.instance] = description;
    } else if (it != descriptions_.end()) {
      known.insert(*it);
    }
  }
  descriptions_ = std::move(known);  // boards gone are forgotten
  current = -1;
  if (bootloaders.size() <= 1 || !listBootloaders_) {
    if (description.isEmpty()) return {};
    current = 0;
    return {description};
  }
  QStringList entries;
  for (const BoardView& board : bootloaders) {
    const auto it = descriptions_.find(board.instance);
    if (it == descriptions_.end() || it->second.isEmpty()) {
      entries << QString::fromStdString(board.label);
    } else {
      QString entry = it->second;
      if (!board.serial.empty()) {
        entry += QStringLiteral(" (Serial=%1)")
                     .arg(QString::fromStdString(io::PrintableText(QString::fromStdU16String(board.serial).toStdString())));
      }
      entries << entry;
    }
    // Without an active board (the chosen one did not answer): the chosen one.
    if (board.active || (link_->Active() == nullptr && !board.path.empty() && board.path == link_->Choice().path)) {
      current = static_cast<int>(entries.size()) - 1;
    }
  }
  return entries;
}

// --- uploads ---

const THexImages& Engine::Images() const { return run_->Images(); }

upload::UploadPlan Engine::Plan(const UploadRequest& request) const {
  const THexImages& images = run_->Images();
  return upload::PlanUpload(link_->Record(), images.FlashImage, images.BootFlashImage, request.skipBlank);
}

UploadOutcome Engine::Upload(const UploadRequest& request) {
  if (link_->UploadRunning()) return {};
  if (!request.fileName.isEmpty()) run_->SetLastHexFile(request.fileName);
  lastRequest_ = request;
  run_->ForgetOutcome();
  Guarded([&] { StartUpload(request); });
  return run_->LastOutcome();
}

void Engine::Stop(StopKind kind) {
  if (kind == StopKind::AbandonWaits) {
    link_->AbandonWaits();
    return;
  }
  if (link_->UploadRunning()) Guarded([&] { StartUpload(lastRequest_); });
}

void Engine::StartUpload(const UploadRequest& request) {
  const THexImages& images = run_->Images();
  if (!link_->IsConnected()) return run_->NotStarted(text::kConnectFirst);
  if (!images.HexLoaded) return run_->NotStarted(text::kLoadHexFirst);
  if (link_->Record().McuType != images.HexMcuType) return run_->NotStarted(text::kReloadHex);
  ActivityState& state = link_->State();
  if (state.Current() == Activity::Uploading) {
    // The stop request; the running upload notices it at its next check.
    state.Set(Activity::UploadEnding);
    return;
  }
  // A stop is pending (or a result dialog is open) in a run that is still
  // running further up the stack: starting another run here would nest two
  // uploads on one transfer buffer.
  if (state.UploadActive()) return;
  // Another exchange is waiting for its answer (the information request of a
  // device change, say): Erase frames now would land in the middle of it. The
  // upload is started, preconditions checked again, once that exchange is over.
  if (link_->Busy()) {
    state.DeferClick(ButtonId::StartBootloader);
    return;
  }
  if (!ReloadChangedFile()) return;  // the loader or the history said why
  run_->RunUpload(request.skipBlank);
  ui_.UploadEnded(run_->LastOutcome());
}

// --- the work deferred until the engine is idle ---

void Engine::BusyEnded() {
  const ActivityState& state = link_->State();
  if (state.DeviceChangePending()) {
    // Run from the event loop, not from deep inside the handler that ended the busy section.
    QTimer::singleShot(0, context_.get(), [this] { RunDeferredDeviceChange(); });
  }
  // Posted after the device change, which may open the device the click needs.
  if (state.ClicksPending()) QTimer::singleShot(0, context_.get(), [this] { RunDeferredClicks(); });
}

void Engine::RunDeferredClicks() {
  // Inside another exchange again: its end posts this once more.
  if (link_->Busy()) return;
  const std::vector<ButtonId> clicks = link_->State().TakeClicks();
  for (const ButtonId id : clicks) {
    Guarded([this, id] {
      if (id == ButtonId::Connect) {
        ConnectionClick();
      } else if (id == ButtonId::StartBootloader) {
        StartUpload(lastRequest_);
      }
    });
  }
}

void Engine::RunDeferredDeviceChange() {
  ActivityState& state = link_->State();
  if (state.Busy() || !state.DeviceChangePending()) return;
  state.SetDeviceChangePending(false);
  Guarded([this] { link_->BoardsChanged(); });
}

// --- what front ends show ---

const ControlsState& Engine::Controls() const { return controls_->State(); }

EngineStatus Engine::Status() const {
  const Link& link = *link_;
  EngineStatus s;
  s.deviceChangesHandled = link.DeviceChangesHandled();
  s.busy = link.Busy() || link.State().Current() != Activity::Idle;
  s.connected = link.IsConnected();
  s.handshaking = link.State().Handshaking();
  s.uploading = link.UploadRunning();
  for (const BoardView& board : Boards()) {
    if (board.active) s.active = board;
  }
  s.bootInfo = link.Record();
  s.boardInUse = link.BoardInUseLabel();
  s.lastWait = link.LastWaitResult();
  s.droppedReports = link.DroppedReportCount();
  return s;
}

void Engine::ApplySettings(const ControlSettings& settings) { controls_->Apply(settings); }

QString ErrorDisplayText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

UploadProof PlanProof(const upload::UploadPlan& plan) { return upload::ProofOf(plan); }

QString ProofText(const QString& lead, const UploadProof& proof) {
  QString text = QStringLiteral("%1 %2 bytes, program SHA-256 %3")
                     .arg(lead)
                     .arg(proof.bytesWritten)
                     .arg(QString::fromStdString(proof.programSha256));
  if (!proof.bootSha256.empty()) {
    text += QStringLiteral(", boot SHA-256 %1").arg(QString::fromStdString(proof.bootSha256));
  }
  return text;
}

QString EngineVersion() { return QStringLiteral(QUORVEL_VERSION_STRING); }

QString DeviceDescriptionText(const TBootInfo& info, bool printable) {
  const std::string text = io::Utf8OrLatin1(info.DeviceDescription);
  return QString::fromStdString(printable ? io::PrintableText(text) : text);
}

}  // namespace quorvel
