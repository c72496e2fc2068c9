// SPDX-License-Identifier: Apache-2.0
#include "engine/pelmo.h"

#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <string>
#include <utility>

#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "image/hex_loader.h"
#include "core/families.h"

namespace quorvel {

namespace {

// The extension of a file name: from the last "." after the last "/", or empty.
QString FileExtension(const QString& name) {
  const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot > slash ? name.mid(dot) : QString();
}

bool IsOpenableHexFile(const QString& name) {
  return QFileInfo(name).isFile() &&
         FileExtension(name).compare(QLatin1String(".hex"), Qt::CaseInsensitive) == 0;
}

}  // namespace

TPelmo::TPelmo(hid::HidPlatform& platform, Frontend& frontend, QObject* parent)
    : QObject(parent), UploadRun(platform, frontend) {
  connect(&EraseAnimation, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });

  HidCtl = std::make_unique<hid::THidDeviceController>(platform_, this);
  const auto token = reinterpret_cast<std::uintptr_t>(this);
  HidCtl->SetOnEnumerate({[this](hid::THidDevice* dev, std::int32_t idx) {
                            bool goOn = true;
                            Guarded([&] { goOn = HidCtlEnumerate(dev, idx); });
                            return goOn;
                          },
                          token});
  HidCtl->SetOnDeviceChange(
      {[this](hid::THidDeviceController* sender) { Guarded([&] { HidCtlDeviceChange(sender); }); }, token});
  HidCtl->SetOnRemoval({[this](hid::THidDevice* dev) { Guarded([&] { HidCtlRemoval(dev); }); }, token});
  HidCtl->SetOnArrival({[this](hid::THidDevice* dev) { Guarded([&] { HidCtlArrival(dev); }); }, token});
  HidCtl->SetOnDeviceDataError({[this](hid::THidDevice* dev, std::uint32_t error) {
                                  Guarded([&] { HidCtlDeviceDataError(dev, error); });
                                },
                                token});
}

TPelmo::~TPelmo() {
  EraseAnimation.stop();
  ResponseTimer.stop();
  // Every checked-out device goes back (stopping its reader) while the
  // controller still exists to take it.
  FormDestroy();
  HidCtl.reset();
}

void TPelmo::FormCreate(const QStringList& args) {
  DeviceList.clear();
  TransferBuffer.assign(64, 0);
  Connected = false;
  HexLoaded = false;
  HexMcuType = 0;
  RxReady = false;
  RxCount = 0;
  ReenterHint = true;
  BootInfo.McuType = 0;

  if (args.size() < 2) return;
  // The first family whose keyword appears anywhere in the argument ("ARM_P16" is a PIC16).
  const FamilyFacts* family = FamilyInArgument(args[0].toStdString());
  if (family == nullptr) return;
  BootInfo.McuType = family->code;

  const QString& file = args[1];
  if (!IsOpenableHexFile(file)) return;
  UI().ShowFileInStatusBar(file);
  if (LoadHexFile(file).EndsAction()) return;
  CommandLineHexFile = file;
  AppendHistory(text::kOpened + file);
}

void TPelmo::FormClose() {
  if (!Connected) return;
  // The connection ends here: the device's disappearance after the restart,
  // which may be handled while the restart is being written, is expected.
  Connected = false;
  RestartBoard();
}

void TPelmo::FormDestroy() {
  ActiveDevice = nullptr;
  DropBoardLock();
  ClearDeviceList();
}

QString TPelmo::GetFileVersion() { return QStringLiteral(QUORVEL_VERSION_STRING); }

QString TPelmo::ErrorDisplayText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

void TPelmo::ShowApplicationError(const QString& message) {
  UI().ShowMessage(MessageKind::AppError, text::kAppTitle, ErrorDisplayText(message));
}

void TPelmo::ButtonOpenHexClick() {
  if (!Connected) {
    AppendError(text::kConnectFirst);
    return;
  }
  QString name = FileDialogName;
  if (!UI().ChooseHexFile(name, FileDialogInitialDir)) return;
  OpenChosenHexFile(name);
}

void TPelmo::OpenChosenHexFile(const QString& name) {
  PendingOpenFile.clear();
  FileDialogName = name;
  if (!IsOpenableHexFile(name)) {
    AppendHistory(text::kFileNotFound + name);
    return;
  }
  CommandLineHexFile.clear();
  UI().ShowFileInStatusBar(name);
  if (LoadHexFile(name).EndsAction()) return;
  AppendHistory(text::kOpened + name);
}

