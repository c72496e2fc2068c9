// SPDX-License-Identifier: Apache-2.0
#pragma once
// TPelmo: the façade both front ends (the window and quorvel-cli) drive. It
// keeps the uploader's state and the handlers, named after the controls and
// events that trigger them; everything runs on the Qt UI thread.
//
// Implementation by role:
//   engine/pelmo.cpp              construction, FormCreate/FormClose/FormDestroy, controls, HEX loading
//   engine/activity.h             what the engine is doing; work deferred until it is idle
//   engine/link/exchange.cpp      frames, WriteTransfer, acknowledgement tests, WaitResponse, ShowRead
//   engine/link/boot_info_show.cpp  ParseBootInfo, ShowBootInfo (the record parser is protocol/boot_info)
//   engine/link/connect.cpp       ButtonConnectClick
//   engine/link/discovery.cpp     DeviceName, HidCtl* handlers, OpenBootloaderDevice, the board lock
//   engine/upload/*.cpp           ButtonStartBootloaderClick, UploadBootTop/Bottom, writers,
//                                 AbortUpload, CloseConnection
//
// Names of the original program's controls, and what they are called here:
//   Timer1                      EraseAnimation (its handler keeps the name Timer1Timer)
//   Timer2                      ResponseTimer (handler Timer2Timer)
//   ButtonStartBootloader.Tag   State().Current() == Activity::Uploading (UploadRunning())
//   GlowButton2.ImageIndex      LinkIndicator
//   OpenDialog1.FileName        FileDialogName (OpenDialog1.InitialDir: FileDialogInitialDir)
//   ProgressBar1                Progress
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/activity.h"
#include "engine/frontend.h"
#include "engine/outcomes.h"
#include "engine/texts.h"
#include "hid/hid_types.h"
#include "core/byte_array.h"
#include "image/hex_loader.h"
#include "core/boot_info.h"
#include "protocol/wait_clock.h"
#include "upload/run_state.h"

namespace quorvel {

namespace hid {
class HidLock;
class HidPlatform;
class THidDevice;
class THidDeviceController;
}  // namespace hid
namespace upload {
struct StagedRange;
}

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
};

struct TDeviceEntry {
  std::string Label;                       // DeviceName of the device
  std::unique_ptr<hid::THidDevice> Device;  // checked-out device object, or none
  // Its removal has been handled once. A gone device stays listed until the
  // next (possibly deferred) re-listing, and the controller reports it again
  // with every scan; it must not log its removal twice.
  bool RemovalSeen = false;
};

class TPelmo : public QObject {
  Q_OBJECT

 public:
  static constexpr int TransferBufferMinimum = 64;

  TPelmo(hid::HidPlatform& platform, Frontend& frontend, QObject* parent = nullptr);
  ~TPelmo() override;
  TPelmo(const TPelmo&) = delete;
  TPelmo& operator=(const TPelmo&) = delete;

  // --- start-up and shutdown (app/pelmo.cpp) ---
  // args: the command-line arguments after the program name.
  void FormCreate(const QStringList& args);
  void FormClose();                 // reboots a connected device
  void FormDestroy();               // gives every device back
  // Drops the active device and gives every listed device back.
  void ClearDeviceList();
  static QString GetFileVersion();  // "2.3.0.0"
  // Text of the application's error display: the message with "." appended
  // when its last character sorts above ".".
  static QString ErrorDisplayText(const QString& message);
  void ShowApplicationError(const QString& message);
  // Runs a handler; an exception escaping it is shown by the application's
  // error display and the program goes on. Front ends wrap every handler call.
  template <class F>
  void Guarded(F&& handler) noexcept;

  // --- window handlers (app/pelmo.cpp) ---
  void ButtonOpenHexClick();
  // What Browse does with the file the user chose.
  void OpenChosenHexFile(const QString& name);
  // A file handed over by the desktop ("Open with"): shown at once, opened as
  // if chosen with Browse as soon as a connection exists, since Browse needs one.
  void OpenHexFileOnConnect(const QString& name);
  void WMDropFiles(const QStringList& names);
  void Timer1Timer();
  // Loads a HEX file for the current BootInfo; message boxes have been shown.
  // The outcome is also kept in LastHexLoad, which an exception leaving the
  // load sets too.
  HexLoadOutcome LoadHexFile(const QString& fileName);
  // Reads the file LoadHexFile names into images. Empty: the HEX loader, as
  // the window wants; quorvel-cli sets one that also takes ELF and binaries.
  std::function<HexLoadResult(const std::string& path, const TBootInfo& info, THexImages& images)>
      ImageFileLoader;

