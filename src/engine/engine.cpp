// SPDX-License-Identifier: Apache-2.0
#include "engine/engine.h"

#include <utility>

#include "engine/pelmo.h"
#include "engine/upload/upload_proof.h"
#include "hid/hid_device.h"
#include "io/display_text.h"
#include "protocol/bootloader_id.h"

namespace quorvel {

namespace {

// A binary read as HEX can put any byte into the loader's message: all but
// its line breaks are made printable before the message is shown.
std::string PrintableMessage(const std::string& text) {
  std::string out;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", from), text.size());
    out += io::PrintableText(std::string_view(text).substr(from, end - from));
    if (end < text.size()) out += text[end];
    from = end + 1;
  }
  return out;
}

BoardView ViewOf(const TDeviceEntry& entry, const hid::THidDevice* active) {
  BoardView board;
  board.label = entry.Label;
  hid::THidDevice* dev = entry.Device.get();
  if (dev == nullptr) return board;
  board.opened = true;
  board.path = dev->PnPInfo().InterfacePath;
  board.instance = dev->PnPInfo().DeviceInstance;
  board.serial = dev->SerialString();
  board.vendorId = dev->Attributes().VendorID;
  board.productId = dev->Attributes().ProductID;
  board.readWrite = dev->ReadWriteAccess();
  board.active = dev == active;
  return board;
}

}  // namespace

Engine::Engine(hid::HidPlatform& platform, Frontend& frontend, EngineOptions options)
    : pelmo_(std::make_unique<TPelmo>(platform, frontend)), options_(options) {
  pelmo_->KeepBoardLock = options.keepBoardLock;
}

Engine::~Engine() = default;

void Engine::Start(const QStringList& args) {
  pelmo_->Guarded([&] { pelmo_->FormCreate(args); });
}

void Engine::Close() {
  pelmo_->Guarded([&] { pelmo_->FormClose(); });
}

void Engine::ReleaseBoards() {
  pelmo_->Guarded([&] { pelmo_->FormDestroy(); });
}

std::vector<BoardView> Engine::Boards() const {
  std::vector<BoardView> boards;
  std::vector<InterfaceTraits> traits;
  for (const TDeviceEntry& entry : pelmo_->DeviceList) {
    boards.push_back(ViewOf(entry, pelmo_->ActiveDevice));
    InterfaceTraits t;
    if (hid::THidDevice* dev = entry.Device.get(); dev != nullptr) {
      t.bootloaderProduct = IsBootloaderProduct(dev->ProductString());
      t.reportsFit = t.bootloaderProduct && Link::BootloaderReportsFit(dev);
    }
    traits.push_back(t);
  }
  const std::vector<bool> bootloaders = Bootloaders(traits);
  for (std::size_t i = 0; i < boards.size(); ++i) boards[i].bootloader = bootloaders[i];
  return boards;
}

bool Engine::InUseElsewhere(const std::string& path) {
  for (const TDeviceEntry& entry : pelmo_->DeviceList) {
    if (entry.Device != nullptr && entry.Device->PnPInfo().InterfacePath == path)
      return pelmo_->BoardInUseElsewhere(entry.Device.get());
  }
  return false;
}

void Engine::ChooseBoard(const BoardChoice& choice) {
  pelmo_->PreferredSerial = choice.serial;
  pelmo_->PreferredPath = choice.path;
}

void Engine::OpenChosenBoard() {
  const hid::THidDevice* active = pelmo_->ActiveDevice;
  if (active != nullptr && (pelmo_->PreferredPath.empty() || active->PnPInfo().InterfacePath == pelmo_->PreferredPath))
    return;
  pelmo_->Guarded([&] { pelmo_->OpenBootloaderDevice(text::kBootloaderProductName); });
}

void Engine::Connect() {
  pelmo_->Guarded([&] {
    if (pelmo_->Connected || pelmo_->State().Handshaking()) return;
    pelmo_->ButtonConnectClick();
  });
}

void Engine::Disconnect() {
  pelmo_->Guarded([&] {
    if (!pelmo_->Connected && !pelmo_->State().Handshaking()) return;
    pelmo_->ButtonConnectClick();
  });
}

void Engine::Browse() {
  pelmo_->Guarded([&] { pelmo_->ButtonOpenHexClick(); });
}

void Engine::DropFiles(const QStringList& names) {
  pelmo_->Guarded([&] { pelmo_->WMDropFiles(names); });
}

void Engine::OpenOnConnect(const QString& name) {
  pelmo_->Guarded([&] { pelmo_->OpenHexFileOnConnect(name); });
}