void TPelmo::OpenHexFileOnConnect(const QString& name) {
  if (Connected) {
    OpenChosenHexFile(name);
    return;
  }
  PendingOpenFile = name;
  UI().ShowFileInStatusBar(name);
}

void TPelmo::WMDropFiles(const QStringList& names) {
  if (!Connected) {
    AppendError(text::kConnectFirst);
    return;
  }
  for (const QString& name : names) {
    if (!IsOpenableHexFile(name)) continue;
    CommandLineHexFile.clear();
    AppendHistory(text::kOpened + name);
    UI().ShowFileInStatusBar(name);
    LoadHexFile(name);
    return;
  }
}

HexLoadOutcome TPelmo::LoadHexFile(const QString& fileName) {
  THexImages images;
  images.FlashImage = std::move(FlashImage);
  images.BootFlashImage = std::move(BootFlashImage);
  images.HexLoaded = HexLoaded;
  images.HexMcuType = HexMcuType;
  HexLoadResult result;
  try {
    const std::string path = fileName.toStdString();
    result = ImageFileLoader ? ImageFileLoader(path, BootInfo, images)
                             : quorvel::LoadHexFile(path, BootInfo, images);
  } catch (const std::exception& e) {
    FlashImage = std::move(images.FlashImage);
    BootFlashImage = std::move(images.BootFlashImage);
    // Shown by the handler's guard; kept so a caller learns what was said.
    LastHexLoad = {HexLoadStatus::NotLoaded, true, ErrorDisplayText(QString::fromUtf8(e.what()))};
    throw;
  } catch (...) {
    FlashImage = std::move(images.FlashImage);
    BootFlashImage = std::move(images.BootFlashImage);
    LastHexLoad = {HexLoadStatus::NotLoaded, true, ErrorDisplayText(text::kUnknownError)};
    throw;
  }
  FlashImage = std::move(images.FlashImage);
  BootFlashImage = std::move(images.BootFlashImage);
  HexLoaded = images.HexLoaded;
  HexMcuType = images.HexMcuType;
  // Every outcome but NotLoaded replaced the images with this file's (or emptied them).
  if (result.status != HexLoadStatus::NotLoaded) LastHexFile = fileName;

  const QString message = QString::fromStdString(result.message);
  LastHexLoad = {result.status, false, {}};
  switch (result.status) {
    case HexLoadStatus::Loaded:
    case HexLoadStatus::NotLoaded:
      break;
    case HexLoadStatus::ChecksumFailed:
      LastHexLoad.shown = message;
      UI().ShowMessage(MessageKind::Warning, text::kAppTitle, message);
      break;
    case HexLoadStatus::FlashOffset:
      LastHexLoad.shown = message;
      UI().ShowMessage(MessageKind::Error, text::kAppTitle, message);
      break;
    case HexLoadStatus::InvalidInteger:
    case HexLoadStatus::Unreadable:
    case HexLoadStatus::TooLarge:
      LastHexLoad.shown = ErrorDisplayText(message);
      ShowApplicationError(message);
      break;
  }
  return LastHexLoad;
}

void TPelmo::BusyEnded() {
  if (State().DeviceChangePending()) {
    // Run from the event loop, not from deep inside the handler that ended the busy section.
    QTimer::singleShot(0, this, [this] { RunDeferredDeviceChange(); });
  }
  // Posted after the device change, which may open the device the click needs.
  if (State().ClicksPending()) QTimer::singleShot(0, this, [this] { RunDeferredClicks(); });
}

void TPelmo::RunDeferredClicks() {
  // Inside another exchange again: its end posts this once more.
  if (State().Busy()) return;
  const std::vector<ButtonId> clicks = State().TakeClicks();
  for (const ButtonId id : clicks) {
    Guarded([this, id] {
      if (id == ButtonId::Connect) {
        ButtonConnectClick();
      } else if (id == ButtonId::StartBootloader) {
        ButtonStartBootloaderClick();
      }
    });
  }
}

void TPelmo::RunDeferredDeviceChange() {
  if (State().Busy() || !State().DeviceChangePending()) return;
  State().SetDeviceChangePending(false);
  Guarded([this] { HidCtlDeviceChange(HidCtl.get()); });
}

}  // namespace quorvel
