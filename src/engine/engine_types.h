// SPDX-License-Identifier: Apache-2.0
#pragma once
// What front ends hand the engine and what they read back from it: the state
// of the controls it keeps for the window, the boards it lists, what it is
// doing, and the requests of an upload. Plain values; the few the engine
// lends by reference (its controls, its images) are read at once, not kept
// across another call into it.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

#include "core/boot_info.h"
#include "engine/frontend.h"
#include "protocol/wait_result.h"

namespace quorvel {

struct TButton {
  QString Caption;
  bool Enabled = true;
};

// A progress bar's numbers: positions are clamped into [Min, Max].
struct TProgressBar {
  int Min = 0;
  int Max = 100;
  int Position = 0;
  int Step = 10;
};

struct TComboBox {
  QStringList Items;
  int ItemIndex = -1;
  bool Enabled = false;  // the user may pick another item
};

// What the Connect button offers; its caption follows from it.
enum class ConnectOffer {
  Connect,      // no connection: a click connects
  StopWaiting,  // the handshake runs: a click gives it up
  Disconnect,   // connected: a click disconnects
};

// What the window shows: captions and enabled states, the progress bar, the
// family and device lists, the link indicator and the settings it keeps.
struct ControlsState {
  TButton ButtonConnect;
  ConnectOffer ConnectOffers = ConnectOffer::Connect;
  TButton ButtonOpenHex;
  TButton ButtonStartBootloader;
  TProgressBar Progress;
  TComboBox MCUComboBox;
  TComboBox DeviceComboBox;
  int LinkIndicator = 0;       // 0 grey (no bootloader), 1 red (its record shown)
  bool CheckBoxClose = false;  // "Close when finished"
  QString FileDialogName;
  QString FileDialogInitialDir;

  const TButton& Button(ButtonId id) const;
  // Another board may be picked only while Connect offers to connect: the
  // board of a connection or of a handshake on its way stays the one in use.
  bool DeviceChoiceOpen() const { return DeviceComboBox.Enabled && ConnectOffers == ConnectOffer::Connect; }
};

// Settings the window restores into the controls (each only when given).
struct ControlSettings {
  std::optional<bool> CheckBoxClose;
  std::optional<QString> FileDialogInitialDir;
  std::optional<QString> FileDialogName;
  // Kept only when it names an item of the family list, or is -1.
  std::optional<int> McuItemIndex;
};

// One HID interface the engine lists.
struct BoardView {
  std::string label;      // product (or VID and PID) and serial, printable
  bool opened = false;    // the engine holds it; otherwise only its label is known
  std::string path;       // what the platform opens ("/dev/hidraw3", "sim:2")
  std::uint64_t instance = 0;  // its identity while it stays plugged
  std::u16string serial;  // empty: none
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  bool bootloader = false;  // one of the bootloaders (product string, reports that fit)
  bool readWrite = false;   // may be opened for reading and writing
  bool active = false;      // the board the engine talks to
};

// Which bootloader to take when several are attached.
struct BoardChoice {
  std::u16string serial;  // non-empty: only the one with this serial number
  std::string path;       // non-empty: only the one at this platform path
  // The window's choice: when that board is gone, discovery forgets it and
  // takes the first bootloader again (the command line refuses instead).
  bool orFirst = false;
};

struct EngineOptions {
  // The board stays locked from discovery until the engine ends (the command
  // line); otherwise only while connected (the window).
  bool keepBoardLock = false;
  // With several bootloaders attached the device list holds them all and the
  // history says which is used (the window); the command line lists them itself.
  bool listBootloaders = true;
  // Boards are listed and named but none is chosen, locked or sent anything
  // (the command line's list).
  bool listOnly = false;
};

// What the engine is doing and what it knows of the board it talks to.
struct EngineStatus {
  int deviceChangesHandled = 0;  // completed device-change handlings; the first is the start-up scan
  bool busy = false;             // an exchange, handshake or upload runs (device changes wait)
  bool connected = false;
  bool handshaking = false;  // Connect's exchange runs
  bool uploading = false;    // a run goes on and no stop has been asked for
  std::optional<BoardView> active;
  TBootInfo bootInfo;        // the record the active board sent
  std::string boardInUse;    // the bootloader another program had when discovery chose it
  TWaitResult lastWait = WaitAcknowledged;  // how the last wait for the board ended
  std::uint64_t droppedReports = 0;  // reports from another board, or answering nothing awaited
};

// What a run is asked to do.
struct UploadRequest {
  // The name the result dialogs show; empty: the file last loaded (or the file dialog's).
  QString fileName;
  bool skipBlank = false;  // write only the blocks that differ from erased flash
};

// How a running upload is stopped.
enum class StopKind {
  AfterBlock,    // after the current block, the board left in its bootloader ("Stop uploading")
  AbandonWaits,  // no longer waiting for the board's answers: the run ends and restarts it
};

}  // namespace quorvel