  // --- exchange (protocol/exchange.cpp) ---
  void SendSync();
  void SendInfo();
  void SendBoot();
  void SendReboot();
  void SendWrite(std::uint32_t address, std::uint16_t count);
  void SendErase(std::uint32_t address, std::uint16_t count);
  int WriteTransfer(const TByteArray& data, int count);
  bool CheckResponse(std::uint8_t command);
  TWaitResult WaitResponse(std::uint8_t command, int timeoutMs);
  void ReportWaitError(TWaitResult result);
  // The history line of a failed wait; empty for WaitAcknowledged and WaitCancelled.
  static QString WaitErrorLine(TWaitResult result);
  void Timer2Timer();
  // Puts the response wait on another clock (tests: a virtual one shared with
  // a simulated device); nullptr goes back to the machine's clock and ResponseTimer.
  void UseWaitClock(TWaitClock* clock);
  void ShowRead(hid::THidDevice* dev, std::uint8_t reportId, const std::uint8_t* data, std::uint16_t size);

  // --- information record (protocol/boot_info.cpp) ---
  bool ParseBootInfo();
  void ShowBootInfo();

  // --- connect (protocol/connect.cpp) ---
  void ButtonConnectClick();

  // --- discovery (hid/discovery.cpp) ---
  std::string DeviceName(hid::THidDevice* dev);
  std::string ListedLabel(hid::THidDevice* dev) const;  // its DeviceList label; empty when not listed
  // The bootloader's reports carry 64 data bytes each way, after the report
  // ID; the other interfaces of a composite device, same product string, do not.
  static bool BootloaderReportsFit(hid::THidDevice* dev);
  // The device calls itself the bootloader (so do the other interfaces of a composite one).
  static bool IsBootloaderProduct(hid::THidDevice* dev);
  void OpenBootloaderDevice(const std::string& name);
  bool WaitForDevice();
  bool DevicePresent() const;
  // One program per board: the bootloader's interface is locked before
  // anything is written to it, and kept while connected (the window) or for
  // the whole run (KeepBoardLock: the command line). False when another
  // program has it; `announce` logs the line saying so.
  bool LockBoard(hid::THidDevice* dev, bool announce);
  void ReleaseBoardLock();  // unless kept or connected
  bool BoardInUseElsewhere(hid::THidDevice* dev);
  bool HidCtlEnumerate(hid::THidDevice* dev, std::int32_t idx);
  void HidCtlDeviceChange(hid::THidDeviceController* sender);
  void HidCtlRemoval(hid::THidDevice* dev);
  void HidCtlArrival(hid::THidDevice* dev);
  void HidCtlDeviceDataError(hid::THidDevice* dev, std::uint32_t error);

  // --- upload (upload/*.cpp) ---
  void ButtonStartBootloaderClick();
  // Checks the device's geometry and the images before anything is erased;
  // false when the run has been refused (history line, controls back to idle).
  bool PrepareUpload();
  QString NothingToWriteLine() const;
  RunStep UploadBootTop();
  RunStep UploadBootBottom();
  // Sends a staged range's planned Write commands.
  RunStep WriteFlashRange(const upload::StagedRange& range);
  void WriteBootFlash();
  // Ends a run the user stopped (or, `why` Declined, a question answered No):
  // controls back to idle, its dialog, the connection kept.
  void AbortUpload(UploadResult why = UploadResult::Stopped);
  void CloseConnection();
  // Controls back to how they are between runs: buttons enabled, no
  // animation, empty bar, "Begin uploading".
  void ReturnControlsToIdle();
  // True while an upload runs and no stop has been asked for.
  bool UploadRunning() const { return activity_.Current() == Activity::Uploading; }
  QString UploadFileName() const;  // LastHexFile, or the dialog's file name
  // Ends a run that an unexpected error cut short: logs the line and closes the
  // connection as after a device error.
  void EndRunAfterError(const QString& line);

  // --- controls the engine drives (state here, shown by the front end) ---
  void SetCaption(ButtonId id, const QString& caption);
  void SetEnabled(ButtonId id, bool enabled);
  TButton& Button(ButtonId id);
  void AppendHistory(const QString& line);
  // A history line that says why an action failed (front ends may show only these).
  void AppendError(const QString& line);
  void ClearTerminal();
  void SetProgressMax(int max);
  void SetProgressPosition(int position);

  // --- state (public: front ends and tests read it) ---
  TByteArray FlashImage;
  TByteArray BootFlashImage;
  TBootInfo BootInfo;
  bool ReenterHint = true;
  bool HexLoaded = false;
  std::uint8_t HexMcuType = 0;

  bool WaitExpired = false;
  bool Connected = false;
  std::vector<TDeviceEntry> DeviceList;
  hid::THidDevice* ActiveDevice = nullptr;
  TByteArray TransferBuffer = TByteArray(64, 0);
  bool RxReady = false;
  std::uint16_t RxCount = 0;

