// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the engine needs from a front end (the window or the command line).
// The engine keeps the state of every control it drives (captions, enabled
// states, progress, list items) and tells the front end when it changed; the
// front end shows it and answers the questions the engine asks. All calls are
// made on the UI thread.
#include <QString>
#include <cstdint>
#include <optional>

#include "upload/run_state.h"

namespace quorvel {

enum class ButtonId { Connect, OpenHex, StartBootloader };

// Upload phases a front end may show progress for.
enum class UploadPhase { Erase, Write, BootErase, BootWrite };

enum class MessageKind {
  Warning,   // OK box with a warning icon (HEX checksum failure)
  Error,     // OK box with an error icon (HEX address violation)
  AppError,  // the application's error display, titled "Quorvel"
};

struct TTaskDialogTexts {
  QString Title;
  QString MainInstruction;
  QString Content;
  QString ExpandedText;
  std::optional<UploadProof> Wrote = std::nullopt;  // what a successful upload wrote, for front ends that show it
};

struct UploadOutcome;

class Frontend {
 public:
  virtual ~Frontend() = default;

  // One line appended to the history log.
  virtual void HistoryAppended(const QString& line) = 0;
  // A history line that says why an action failed (or was not taken).
  virtual void ErrorAppended(const QString& line) { HistoryAppended(line); }
  virtual void TerminalCleared() {}
  // Read the new state from Engine::Controls().
  virtual void ButtonChanged(ButtonId /*id*/) {}
  virtual void ProgressChanged() {}  // called per step: keep it cheap
  // Bytes done of total in one phase of an upload; never goes back within a phase.
  virtual void UploadProgress(UploadPhase /*phase*/, std::uint64_t /*done*/, std::uint64_t /*total*/) {}
  // A run of Begin uploading is over (after its dialog, if it showed one).
  virtual void UploadEnded(const UploadOutcome& /*outcome*/) {}
  virtual void DeviceInfoChanged() {}  // MCU/device combo boxes, link indicator
  // Show a path in the status bar (shortened to the bar's width).
  virtual void ShowFileInStatusBar(const QString& /*path*/) {}

  // Modal questions and messages.
  virtual bool AskYesNo(const QString& text) = 0;  // warning Yes/No box; true = Yes
  virtual void ShowMessage(MessageKind kind, const QString& title, const QString& text) = 0;
  virtual void ShowTaskDialog(const TTaskDialogTexts& texts) = 0;
  // The file dialog: "HEX files" (*.hex, *.ihex). Returns false when cancelled;
  // otherwise fileName holds the chosen file.
  virtual bool ChooseHexFile(QString& fileName, const QString& initialDir) {
    (void)fileName;
    (void)initialDir;
    return false;
  }
  // Close the main window (after a successful upload with "Close when finished").
  virtual void CloseMainWindow() {}
};

}  // namespace quorvel
