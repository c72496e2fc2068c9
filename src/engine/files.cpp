// SPDX-License-Identifier: Apache-2.0
// Firmware files: the one named on the window's command line, Browse, files
// dropped or handed over by the desktop, loads in any format; and the board's
// record shown, which the command-line file is loaded again for.
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "core/families.h"
#include "engine/controls_model.h"
#include "engine/engine.h"
#include "engine/link/link.h"
#include "engine/texts.h"
#include "engine/upload/upload_run.h"
#include "image/image_builder.h"
#include "io/display_text.h"

namespace quorvel {

namespace {

// The extension of a file name: from the last "." after the last "/", or empty.
QString FileExtension(const QString& name) {
  const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot > slash ? name.mid(dot) : QString();
}

// `.ihex` too where the user picks the file (Browse, drops, the desktop's "Open with", which the
// package registers for both); the start-up command line that names a family keeps `.hex` alone.
bool IsOpenableHexFile(const QString& name, bool ihexToo) {
  if (!QFileInfo(name).isFile()) return false;
  const QString extension = FileExtension(name);
  return extension.compare(QLatin1String(".hex"), Qt::CaseInsensitive) == 0 ||
         (ihexToo && extension.compare(QLatin1String(".ihex"), Qt::CaseInsensitive) == 0);
}

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

}  // namespace

namespace {

// What a file is on disk now: which file, how long, when last written; nothing when it is gone.
template <class Stamp>
std::optional<Stamp> StampOf(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
  return Stamp{path,
               static_cast<std::uint64_t>(st.st_dev),
               static_cast<std::uint64_t>(st.st_ino),
               static_cast<std::uint64_t>(st.st_size),
               static_cast<std::int64_t>(st.st_mtim.tv_sec),
               static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

}  // namespace

void Engine::Start(const QStringList& args) {
  Guarded([&] {
    if (args.size() < 2) return;
    // The first family whose keyword appears anywhere in the argument ("ARM_P16" is a PIC16).
    const FamilyFacts* family = FamilyInArgument(args[0].toStdString());
    if (family == nullptr) return;
    link_->AssumeFamily(family->code);

    const QString& file = args[1];
    if (!IsOpenableHexFile(file, false)) return;
    ui_.ShowFileInStatusBar(file);
    if (LoadWindowFile(file).EndsAction()) return;
    CommandLineHexFile = file;
    controls_->AppendHistory(text::kOpened + file);
  });
}

void Engine::Browse() {
  Guarded([&] {
    if (!link_->IsConnected()) {
      controls_->AppendError(text::kConnectFirst);
      return;
    }
    QString name = controls_->FileDialogName();
    if (!ui_.ChooseHexFile(name, controls_->FileDialogInitialDir())) return;
    OpenChosenHexFile(name);
  });
}

void Engine::OpenChosenHexFile(const QString& name) {
  PendingOpenFile.clear();
  controls_->SetFileDialogName(name);
  if (!IsOpenableHexFile(name, true)) {
    controls_->AppendHistory(text::kFileNotFound + name);
    return;
  }
  CommandLineHexFile.clear();
  ui_.ShowFileInStatusBar(name);
  if (LoadWindowFile(name).EndsAction()) return;
  controls_->AppendHistory(text::kOpened + name);
}

void Engine::OpenOnConnect(const QString& name) {
  Guarded([&] {
    if (link_->IsConnected()) {
      OpenChosenHexFile(name);
      return;
    }
    PendingOpenFile = name;
    ui_.ShowFileInStatusBar(name);
  });
}

void Engine::DropFiles(const QStringList& names) {
  Guarded([&] {
    if (!link_->IsConnected()) {
      controls_->AppendError(text::kConnectFirst);
      return;
    }
    for (const QString& name : names) {
      if (!IsOpenableHexFile(name, true)) continue;
      CommandLineHexFile.clear();
      controls_->AppendHistory(text::kOpened + name);
      ui_.ShowFileInStatusBar(name);
      LoadWindowFile(name);
      return;
    }
  });
}

HexLoadOutcome Engine::LoadWindowFile(const QString& name) {
  // Taken before the load: a change while it reads is caught by the loader itself.
  std::optional<FileStamp> before = StampOf<FileStamp>(name);
  const HexLoadOutcome outcome = LoadHexFile(name);
  windowFile_ = outcome.status == HexLoadStatus::NotLoaded ? std::nullopt : std::move(before);
  return outcome;
}

bool Engine::ReloadChangedFile() {
  if (!windowFile_) return true;
  const QString name = windowFile_->path;
  const std::optional<FileStamp> now = StampOf<FileStamp>(name);
  if (now == windowFile_) return true;
  const bool gone = !now || !QFileInfo(name).isFile();
  const HexLoadOutcome outcome = gone ? HexLoadOutcome{} : LoadWindowFile(name);
  if (gone || outcome.Refused() || outcome.status == HexLoadStatus::NotLoaded) {
    // Nothing of the old file may be flashed for the new one.
    windowFile_.reset();
    ClearImages(run_->Images());
    run_->Images().HexLoaded = false;
    if (gone) controls_->AppendHistory(text::kFileNotFound + name);
    return false;
  }
  controls_->AppendHistory(text::kOpened + name);
  return true;
}

HexLoadOutcome Engine::Load(const FirmwareInput& input) {
  windowFile_.reset();  // the command line reads its file once, when it starts
  FirmwareFormat format = FirmwareFormat::IntelHex;
  DroppedData dropped;
  const ImageLoader loader = [&](const TBootInfo& info, THexImages& images) {
    FirmwareLoadResult result = LoadFirmware(input, info, images);
    format = result.format;
    dropped = result.load.dropped;
    result.load.message = PrintableMessage(result.load.message);
    return result.load;
  };
  const QString name = QString::fromStdString(input.displayName.empty() ? input.path : input.displayName);
  LastHexLoad = {};
  Guarded([&] { LoadHexFile(name, loader); });
  HexLoadOutcome outcome = LastHexLoad;
  outcome.format = format;
  outcome.dropped = dropped;
  return outcome;
}

HexLoadOutcome Engine::LoadHexFile(const QString& fileName, const ImageLoader& loader) {
  // The loader works on a copy of the flags: an exception leaves the images
  // given back but the flags as they were.
  THexImages& current = run_->Images();
  THexImages images;
  images.FlashImage = std::move(current.FlashImage);
  images.BootFlashImage = std::move(current.BootFlashImage);
  images.HexLoaded = current.HexLoaded;
  images.HexMcuType = current.HexMcuType;
  const auto giveBack = [&] {
    current.FlashImage = std::move(images.FlashImage);
    current.BootFlashImage = std::move(images.BootFlashImage);
  };
  HexLoadResult result;
  try {
    const TBootInfo& info = link_->Record();
    result = loader ? loader(info, images) : quorvel::LoadHexFile(fileName.toStdString(), info, images);
  } catch (const std::exception& e) {
    giveBack();
    // Shown by the handler's guard; kept so a caller learns what was said.
    LastHexLoad = {HexLoadStatus::NotLoaded, true, ErrorDisplayText(QString::fromUtf8(e.what()))};
    throw;
  } catch (...) {
    giveBack();
    LastHexLoad = {HexLoadStatus::NotLoaded, true, ErrorDisplayText(text::kUnknownError)};
    throw;
  }
  giveBack();
  current.HexLoaded = images.HexLoaded;
  current.HexMcuType = images.HexMcuType;
  // Every outcome but NotLoaded replaced the images with this file's (or emptied them).
  if (result.status != HexLoadStatus::NotLoaded) run_->SetLastHexFile(fileName);

  const QString message = QString::fromStdString(result.message);
  LastHexLoad = {result.status, false, {}};
  switch (result.status) {
    case HexLoadStatus::Loaded:
    case HexLoadStatus::NotLoaded:
      break;
    case HexLoadStatus::ChecksumFailed:
      LastHexLoad.shown = message;
      ui_.ShowMessage(MessageKind::Warning, text::kAppTitle, message);
      break;
    case HexLoadStatus::FlashOffset:
      LastHexLoad.shown = message;
      ui_.ShowMessage(MessageKind::Error, text::kAppTitle, message);
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

void Engine::ShowBootInfo() {
  const TBootInfo& info = link_->Record();
  // Chunks are EraseBlock bytes, but the buffer must always take a whole
  // 64-byte report; a device reporting less is refused for uploads instead.
  link_->SizeTransferBuffer(info.EraseBlock);
  const std::string_view family = McuFamilyName(info.McuType);
  int current = -1;
  const QStringList devices =
      DeviceEntries(info.DeviceDescription.empty() ? QString() : DeviceDescriptionText(info, true), current);
  controls_->ShowDevice(QString::fromLatin1(family.data(), static_cast<qsizetype>(family.size())), devices, current);
  if (devices.size() > 1 && current >= 0) {
    // Said when the boards or the one in use change, not at every re-listing.
    const QString line =
        QStringLiteral("%1 bootloaders attached; using %2.").arg(QString::number(devices.size()), devices[current]);
    if (line != severalSaid_) controls_->AppendHistory(line);
    severalSaid_ = line;
  } else {
    severalSaid_.clear();
  }

  // A command-line file was loaded before any device had reported its
  // geometry; load it again now that the limits are known, but only for the
  // family it was named for.
  const THexImages& images = run_->Images();
  if (!CommandLineHexFile.isEmpty() && images.HexLoaded && info.McuType == images.HexMcuType) {
    const QString file = std::exchange(CommandLineHexFile, QString());
    LoadWindowFile(file);
  }
}

}  // namespace quorvel
