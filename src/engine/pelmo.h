// SPDX-License-Identifier: Apache-2.0
#pragma once
// TPelmo: the façade both front ends (the window and quorvel-cli) drive. It
// keeps the handler names of the original program, named after the controls
// and events that trigger them; everything runs on the Qt UI thread.
//
// The engine is split by role, each role a layer that may use the ones below:
//   ControlsModel (engine/controls_model.h)  captions, enabled states, lists, progress, history
//   Link          (engine/link/link.h)        devices, transfer buffer, frames, WaitResponse,
//                                             board lock, the activity state
//   UploadRun     (engine/upload/upload_run.h) images, run state, layouts, writers, run endings
//   TPelmo        (here)                       start-up and shutdown, file opening, discovery,
//                                             Connect, the work deferred until the engine is idle
// TPelmo's own handlers:
//   engine/pelmo.cpp              construction, FormCreate/FormClose/FormDestroy, HEX loading, deferred work
//   engine/link/boot_info_show.cpp  ShowBootInfo
//   engine/link/connect.cpp       ButtonConnectClick
//   engine/link/discovery.cpp     HidCtl* handlers, OpenBootloaderDevice
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
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "core/boot_info.h"
#include "engine/outcomes.h"
#include "engine/texts.h"
#include "engine/upload/upload_run.h"
#include "image/hex_loader.h"

namespace quorvel {

class TPelmo : public QObject, public UploadRun {
  Q_OBJECT

 public:
  TPelmo(hid::HidPlatform& platform, Frontend& frontend, QObject* parent = nullptr);
  ~TPelmo() override;
  TPelmo(const TPelmo&) = delete;
  TPelmo& operator=(const TPelmo&) = delete;

  // --- start-up and shutdown (pelmo.cpp) ---
  // args: the command-line arguments after the program name.
  void FormCreate(const QStringList& args);
  void FormClose();                 // reboots a connected device
  void FormDestroy();               // gives every device back
  static QString GetFileVersion();  // "2.3.0.0"
  // Text of the application's error display: the message with "." appended
  // when its last character sorts above ".".
  static QString ErrorDisplayText(const QString& message);
  void ShowApplicationError(const QString& message);
  // Runs a handler; an exception escaping it is shown by the application's
  // error display and the program goes on. Front ends wrap every handler call.
  template <class F>
  void Guarded(F&& handler) noexcept;

  // --- files (pelmo.cpp) ---
  void ButtonOpenHexClick();
  // What Browse does with the file the user chose.
  void OpenChosenHexFile(const QString& name);
  // A file handed over by the desktop ("Open with"): shown at once, opened as
  // if chosen with Browse as soon as a connection exists, since Browse needs one.
  void OpenHexFileOnConnect(const QString& name);
  void WMDropFiles(const QStringList& names);
  // Loads a HEX file for the current BootInfo; message boxes have been shown.
  // The outcome is also kept in LastHexLoad, which an exception leaving the
  // load sets too.
  HexLoadOutcome LoadHexFile(const QString& fileName);
  // Reads the file LoadHexFile names into images. Empty: the HEX loader, as
  // the window wants; quorvel-cli sets one that also takes ELF and binaries.
  std::function<HexLoadResult(const std::string& path, const TBootInfo& info, THexImages& images)>
      ImageFileLoader;

  // --- the information record shown (link/boot_info_show.cpp) ---
  void ShowBootInfo();

  // --- connect (link/connect.cpp) ---
  void ButtonConnectClick();

  // --- discovery (link/discovery.cpp) ---
  void OpenBootloaderDevice(const std::string& name);
  bool HidCtlEnumerate(hid::THidDevice* dev, std::int32_t idx);
  void HidCtlDeviceChange(hid::THidDeviceController* sender);
  void HidCtlRemoval(hid::THidDevice* dev);
  void HidCtlArrival(hid::THidDevice* dev);
  void HidCtlDeviceDataError(hid::THidDevice* dev, std::uint32_t error);

  // The HEX file named on the command line, loaded at start-up before any
  // device had reported its geometry. It is loaded once more when a device of
  // the same family reports, unless another file has been opened since.
  QString CommandLineHexFile;
  QString PendingOpenFile;       // OpenHexFileOnConnect's file, until connected
  int DeviceChangesHandled = 0;  // completed (not deferred) device-change handlings
  HexLoadOutcome LastHexLoad;    // the last LoadHexFile's outcome

 protected:
  // At the outermost busy section's end: posts the deferred device change,
  // then the clicks on Connect or Begin uploading that came while another
  // exchange waited for its answer (a device being opened).
  void BusyEnded() override;

 private:
  void RunDeferredDeviceChange();
  void RunDeferredClicks();
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
