// SPDX-License-Identifier: Apache-2.0
#pragma once
// The uploader's window: shows the state the engine keeps for it and turns
// the user's actions into calls of the engine. Its handlers keep the names
// of the controls and events that trigger them. Holds no uploader state of
// its own.
#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>
#include <memory>
#include <optional>

#include "engine/frontend.h"
#include "ui/form_storage.h"
#include "ui/ini_file.h"

class QCheckBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace quorvel {
class Engine;
}

namespace quorvel::ui {

class DialogProvider;
class DisplayComboBox;
class LinkIndicator;
class LogMemo;
class StatusBarPanel;

class MainWindow : public QWidget, public Frontend {
  Q_OBJECT

 public:
  static constexpr int kDesignedWidth = 682;
  static constexpr int kDesignedHeight = 357;
  static constexpr int kDesignedLeft = 234;
  static constexpr int kDesignedTop = 120;
  static constexpr int kStatusBarHeight = 19;

  // Builds the controls and reads the settings file into memory.
  MainWindow(const QString& settingsFile, DialogProvider* dialogs = nullptr, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Connects the engine. Must happen before FormCreate().
  void Attach(Engine* engine);
  // Start-up: remembers the full width, narrows the window, completes the
  // caption and starts the engine with the command-line arguments.
  void FormCreate(const QStringList& args);
  // End of the run: saves the settings if no close did, gives the boards
  // back and writes the settings file. Call before the engine is destroyed.
  void FormDestroy();

  // --- the controls' handlers ---
  // Connect, Disconnect while connected, or cancels a handshake on its way.
  void ButtonConnectClick();
  void ButtonOpenHexClick();
  // "Begin uploading", or "Stop uploading" while a run goes on.
  void ButtonStartBootloaderClick();
  void WMDropFiles(const QStringList& names);
  // Another bootloader picked in the device list: it is asked for its record.
  void DeviceComboBoxChange(int index);

  void SetDialogProvider(DialogProvider* dialogs);  // nullptr: the real dialogs
  TIniStorage& Settings() { return ini_; }

  // The hidden terminal activity toggle.
  void GlowButton1Click();
  // Full outer width remembered before narrowing.
  int Tag() const { return tag_; }
  int NarrowWidth() const;
  QString StatusText() const;
  int StatusBudget() const;  // width available for the status text

  // --- Frontend ---
  void HistoryAppended(const QString& line) override;
  void TerminalCleared() override;
  void ButtonChanged(ButtonId id) override;
  void ProgressChanged() override;
  void UploadProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) override;
  void UploadEnded(const UploadOutcome& outcome) override;
  void DeviceInfoChanged() override;
  void ShowFileInStatusBar(const QString& path) override;
  bool AskYesNo(const QString& text) override;
  void ShowMessage(MessageKind kind, const QString& title, const QString& text) override;
  void ShowTaskDialog(const TTaskDialogTexts& texts) override;
  bool ChooseHexFile(QString& fileName, const QString& initialDir) override;
  void CloseMainWindow() override;

  void setVisible(bool visible) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  // One group box of the form, GroupBox<index>, on the background.
  QFrame* Panel(int index, int x, int y, int w, int h);
  void BuildLogoAndLink();
  void BuildSteps();
  void BuildProgress();
  void BuildDeviceAndMcu();
  void BuildHistoryAndTerminal();
  void BuildHiddenPanelAndStatusBar();
  void FormShow();
  void FormClose();
  void RestoreSettings();
  void SaveSettings();
  void SetOuterWidth(int width);
  void SyncAll();
  bool EngineBusy() const;  // an exchange, handshake or upload is running
  void DeviceListEnabled();
  // Controls outside the window's width take no focus by Tab.
  void UpdateTabStops();
  TWindowPlacement CurrentPlacement() const;
  TScreenInfo CurrentScreen() const;
  QPoint VisiblePosition(QPoint topLeft) const;
  // Once the window manager has framed the window: keeps the frame on screen.
  void KeepFrameOnScreen();
  QPushButton* ButtonWidget(ButtonId id) const;
  // The progress bar and the title back to how they read between uploads.
  void EndUploadProgress();
  // Keeps the progress bar's accessible description on what the bar shows.
  void ProgressDescription();
  DialogProvider& Dialogs();

  Engine* engine_ = nullptr;
  TIniStorage ini_;
  std::unique_ptr<DialogProvider> ownDialogs_;
  DialogProvider* dialogs_ = nullptr;
  int tag_ = 0;
  bool restored_ = false;
  bool shownOnce_ = false;
  bool frameCheckPending_ = false;  // the restored position waits for the window manager's frame
  bool settingsSaved_ = false;
  bool destroyed_ = false;
  bool closePending_ = false;  // a close waits for the engine to become idle
  QString caption_;            // the title between uploads
  std::optional<UploadPhase> phase_;  // the phase the progress text shows; none between uploads
  QElapsedTimer phaseClock_;          // since that phase began

  QFrame* background_ = nullptr;
  QFrame* groupBox_[10] = {};  // GroupBox1 .. GroupBox9 (index 0 unused)
  QPushButton* buttonConnect_ = nullptr;
  QPushButton* buttonOpenHex_ = nullptr;
  QPushButton* buttonStart_ = nullptr;
  QPushButton* glowButton1_ = nullptr;
  LinkIndicator* glowButton2_ = nullptr;
  DisplayComboBox* mcuCombo_ = nullptr;
  DisplayComboBox* deviceCombo_ = nullptr;
  LogMemo* history_ = nullptr;
  QPlainTextEdit* terminal_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QFrame* panel1_ = nullptr;
  QCheckBox* checkBoxClose_ = nullptr;
  StatusBarPanel* statusBar_ = nullptr;
  // The button that lost focus by being disabled, and where focus went then.
  QPushButton* refocus_ = nullptr;
  QPointer<QWidget> parkedFocus_;
};

}  // namespace quorvel::ui
