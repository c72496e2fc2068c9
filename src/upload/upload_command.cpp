// "Begin uploading" / "Stop uploading": starts an upload and runs it to its
// end inside the click handler, or asks a running one to stop.
#include <exception>

#include "app/pelmo.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "upload/flash_area.h"
#include "upload/upload_proof.h"
#include "upload/upload_steps.h"

namespace quorvel {

using namespace upload;

namespace {

// Clears the working state when the run ends, however it ends, so the copies
// of the images do not outlive it.
class TRunScope {
 public:
  explicit TRunScope(TPelmo& pelmo) : pelmo_(pelmo), busy_(pelmo) {
    pelmo_.Upload = TUploadState{};
    pelmo_.UploadHandlerActive = true;
  }
  ~TRunScope() {
    pelmo_.UploadHandlerActive = false;
    pelmo_.Upload = TUploadState{};
  }
  TRunScope(const TRunScope&) = delete;
  TRunScope& operator=(const TRunScope&) = delete;

 private:
  TPelmo& pelmo_;
  TBusySection busy_;
};

}  // namespace

void TPelmo::ButtonStartBootloaderClick() {
  if (!Connected) {
    AppendHistory(QStringLiteral("Error: Connect first."));
    return;
  }
  if (!HexLoaded) {
    AppendHistory(QStringLiteral("Error: Load HEX file first."));
    return;
  }
  if (BootInfo.McuType != HexMcuType) {
    AppendHistory(QStringLiteral("Error: Reload HEX file."));
    return;
  }
  if (ButtonStartBootloader.Tag != 0) {
    // The stop request; the running upload notices it at its next check.
    ButtonStartBootloader.Tag = 0;
    return;
  }
  // A stop is pending (or a result dialog is open) in a run that is still
  // inside this handler further up the stack: starting another run here
  // would nest two uploads on one transfer buffer.
  if (UploadHandlerActive) return;
  // Another exchange is waiting for its answer (the information request of a
  // device change, say): Erase frames now would land in the middle of it. The
  // click is acted on, preconditions checked again, once that exchange is over.
  if (BusyDepth > 0) {
    DeferClick(ButtonId::StartBootloader);
    return;
  }

  TRunScope run(*this);
  UploadRefusal = TUploadRefusal::None;
  Proof = {};
  // A run that leaves program flash alone has written no program bytes.
  Upload.Proof.programSha256 = Sha256Hex(std::vector<StagedRange>{});
  try {
    SetEnabled(ButtonId::Connect, false);
    SetEnabled(ButtonId::OpenHex, false);
    ButtonStartBootloader.Tag = 1;
    SetCaption(ButtonId::StartBootloader, QStringLiteral("Stop uploading"));
    AppendHistory(QStringLiteral("Uploading:"));
    if (!PrepareUpload()) return;

    const int result = BootAtBottom(BootInfo) ? UploadBootBottom() : UploadBootTop();
    if (result != kRunGoesOn) return;
    // Every block was acknowledged, but a device that checks what it is sent
    // (the simulated one) may have seen flash written wrongly: never a success.
    if (ActiveDevice != nullptr) {
      if (const std::string violation = platform_.ReportedViolation(ActiveDevice->PnPInfo());
          !violation.empty()) {
        AppendHistory(QStringLiteral("Error: The device reports a protocol violation: %1.")
                          .arg(QString::fromStdString(violation)));
        CloseConnection();
        return;
      }
    }

    TTaskDialogTexts texts;
    texts.Title = QStringLiteral("Success");
    texts.MainInstruction = QStringLiteral("Restarting MCU...");
    texts.Content = QStringLiteral("Uploading program completed successfully.");
    texts.ExpandedText = QStringLiteral("Uploading program \"") + UploadFileName() +
                         QStringLiteral("\" finished with success.");
    Proof = Upload.Proof;
    AppendHistory(QStringLiteral("Completed successfully."));
    CloseConnection();
    UI().ShowTaskDialog(texts);
    if (CheckBoxClose) UI().CloseMainWindow();
  } catch (const std::exception& e) {
    EndRunAfterError(QStringLiteral("Error: Upload failed: %1").arg(QString::fromUtf8(e.what())));
  } catch (...) {
    EndRunAfterError(QStringLiteral("Error: Upload failed."));
  }
}

bool TPelmo::PrepareUpload() {
  // Nothing is erased before the device's geometry is known to be safe and
  // the images are known to hold something for it.
  const TGeometryCheck check = CheckUploadGeometry(BootInfo);
  if (!check.problem.empty()) {
    RefuseUpload(*this, TUploadRefusal::Geometry, QString::fromStdString(check.problem));
    return false;
  }
  Upload.Area = check.area;
  Upload.Data = ImageDataFor(check.area, FlashImage, BootFlashImage);
  switch (Upload.Data) {
    case TImageData::None:
      RefuseUpload(*this, TUploadRefusal::NothingToWrite, NothingToWriteLine());
      return false;
    case TImageData::BootFlashOnly:
      AppendHistory(QStringLiteral("HEX file holds boot flash data only: program flash is left as it is."));
      break;
    case TImageData::Program:
      break;
  }
  return true;
}

QString TPelmo::NothingToWriteLine() const {
  const TFlashArea& area = Upload.Area;
  if (FlashImage.empty() && BootFlashImage.empty()) {
    return QStringLiteral("Error: Nothing to write: the HEX file holds no data for this device.");
  }
  if (area.bottom) {
    const std::uint32_t end = DeviceAddressOf(*area.family, area.appEnd);
    // Most often an application linked for the start of flash, over the bootloader.
    return QStringLiteral(
               "Error: Nothing to write: the HEX file holds no data between program start 0x%1 "
               "and the end of flash 0x%2; was it linked for this bootloader?")
        .arg(HexNumber(area.appAddress), HexNumber(end));
  }
  return QStringLiteral("Error: Nothing to write: the HEX file holds no data below bootloader start 0x%1.")
      .arg(HexNumber(static_cast<std::uint32_t>(BootInfo.BootStart)));
}

void TPelmo::EndRunAfterError(const QString& line) {
  // Not swallowed: the run ends as after a device error, and the log says why.
  AppendHistory(line);
  if (!Connected && ButtonStartBootloader.Tag == 0) return;  // the run had already ended
  try {
    CloseConnection();
  } catch (...) {
    // The device cannot even take the restart; the controls must still come back.
    Connected = false;
    ButtonStartBootloader.Tag = 0;
    SetCaption(ButtonId::StartBootloader, QStringLiteral("Begin uploading"));
    SetCaption(ButtonId::Connect, QStringLiteral("Connect"));
    SetEnabled(ButtonId::Connect, true);
    SetEnabled(ButtonId::OpenHex, true);
  }
}

}  // namespace quorvel
