// SPDX-License-Identifier: Apache-2.0
#pragma once
// The uploader's engine as front ends call it: the window (quorvel) and the
// command line (quorvel-cli) alike. It lists the boards, connects to the one
// it talks to, loads firmware for it and runs uploads; it calls back through
// the Frontend (history lines, progress, questions, dialogs) and answers with
// typed outcomes. Every call runs on the Qt UI thread; an upload and a
// connect run to their end inside the call, processing events meanwhile, so
// other calls (a stop, say) can arrive inside them.
//
// An error that escapes the engine's work is shown by the application's error
// display (Frontend::ShowMessage, MessageKind::AppError) and the call returns.
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "engine/engine_types.h"
#include "engine/frontend.h"
#include "engine/outcomes.h"
#include "image/firmware_file.h"
#include "image/hex_loader.h"
#include "upload/write_plan.h"

namespace quorvel {

namespace hid {
class HidPlatform;
}
class TPelmo;
class EngineProbe;

class Engine {
 public:
  Engine(hid::HidPlatform& platform, Frontend& frontend, EngineOptions options = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // --- the program's run ---
  // Start-up, with the window's command line (the arguments after the
  // program name): a family keyword and a HEX file opened at once.
  void Start(const QStringList& args);
  // The window closes: a connected board is restarted.
  void Close();
  // Every board is given back.
  void ReleaseBoards();

  // --- boards ---
  std::vector<BoardView> Boards() const;
  // Another program holds the bootloader at `path` (asks its lock).
  bool InUseElsewhere(const std::string& path);
  // Which bootloader discovery takes from now on.
  void ChooseBoard(const BoardChoice& choice);
  // Opens the chosen bootloader now (asking for its record), unless it is the
  // board already in use.
  void OpenChosenBoard();
  // The handshake with the board; a call while another exchange waits for its
  // answer is acted on once that is over.
  void Connect();
  // Ends the connection and restarts the board, or cancels a handshake on its way.
  void Disconnect();

  // --- firmware ---
  // "Browse": the file dialog, then the chosen HEX file loaded for the board.
  void Browse();
  // Files dropped on the window: the first HEX file among them is loaded.
  void DropFiles(const QStringList& names);
  // A file handed over by the desktop: shown at once, loaded as if chosen
  // with Browse as soon as a connection exists.
  void OpenOnConnect(const QString& name);
  // Loads firmware in any format for the board's family and geometry; the
  // message boxes have been shown when it returns.
  HexLoadOutcome Load(const FirmwareInput& input);
  // The images the last load built.
  THexImages Images() const;

  // --- uploads ---
  // What an upload of the loaded images would do, without one.
  upload::UploadPlan Plan(const UploadRequest& request) const;
  // Runs an upload to its end. A call while another exchange waits for its
  // answer is acted on once that is over; a call while one runs does nothing.
  UploadOutcome Upload(const UploadRequest& request);
  void Stop(StopKind kind = StopKind::AfterBlock);

  // --- what front ends show ---
  ControlsState Controls() const;
  EngineStatus Status() const;
  void ApplySettings(const ControlSettings& settings);

 private:
  friend class EngineProbe;
  std::unique_ptr<TPelmo> pelmo_;
  EngineOptions options_;
};

// The text of the application's error display: the message with "." appended
// when its last character sorts above ".".
QString ErrorDisplayText(const QString& message);
// What an upload of `plan` would report on success.
UploadProof PlanProof(const upload::UploadPlan& plan);
// The program's version, "2.3.0.0".
QString EngineVersion();
// The device's description as UTF-8 (or Latin-1 when it is not valid UTF-8);
// `printable`: with control characters escaped, for terminals and labels.
QString DeviceDescriptionText(const TBootInfo& info, bool printable);

}  // namespace quorvel