  TButton ButtonConnect{text::kConnect};
  TButton ButtonOpenHex{text::kBrowseForHex};
  TButton ButtonStartBootloader{text::kBeginUploading};
  TProgressBar Progress;
  TComboBox MCUComboBox;
  TComboBox DeviceComboBox;
  int LinkIndicator = 0;  // 0 grey (no bootloader), 1 red (its record shown)
  bool CheckBoxClose = false;     // "Close when finished"
  QString FileDialogName;
  QString FileDialogInitialDir;
  QStringList History;  // every line appended, in order
  // The HEX file named on the command line, loaded at start-up before any
  // device had reported its geometry. It is loaded once more when a device of
  // the same family reports, unless another file has been opened since.
  QString CommandLineHexFile;
  QString PendingOpenFile;       // OpenHexFileOnConnect's file, until connected
  int DeviceChangesHandled = 0;  // completed (not deferred) device-change handlings
  // Non-empty: discovery takes only the bootloader with this serial number
  // (quorvel-cli --serial, for benches with several bootloaders attached).
  std::u16string PreferredSerial;
  // Non-empty: discovery takes only the interface at this platform path
  // (quorvel-cli --device).
  std::string PreferredPath;
  bool KeepBoardLock = false;
  // The label of the bootloader discovery chose last when another program
  // had it (nothing was sent to it); empty otherwise.
  std::string BoardInUse;
  // Path of the HEX file the images were last built from, whichever way it
  // was opened (dialog, drop, command line, the reload when a device reports):
  // the name the upload's result dialogs show. Set by LoadHexFile; while
  // empty, the dialog's file name is shown.
  QString LastHexFile;

  QTimer EraseAnimation;  // moves the bar while an erase runs
  QTimer ResponseTimer;   // ticks the response wait's time-out
  std::unique_ptr<hid::THidDeviceController> HidCtl;

  TUploadState Upload;  // the current run's working state
  // Write only the blocks that differ from erased flash (quorvel-cli --skip-blank).
  bool SkipBlank = false;
  // How the last click on Begin uploading ended (a stop request or a
  // deferred click leaves it as it was).
  UploadOutcome LastUpload;
  HexLoadOutcome LastHexLoad;  // the last LoadHexFile's outcome

  Frontend& UI() { return frontend_; }

  // --- what the engine is doing, while waits process events ---
  const ActivityState& State() const { return activity_; }
  ActivityState& State() { return activity_; }
  // An exchange, handshake or upload runs: device changes are deferred (a
  // removal of the active device is still noticed at once).
  bool Busy() const { return activity_.Busy(); }
  // The front end gives up on the device's answers (a second interrupt of the
  // command line): every wait, running or later, ends at once as cancelled,
  // so the run ends through CloseConnection and its Reboot.
  bool WaitsAbandoned = false;
  // Ends a busy section; at the outermost one, posts the deferred device
  // change, then the clicks on Connect or Begin uploading that came while
  // another exchange waited for its answer (a device being opened).
  void EndBusy();

 private:
  void RunDeferredDeviceChange();
  void RunDeferredClicks();

  ActivityState activity_;
  hid::HidPlatform& platform_;
  Frontend& frontend_;
  std::unique_ptr<TWaitClock> machineClock_;
  TWaitClock* waitClock_ = nullptr;
  std::unique_ptr<hid::HidLock> boardLock_;
  std::uint64_t boardLockInstance_ = 0;  // the interface boardLock_ holds
  std::uint64_t busyAnnounced_ = 0;      // the interface whose "in use" line was logged last
};

// The device's description as UTF-8 (or Latin-1 when it is not valid UTF-8);
// `printable`: with control characters escaped, for terminals and labels.
QString DeviceDescriptionText(const TBootInfo& info, bool printable);

// Marks a busy section (exchange, handshake, upload) for its lifetime, so
// device changes are deferred until the outermost one ends.
class TBusySection {
 public:
  explicit TBusySection(TPelmo& pelmo) : pelmo_(pelmo) { pelmo_.State().EnterBusy(); }
  ~TBusySection() { pelmo_.EndBusy(); }
  TBusySection(const TBusySection&) = delete;
  TBusySection& operator=(const TBusySection&) = delete;

 private:
  TPelmo& pelmo_;
};

template <class F>
void TPelmo::Guarded(F&& handler) noexcept {
  try {
    std::forward<F>(handler)();
  } catch (const std::exception& e) {
    ShowApplicationError(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowApplicationError(text::kUnknownError);
  }
}

}  // namespace quorvel
