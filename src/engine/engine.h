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
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
class ControlsModel;
class EngineProbe;
class HidBoards;
class Link;
class UploadRun;

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
  const THexImages& Images() const;

  // --- uploads ---
  // What an upload of the loaded images would do, without one.
  upload::UploadPlan Plan(const UploadRequest& request) const;
  // Runs an upload to its end. A call while another exchange waits for its
  // answer is acted on once that is over; a call while one runs does nothing.
  UploadOutcome Upload(const UploadRequest& request);
  void Stop(StopKind kind = StopKind::AfterBlock);

  // --- what front ends show ---
  const ControlsState& Controls() const;
  EngineStatus Status() const;
  void ApplySettings(const ControlSettings& settings);

 private:
  class Events;
  friend class EngineProbe;

  // --- engine.cpp (connect.cpp: Connect, Disconnect) ---
  // Runs a handler; an exception escaping it is shown by the application's
  // error display and the program goes on.
  void Guarded(const std::function<void()>& handler) noexcept;
  void ShowApplicationError(const QString& message);
  // The upload command, once its preconditions are checked here: started,
  // deferred, or (a run is ending) nothing.
  void StartUpload(const UploadRequest& request);
  // At the outermost busy section's end: posts the deferred device change,
  // then the clicks on Connect or Begin uploading that came meanwhile.
  void BusyEnded();
  void RunDeferredDeviceChange();
  void RunDeferredClicks();

  // --- files.cpp (also Start, Browse, DropFiles, OpenOnConnect, Load) ---
  // Loads a file for the current record with `loader` (the HEX reader when
  // empty); message boxes have been shown. The outcome is also kept in
  // LastHexLoad, which an exception leaving the load sets too.
  using ImageLoader = std::function<HexLoadResult(const TBootInfo& info, THexImages& images)>;
  HexLoadOutcome LoadHexFile(const QString& fileName, const ImageLoader& loader = nullptr);
  void OpenChosenHexFile(const QString& name);
  // A file the window opened, loaded as LoadHexFile does; what it was on disk is kept so that a
  // rebuild before Begin uploading is noticed.
  HexLoadOutcome LoadWindowFile(const QString& name);
  // At Begin uploading: the window's file, changed on disk since it was loaded, loaded again.
  // False when it is gone or refused now; the click ends, and uploads wait for a good load.
  bool ReloadChangedFile();
  // The record the board sent, shown; the command-line file loaded again for it.
  void ShowBootInfo();
  // The device list: the active board's description alone, or with several
  // bootloaders attached an entry for each ("description (Serial=…)", the
  // board's label until it has answered); `current` is the active one's.
  QStringList DeviceEntries(const QString& description, int& current);

  // --- connect.cpp ---
  // What a click on Connect does: the handshake, the connection ended, a
  // handshake cancelled, or the click deferred while another exchange runs.
  void ConnectionClick();
  void Handshake();
  void EndConnection();

  Frontend& ui_;
  const bool listBootloaders_;
  std::unique_ptr<QObject> context_;  // what posted calls and timers belong to
  std::unique_ptr<ControlsModel> controls_;
  std::unique_ptr<Events> events_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<UploadRun> run_;
  std::unique_ptr<HidBoards> boards_;
  // The HEX file named on the command line, loaded at start-up before any
  // device had reported its geometry. It is loaded once more when a device of
  // the same family reports, unless another file has been opened since.
  QString CommandLineHexFile;
  QString PendingOpenFile;     // OpenOnConnect's file, until connected
  HexLoadOutcome LastHexLoad;  // the last LoadHexFile's outcome
  // The window's file as it was on disk when it was loaded (the command line reads its file once).
  struct FileStamp {
    QString path;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t seconds = 0, nanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
  };
  std::optional<FileStamp> windowFile_;
  UploadRequest lastRequest_;  // what a deferred click on Begin uploading runs with
  // The description each attached bootloader sent last, by its instance.
  std::map<std::uint64_t, QString> descriptions_;
  QString severalSaid_;  // the last "N bootloaders attached" line, so it is not repeated
};

// The text of the application's error display: the message with "." appended
// when its last character sorts above ".".
QString ErrorDisplayText(const QString& message);
// What an upload of `plan` would report on success.
UploadProof PlanProof(const upload::UploadPlan& plan);
// "<lead> N bytes, program SHA-256 HEX[, boot SHA-256 HEX]", as quorvel-cli and the window say it.
QString ProofText(const QString& lead, const UploadProof& proof);
// The program's version, "2.3.0.0".
QString EngineVersion();
// The device's description as UTF-8 (or Latin-1 when it is not valid UTF-8);
// `printable`: with control characters escaped, for terminals and labels.
QString DeviceDescriptionText(const TBootInfo& info, bool printable);

}  // namespace quorvel
