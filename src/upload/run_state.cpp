// The two ways an upload run ends: stopped by the user (the connection stays,
// the device stays in its bootloader) or closed after success or a device
// error (the connection is dropped and the device restarted).
#include "app/pelmo.h"

namespace quorvel {

namespace {
QString QuotedFileName(const QString& name) { return QLatin1Char('"') + name + QLatin1Char('"'); }
}  // namespace

QString TPelmo::UploadFileName() const { return LastHexFile.isEmpty() ? OpenDialog1FileName : LastHexFile; }

void TPelmo::AbortUpload() {
  SetEnabled(ButtonId::Connect, true);
  SetEnabled(ButtonId::OpenHex, true);
  Timer1.stop();
  SetProgressPosition(0);
  ButtonStartBootloader.Tag = 0;
  SetCaption(ButtonId::StartBootloader, QStringLiteral("Begin uploading"));

  TTaskDialogTexts texts;
  texts.Title = QStringLiteral("Abort");
  texts.MainInstruction = QStringLiteral("User abort...");
  texts.Content = QStringLiteral("Uploading program was stopped by user.");
  texts.ExpandedText =
      QStringLiteral("Uploading program ") + QuotedFileName(UploadFileName()) + QStringLiteral(" was stopped by user.");
  UI().ShowTaskDialog(texts);
  AppendHistory(QStringLiteral("Upload aborted."));
}

void TPelmo::CloseConnection() {
  Connected = false;
  SetEnabled(ButtonId::Connect, true);
  SetCaption(ButtonId::Connect, QStringLiteral("Connect"));
  SetEnabled(ButtonId::OpenHex, true);
  AppendHistory(QStringLiteral("Disconnected."));
  Timer1.stop();
  SetProgressPosition(0);
  ButtonStartBootloader.Tag = 0;
  SetCaption(ButtonId::StartBootloader, QStringLiteral("Begin uploading"));
  if (ActiveDevice != nullptr) {
    AppendHistory(QStringLiteral("Reset..."));
    SendReboot();
  }
  ReleaseBoardLock();
}

}  // namespace quorvel