HexLoadOutcome Engine::Load(const FirmwareInput& input) {
  FirmwareFormat format = FirmwareFormat::IntelHex;
  DroppedData dropped;
  pelmo_->ImageFileLoader = [&](const std::string&, const TBootInfo& info, THexImages& images) {
    FirmwareLoadResult result = LoadFirmware(input, info, images);
    format = result.format;
    dropped = result.load.dropped;
    result.load.message = PrintableMessage(result.load.message);
    return result.load;
  };
  const QString name = QString::fromStdString(input.displayName.empty() ? input.path : input.displayName);
  pelmo_->LastHexLoad = {};
  pelmo_->Guarded([&] { pelmo_->LoadHexFile(name); });
  pelmo_->ImageFileLoader = nullptr;
  HexLoadOutcome outcome = pelmo_->LastHexLoad;
  outcome.format = format;
  outcome.dropped = dropped;
  return outcome;
}

THexImages Engine::Images() const {
  return {pelmo_->FlashImage, pelmo_->BootFlashImage, pelmo_->HexLoaded, pelmo_->HexMcuType};
}

upload::UploadPlan Engine::Plan(const UploadRequest& request) const {
  return upload::PlanUpload(pelmo_->BootInfo, pelmo_->FlashImage, pelmo_->BootFlashImage, request.skipBlank);
}

UploadOutcome Engine::Upload(const UploadRequest& request) {
  if (pelmo_->UploadRunning()) return {};
  if (!request.fileName.isEmpty()) pelmo_->LastHexFile = request.fileName;
  pelmo_->SkipBlank = request.skipBlank;
  pelmo_->LastUpload = {};
  pelmo_->Guarded([&] { pelmo_->ButtonStartBootloaderClick(); });
  return pelmo_->LastUpload;
}

void Engine::Stop(StopKind kind) {
  if (kind == StopKind::AbandonWaits) {
    pelmo_->WaitsAbandoned = true;
    return;
  }
  if (pelmo_->UploadRunning()) pelmo_->Guarded([&] { pelmo_->ButtonStartBootloaderClick(); });
}

ControlsState Engine::Controls() const {
  const TPelmo& p = *pelmo_;
  ControlsState c;
  c.ButtonConnect = p.ButtonConnect;
  c.ButtonOpenHex = p.ButtonOpenHex;
  c.ButtonStartBootloader = p.ButtonStartBootloader;
  c.Progress = p.Progress;
  c.MCUComboBox = p.MCUComboBox;
  c.DeviceComboBox = p.DeviceComboBox;
  c.LinkIndicator = p.LinkIndicator;
  c.CheckBoxClose = p.CheckBoxClose;
  c.FileDialogName = p.FileDialogName;
  c.FileDialogInitialDir = p.FileDialogInitialDir;
  return c;
}

EngineStatus Engine::Status() const {
  const TPelmo& p = *pelmo_;
  EngineStatus s;
  s.deviceChangesHandled = p.DeviceChangesHandled;
  s.busy = p.Busy() || p.State().Current() != Activity::Idle;
  s.connected = p.Connected;
  s.handshaking = p.State().Handshaking();
  s.uploading = p.UploadRunning();
  for (const BoardView& board : Boards()) {
    if (board.active) s.active = board;
  }
  s.bootInfo = p.BootInfo;
  s.boardInUse = p.BoardInUse;
  s.lastWait = p.LastWaitResult;
  s.droppedReports = p.DroppedReports;
  return s;
}

void Engine::ApplySettings(const ControlSettings& settings) {
  TPelmo& p = *pelmo_;
  if (settings.CheckBoxClose) p.CheckBoxClose = *settings.CheckBoxClose;
  if (settings.FileDialogInitialDir) p.FileDialogInitialDir = *settings.FileDialogInitialDir;
  if (settings.FileDialogName) p.FileDialogName = *settings.FileDialogName;
  if (settings.McuItemIndex) {
    // The list may still be empty; an index only sticks when it names an item.
    const int index = *settings.McuItemIndex;
    if (index == -1 || (index >= 0 && index < p.MCUComboBox.Items.size())) {
      p.MCUComboBox.ItemIndex = index;
      p.UI().DeviceInfoChanged();
    }
  }
}

const TButton& ControlsState::Button(ButtonId id) const {
  switch (id) {
    case ButtonId::Connect:
      return ButtonConnect;
    case ButtonId::OpenHex:
      return ButtonOpenHex;
    case ButtonId::StartBootloader:
      break;
  }
  return ButtonStartBootloader;
}

QString ErrorDisplayText(const QString& message) { return TPelmo::ErrorDisplayText(message); }

UploadProof PlanProof(const upload::UploadPlan& plan) { return upload::ProofOf(plan); }

QString EngineVersion() { return TPelmo::GetFileVersion(); }

}  // namespace quorvel
