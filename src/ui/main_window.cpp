// SPDX-License-Identifier: Apache-2.0
#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <algorithm>
#include <initializer_list>

#include "engine/engine.h"
#include "engine/texts.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/path_shortener.h"
#include "ui/progress_text.h"

namespace quorvel::ui {

namespace {

const QColor kBackground(0xED, 0xED, 0xED);
const QColor kPanel(0xFA, 0xFA, 0xFA);
const QColor kTerminalPanel(0xDC, 0xDC, 0xDC);
const QColor kCaptionGrey(0xB2, 0xB2, 0xB2);
const QColor kGrey(0x80, 0x80, 0x80);
const QColor kRed(0xFF, 0x00, 0x00);

// The designed fonts are rarely installed on Linux; the closest common
// relatives keep captions on the lines they were laid out for.
void AddFontSubstitutes() {
  static const bool done = [] {
    const QStringList condensed = {QStringLiteral("DejaVu Sans Condensed"),
                                   QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Arial Narrow"),
                                   QStringLiteral("Liberation Sans")};
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), condensed);
    QFont::insertSubstitutions(QStringLiteral("Impact"), condensed);
    QFont::insertSubstitutions(QStringLiteral("Verdana"), {QStringLiteral("DejaVu Sans")});
    return true;
  }();
  (void)done;
}

QFont Font(const QString& family, int points, bool bold = false) {
  QFont font(family, points);
  font.setBold(bold);
  return font;
}

void SetBackground(QWidget* widget, const QColor& colour) {
  QPalette p = widget->palette();
  p.setColor(QPalette::Window, colour);
  widget->setPalette(p);
  widget->setAutoFillBackground(true);
}

void SetTextColour(QWidget* widget, const QColor& colour) {
  QPalette p = widget->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    p.setColor(group, QPalette::WindowText, colour);
    p.setColor(group, QPalette::Text, colour);
  }
  widget->setPalette(p);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QFont& font,
                  const QColor& colour, int x, int y, int w = -1, int h = -1) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QLatin1String(name));
  label->setFont(font);
  label->setTextFormat(Qt::PlainText);
  SetTextColour(label, colour);
  if (w > 0) {
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(x, y, w, h);
  } else {
    label->move(x, y);
    label->adjustSize();
  }
  return label;
}

// Screen readers would read the runs of blanks that place a caption's break.
void SetCaption(QPushButton* button, const QString& caption) {
  button->setText(caption);
  button->setAccessibleName(caption.simplified());
}

template <class Memo = QPlainTextEdit>
Memo* MakeMemo(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* memo = new Memo(parent);
  memo->setObjectName(QLatin1String(name));
  memo->setReadOnly(true);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo->setFont(Font(QStringLiteral("Tahoma"), 8));
  SetTextColour(memo, kGrey);
  memo->setGeometry(x, y, w, h);
  return memo;
}

// The message after a device error broke an upload off.
QString PartlyWrittenText(const UploadOutcome& outcome) {
  QString next;
  switch (outcome.board) {
    case BoardAfterRun::Gone:
      next = QStringLiteral("Attach the device again in bootloader mode, connect and upload the file again.");
      break;
    case BoardAfterRun::NotRestarted:
      next = QString(text::kNotRestarted) + QStringLiteral(" Then connect and upload the file again.");
      break;
    case BoardAfterRun::Restarted:
    case BoardAfterRun::InBootloader:
      next = QStringLiteral("Reset the device to reenter bootloader mode, connect and upload the file again.");
      break;
  }
  QString text = QStringLiteral("The upload broke off: the device's flash is partly written, and the program "
                                "on it will not run as it should.");
  if (!outcome.reason.isEmpty()) text += QStringLiteral("\n\n") + outcome.reason;
  return text + QStringLiteral("\n\n") + next;
}

}  // namespace

MainWindow::MainWindow(const QString& settingsFile, DialogProvider* dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      ini_(settingsFile),
      dialogs_(dialogs) {
  AddFontSubstitutes();
  setObjectName(QStringLiteral("Pelmo"));
  setWindowTitle(QStringLiteral("Orvane USB HID Bootloader"));
  setFont(Font(QStringLiteral("Tahoma"), 8));
  setAcceptDrops(true);
  setWindowIcon(UsbPlugIcon(QColor(0xE0, 0x10, 0x10)));
  BuildControls();
  setFixedSize(kDesignedWidth, kDesignedHeight);
  move(kDesignedLeft, kDesignedTop);
  ini_.Load();
}

MainWindow::~MainWindow() = default;

// The form's controls, group by group, each with its designed position, so
// they read side by side with the form they copy.
void MainWindow::BuildControls() {
  background_ = new QFrame(this);
  background_->setObjectName(QStringLiteral("BackgroundPanel"));
  background_->setFrameShape(QFrame::NoFrame);
  background_->setGeometry(0, 0, 684, 339);
  SetBackground(background_, kBackground);

  BuildLogoAndLink();
  BuildSteps();
  BuildProgress();
  BuildDeviceAndMcu();
  BuildHistoryAndTerminal();
  BuildHiddenPanelAndStatusBar();
}

QFrame* MainWindow::Panel(int index, int x, int y, int w, int h) {
  auto* box = new QFrame(background_);
  box->setObjectName(QStringLiteral("GroupBox%1").arg(index));
  box->setFrameShape(QFrame::NoFrame);
  box->setGeometry(x, y, w, h);
  groupBox_[index] = box;
  return box;
}

void MainWindow::BuildLogoAndLink() {
  QFont logo(QStringLiteral("Impact"), 24);
  logo.setStyleHint(QFont::SansSerif);
  logo.setBold(true);
  MakeLabel(background_, "Label4", QStringLiteral("Quorvel"), logo, kRed, 13, 12, 221, 39)
      ->setWordWrap(false);

  // Step 1: the USB link.
  QFrame* step1 = Panel(4, 0, 65, 216, 39);
  MakeLabel(step1, "TextLabel1", QStringLiteral("1"), Font(QStringLiteral("Tahoma"), 22, true), kRed, 13, 2);
  MakeLabel(step1, "TextLabel2", QStringLiteral("Wait for USB link"), Font(QStringLiteral("Tahoma"), 8, true),
            kRed, 40, 7, 64, 33);
  glowButton2_ = new LinkIndicator(step1);
  glowButton2_->setObjectName(QStringLiteral("GlowButton2"));
  glowButton2_->setGeometry(141, 5, 47, 30);
}

// Steps 2 to 4: one button each.
void MainWindow::BuildSteps() {
  const QFont tahoma8Bold = Font(QStringLiteral("Tahoma"), 8, true);
  const QFont stepDigit = Font(QStringLiteral("Tahoma"), 22, true);
  struct Step {
    int box, y, digitY, textY, textW, textH;
    const char *digitName, *digit, *textName, *text, *buttonName;
    QPushButton** button;
    char mnemonic;  // Alt + this letter clicks the button
  };
  const Step steps[] = {
      {5, 117, 2, 7, 65, 32, "TextLabel3", "2", "TextLabel4", "Connect to MCU", "ButtonConnect",
       &buttonConnect_, 'C'},
      {6, 170, 1, 6, 65, 33, "TextLabel5", "3", "TextLabel6", "Choose HEX file", "ButtonOpenHex",
       &buttonOpenHex_, 'B'},
      {7, 224, 2, 7, 84, 33, "TextLabel7", "4", "TextLabel8", "Start bootloader", "ButtonStartBootloader",
       &buttonStart_, 'U'},
  };
  for (const Step& s : steps) {
    QFrame* box = Panel(s.box, -1, s.y, 217, 39);
    MakeLabel(box, s.digitName, QLatin1String(s.digit), stepDigit, kRed, 14, s.digitY);
    MakeLabel(box, s.textName, QLatin1String(s.text), tahoma8Bold, kRed, 40, s.textY, s.textW, s.textH);
    auto* button = new WrapButton(box);
    button->setObjectName(QLatin1String(s.buttonName));
    button->setGeometry(126, 5, 81, 30);
    button->setAccessibleDescription(QLatin1String(s.text));
    // A shortcut of its own rather than "&" in the caption: the captions are
    // the engine's texts and change while the letter stays.
    button->SetMnemonic(QLatin1Char(s.mnemonic));
    auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key(Qt::Key_A + (s.mnemonic - 'A'))), this);
    connect(shortcut, &QShortcut::activated, button, [button] {
      if (!button->isEnabled() || !button->isVisible()) return;
      button->setFocus(Qt::ShortcutFocusReason);
      button->click();
    });
    *s.button = button;
  }
  SetCaption(buttonConnect_, QStringLiteral("Connect"));
  SetCaption(buttonOpenHex_, QStringLiteral("Browse      for HEX"));
  SetCaption(buttonStart_, QStringLiteral("Begin uploading"));
}

void MainWindow::BuildProgress() {
  QFrame* progressBox = Panel(8, -1, 280, 497, 45);
  MakeLabel(progressBox, "TextLabel14", QStringLiteral("Bootloading\nprogress bar"),
            Font(QStringLiteral("Tahoma"), 8, true), kCaptionGrey, 14, 8);
  progress_ = new QProgressBar(progressBox);
  progress_->setObjectName(QStringLiteral("ProgressBar1"));
  progress_->setGeometry(147, 12, 326, 22);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  progress_->setAccessibleName(QStringLiteral("Bootloading progress bar"));
  ProgressDescription();
  glowButton1_ = new QPushButton(QStringLiteral("Show Activity"), progressBox);
  glowButton1_->setObjectName(QStringLiteral("GlowButton1"));
  glowButton1_->setGeometry(390, 12, 83, 22);
  glowButton1_->setProperty("Tag", 0);
  glowButton1_->hide();
}

void MainWindow::BuildDeviceAndMcu() {
  const QFont tahoma8 = Font(QStringLiteral("Tahoma"), 8);
  const QFont tahoma8Bold = Font(QStringLiteral("Tahoma"), 8, true);
  QFrame* deviceBox = Panel(3, 263, 19, 220, 30);
  QLabel* deviceLabel =
      MakeLabel(deviceBox, "Label1", QStringLiteral("Device"), tahoma8Bold, kCaptionGrey, 11, 8);
  deviceCombo_ = new DisplayComboBox(deviceBox);
  deviceCombo_->setObjectName(QStringLiteral("DeviceComboBox"));
  deviceCombo_->setFont(tahoma8);
  deviceCombo_->setGeometry(56, 5, 153, 22);
  // On Linux a list's accessible name is its current item; its label comes as a relation.
  deviceLabel->setBuddy(deviceCombo_);
  QFrame* mcuBox = Panel(9, 232, 65, 251, 39);
  QLabel* mcuLabel =
      MakeLabel(mcuBox, "Label5", QStringLiteral("MCU Type"), tahoma8Bold, kCaptionGrey, 16, 13);
  mcuCombo_ = new DisplayComboBox(mcuBox);
  mcuCombo_->setObjectName(QStringLiteral("MCUComboBox"));
  mcuCombo_->setFont(tahoma8);
  mcuCombo_->setGeometry(87, 10, 153, 22);
  mcuLabel->setBuddy(mcuCombo_);
}

void MainWindow::BuildHistoryAndTerminal() {
  QFrame* historyBox = Panel(1, 232, 117, 251, 147);
  MakeLabel(historyBox, "Label2", QStringLiteral("History Window"), Font(QStringLiteral("Verdana"), 9, true),
            kCaptionGrey, 6, 5);
  history_ = MakeMemo<LogMemo>(historyBox, "MemoHistoryWindow", 0, 21, 240, 126);
  history_->setAccessibleName(QStringLiteral("History Window"));
  QFrame* terminalBox = Panel(2, 495, 11, 177, 314);
  MakeLabel(terminalBox, "Label3", QStringLiteral("Terminal Activity"),
            Font(QStringLiteral("Tahoma"), 9, true), kCaptionGrey, 12, 6);
  terminal_ = MakeMemo(terminalBox, "MemoTerminalWindow", 12, 23, 153, 281);
  terminal_->setAccessibleName(QStringLiteral("Terminal Activity"));
}

void MainWindow::BuildHiddenPanelAndStatusBar() {
  // "Close when finished" lives on a hidden panel: only the settings file sets it.
  panel1_ = new QFrame(background_);
  panel1_->setObjectName(QStringLiteral("Panel1"));
  panel1_->setGeometry(399, 35, 155, 98);
  checkBoxClose_ = new QCheckBox(QStringLiteral("Close when finished"), panel1_);
  checkBoxClose_->setObjectName(QStringLiteral("CheckBoxClose"));
  checkBoxClose_->move(8, 8);
  checkBoxClose_->adjustSize();
  panel1_->hide();

  statusBar_ = new StatusBarPanel(this);
  statusBar_->setObjectName(QStringLiteral("StatusBar1"));
  statusBar_->setFont(Font(QStringLiteral("Tahoma"), 8));
  statusBar_->setGeometry(0, kDesignedHeight - kStatusBarHeight, kDesignedWidth, kStatusBarHeight);
  statusBar_->SetText(QStringLiteral(": No files opened."));
}

void MainWindow::Attach(Engine* engine) {
  engine_ = engine;
  connect(buttonConnect_, &QPushButton::clicked, this, [this] { ButtonConnectClick(); });
  connect(buttonOpenHex_, &QPushButton::clicked, this, [this] { ButtonOpenHexClick(); });
  connect(buttonStart_, &QPushButton::clicked, this, [this] { ButtonStartBootloaderClick(); });
  connect(glowButton1_, &QPushButton::clicked, this, [this] { GlowButton1Click(); });
  // Queued: the choice runs an exchange that refills the list it came from.
  connect(deviceCombo_, &QComboBox::activated, this, [this](int index) { DeviceComboBoxChange(index); },
          Qt::QueuedConnection);
  connect(checkBoxClose_, &QCheckBox::toggled, this, [this](bool checked) {
    ControlSettings settings;
    settings.CheckBoxClose = checked;
    if (engine_ != nullptr) engine_->ApplySettings(settings);
  });
  SyncAll();
}

void MainWindow::ButtonConnectClick() {
  if (engine_ == nullptr) return;
  const EngineStatus status = engine_->Status();
  if (status.connected || status.handshaking) {
    engine_->Disconnect();
  } else {
    engine_->Connect();
  }
}

void MainWindow::ButtonOpenHexClick() {
  if (engine_ != nullptr) engine_->Browse();
}

void MainWindow::ButtonStartBootloaderClick() {
  if (engine_ == nullptr) return;
  if (engine_->Status().uploading) {
    engine_->Stop();
  } else {
    engine_->Upload({});
  }
}

void MainWindow::WMDropFiles(const QStringList& names) {
  if (engine_ != nullptr) engine_->DropFiles(names);
}

void MainWindow::SyncAll() {
  if (engine_ == nullptr) return;
  for (ButtonId id : {ButtonId::Connect, ButtonId::OpenHex, ButtonId::StartBootloader}) ButtonChanged(id);
  ProgressChanged();
  DeviceInfoChanged();
  checkBoxClose_->setChecked(engine_->Controls().CheckBoxClose);
}

int MainWindow::NarrowWidth() const {
  const QFrame* box = groupBox_[3];
  return box->x() + box->width() + 6;
}

void MainWindow::SetOuterWidth(int width) {
  // The window manager's frame is not ours to size; the client area takes the
  // outer width the layout was designed with.
  setFixedSize(width, kDesignedHeight);
  statusBar_->setGeometry(0, kDesignedHeight - kStatusBarHeight, width, kStatusBarHeight);
  UpdateTabStops();
}

void MainWindow::UpdateTabStops() {
  // Focus on a control outside the window's width would vanish from sight
  // (the terminal activity memo while the window is narrow).
  static const char* const kDesignedPolicy = "designedFocusPolicy";
  for (QWidget* control : findChildren<QWidget*>()) {
    QVariant designed = control->property(kDesignedPolicy);
    if (!designed.isValid()) {
      if ((control->focusPolicy() & Qt::TabFocus) == 0) continue;
      designed = static_cast<int>(control->focusPolicy());
      control->setProperty(kDesignedPolicy, designed);
    }
    const QRect area(control->mapTo(this, QPoint(0, 0)), control->size());
    control->setFocusPolicy(area.intersects(QRect(0, 0, width(), height()))
                                ? static_cast<Qt::FocusPolicy>(designed.toInt())
                                : Qt::NoFocus);
  }
}

void MainWindow::FormCreate(const QStringList& args) {
  tag_ = width();
  SetOuterWidth(NarrowWidth());
  setWindowTitle(windowTitle() + QStringLiteral(" v") + EngineVersion());
  if (engine_ != nullptr) engine_->Start(args);
}

void MainWindow::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  if (!settingsSaved_) SaveSettings();
  if (engine_ != nullptr) engine_->ReleaseBoards();
  ini_.Save();  // failures are ignored: settings are a convenience
  // The engine goes next; nothing may reach it through the controls any more.
  for (QObject* control : std::initializer_list<QObject*>{buttonConnect_, buttonOpenHex_, buttonStart_,
                                                          glowButton1_, checkBoxClose_, deviceCombo_}) {
    control->disconnect(this);
  }
  engine_ = nullptr;
}

void MainWindow::SetDialogProvider(DialogProvider* dialogs) { dialogs_ = dialogs; }

DialogProvider& MainWindow::Dialogs() {
  if (dialogs_ != nullptr) return *dialogs_;
  if (!ownDialogs_) ownDialogs_ = std::make_unique<QtDialogProvider>();
  return *ownDialogs_;
}

void MainWindow::GlowButton1Click() {
  if (glowButton1_->property("Tag").toInt() == 0) {
    SetBackground(groupBox_[8], kTerminalPanel);
    glowButton1_->setText(QStringLiteral("Hide Activity"));
    glowButton1_->setProperty("Tag", 1);
    SetOuterWidth(tag_ > 0 ? tag_ : kDesignedWidth);
  } else {
    glowButton1_->setText(QStringLiteral("Show Activity"));
    glowButton1_->setProperty("Tag", 0);
    SetBackground(groupBox_[8], kPanel);
    SetOuterWidth(NarrowWidth());
  }
}

QString MainWindow::StatusText() const { return statusBar_->Text(); }

int MainWindow::StatusBudget() const {
  return statusBar_->width() - QFontMetrics(statusBar_->font()).horizontalAdvance(QLatin1Char('W'));
}

void MainWindow::FormShow() {
  if (engine_ != nullptr) HistoryAppended(QStringLiteral("Attach USB HID device or reset if attached."));
  // Opaque, borderless panels in their own colours.
  for (int i = 1; i <= 9; ++i) SetBackground(groupBox_[i], i == 2 ? kTerminalPanel : kPanel);
}

// --- events ---

void MainWindow::setVisible(bool visible) {
  // The stored position is the frame's. Applied before the native window
  // exists, Qt hands it to the window manager as the frame's position;
  // applied later (from showEvent, say) it places the client area there, and
  // every restart moves the window by the size of its title bar.
  if (visible && !restored_) {
    restored_ = true;
    RestoreSettings();
  }
  QWidget::setVisible(visible);
}

void MainWindow::showEvent(QShowEvent* event) {
  if (!shownOnce_) {
    shownOnce_ = true;
    FormShow();
    // The restored position was checked without the window manager's frame,
    // which exists only once the window is framed: the frame's arrival moves
    // or resizes the window, so check again at the first such event.
    if (QWindow* window = windowHandle()) {
      frameCheckPending_ = true;
      window->installEventFilter(this);
    }
  }
  QWidget::showEvent(event);
}

bool MainWindow::EngineBusy() const { return engine_ != nullptr && engine_->Status().busy; }

void MainWindow::closeEvent(QCloseEvent* event) {
  // Closing restarts a connected device. Doing that from inside a running
  // exchange would put a Reboot frame between the frames of an erase or a
  // write and leave the flash half written: stop the upload instead and close
  // once the engine is idle.
  if (EngineBusy()) {
    event->ignore();
    if (!closePending_) {
      closePending_ = true;
      if (engine_->Status().uploading) engine_->Stop();
      auto* retry = new QTimer(this);
      retry->setInterval(50);
      connect(retry, &QTimer::timeout, this, [this, retry] {
        if (EngineBusy()) return;
        retry->deleteLater();
        closePending_ = false;
        close();
      });
      retry->start();
    }
    return;
  }
  SaveSettings();
  FormClose();
  event->accept();
}

void MainWindow::FormClose() {
  if (engine_ != nullptr) engine_->Close();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  QStringList names;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) names << url.toLocalFile();
  }
  event->acceptProposedAction();
  WMDropFiles(names);
}

// --- settings ---

TScreenInfo MainWindow::CurrentScreen() const {
  TScreenInfo info;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    info.Width = screen->geometry().width();
    info.Height = screen->geometry().height();
    info.PixelsPerInch = qRound(screen->logicalDotsPerInch());
  }
  return info;
}

TWindowPlacement MainWindow::CurrentPlacement() const {
  TWindowPlacement placement;
  placement.ShowCmd = isMaximized() ? int{ShowMaximized} : int{ShowNormal};
  const QRect frame = frameGeometry();
  placement.Left = frame.left();
  placement.Top = frame.top();
  placement.Right = frame.left() + frame.width();
  placement.Bottom = frame.top() + frame.height();
  return placement;
}

void MainWindow::SaveSettings() {
  settingsSaved_ = true;
  if (engine_ == nullptr) return;
  const ControlsState controls = engine_->Controls();
  TStoredProperties props;
  props.CheckBoxCloseChecked = controls.CheckBoxClose;
  props.OpenDialogInitialDir = controls.FileDialogInitialDir;
  props.OpenDialogFileName = controls.FileDialogName;
  props.McuItemIndex = controls.MCUComboBox.ItemIndex;
  SaveFormState(ini_, CurrentPlacement(), isMinimized(), CurrentScreen(), props);
}

namespace {

QList<QRect> AvailableAreas() {
  QList<QRect> areas;
  for (const QScreen* screen : QGuiApplication::screens()) areas << screen->availableGeometry();
  return areas;
}

}  // namespace

QPoint MainWindow::VisiblePosition(QPoint topLeft) const {
  // A position stored on a larger, since removed or differently scaled
  // monitor would put part of the window out of reach.
  return KeepOnScreens(QRect(topLeft, frameGeometry().size()), AvailableAreas());
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (frameCheckPending_ && watched == windowHandle() &&
      (type == QEvent::Move || type == QEvent::Resize || type == QEvent::Expose)) {
    // Without a window manager no frame ever comes; nothing is left to check then.
    if (!windowHandle()->frameMargins().isNull()) {
      frameCheckPending_ = false;
      watched->removeEventFilter(this);
      // Moved from inside the window's own geometry event, the position could be overwritten.
      QMetaObject::invokeMethod(this, &MainWindow::KeepFrameOnScreen, Qt::QueuedConnection);
    }
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::KeepFrameOnScreen() {
  if (isMaximized() || isMinimized()) return;
  const QRect frame = frameGeometry();
  const QPoint to = KeepOnScreens(frame, AvailableAreas());
  if (to != frame.topLeft()) move(pos() + (to - frame.topLeft()));
}

void MainWindow::RestoreSettings() {
  const TRestorePlan plan = PlanFormRestore(ini_, CurrentPlacement(), CurrentScreen());
  if (plan.Skipped) return;
  if (plan.Move) move(VisiblePosition(QPoint(plan.Left, plan.Top)));  // position only: the width stays narrow
  if (plan.Show == ShowMinimized) {
    // Shown normal first, then minimised once the window exists.
    QTimer::singleShot(0, this, [this] { showMinimized(); });
  } else if (plan.Show == ShowMaximized) {
    setWindowState(windowState() | Qt::WindowMaximized);
  }
  if (!plan.Error.isEmpty()) {
    // The application's error display, as for an error escaping a handler.
    if (engine_ != nullptr) ShowMessage(MessageKind::AppError, text::kAppTitle, ErrorDisplayText(plan.Error));
    return;
  }
  if (engine_ == nullptr) return;
  if (plan.CheckBoxCloseChecked) checkBoxClose_->setChecked(*plan.CheckBoxCloseChecked);
  // The family list is still empty here: an index only sticks when it is -1.
  ControlSettings settings;
  settings.CheckBoxClose = plan.CheckBoxCloseChecked;
  settings.FileDialogInitialDir = plan.OpenDialogInitialDir;
  settings.FileDialogName = plan.OpenDialogFileName;
  settings.McuItemIndex = plan.McuItemIndex;
  engine_->ApplySettings(settings);
}

// --- Frontend ---

void MainWindow::HistoryAppended(const QString& line) {
  history_->appendPlainText(WithPathBreaks(line));
  history_->verticalScrollBar()->setValue(history_->verticalScrollBar()->maximum());
}

void MainWindow::TerminalCleared() { terminal_->clear(); }

QPushButton* MainWindow::ButtonWidget(ButtonId id) const {
  switch (id) {
    case ButtonId::Connect:
      return buttonConnect_;
    case ButtonId::OpenHex:
      return buttonOpenHex_;
    case ButtonId::StartBootloader:
      return buttonStart_;
  }
  return nullptr;
}

void MainWindow::ButtonChanged(ButtonId id) {
  QPushButton* button = ButtonWidget(id);
  if (button == nullptr || engine_ == nullptr) return;
  const TButton state = engine_->Controls().Button(id);
  SetCaption(button, state.Caption);
  // Disabling the focused button moves focus on (to the history, say); it comes
  // back when the button is enabled again, unless the user moved it meanwhile,
  // so a key that started an upload also stops it once it may be stopped.
  const bool hadFocus = button->hasFocus();
  button->setEnabled(state.Enabled);
  if (!state.Enabled && hadFocus) {
    refocus_ = button;
    parkedFocus_ = QApplication::focusWidget();
  } else if (state.Enabled && refocus_ == button) {
    if (QApplication::focusWidget() == parkedFocus_) button->setFocus(Qt::OtherFocusReason);
    refocus_ = nullptr;
  }
  if (id == ButtonId::Connect) DeviceListEnabled();
  if (id == ButtonId::StartBootloader && phase_ && !engine_->Status().uploading) EndUploadProgress();
}

void MainWindow::ProgressChanged() {
  if (engine_ == nullptr) return;
  const TProgressBar bar = engine_->Controls().Progress;
  // An empty range would turn QProgressBar into a busy indicator.
  if (bar.Max > bar.Min) {
    progress_->setRange(bar.Min, bar.Max);
    progress_->setValue(bar.Position);
  } else {
    progress_->setRange(0, 1);
    progress_->setValue(0);
  }
  ProgressDescription();
}

void MainWindow::UploadProgress(UploadPhase phase, std::uint64_t done, std::uint64_t total) {
  if (phase_ != phase || done == 0) {
    if (!phase_) caption_ = windowTitle();  // what the title returns to
    phase_ = phase;
    phaseClock_.start();
  }
  const QString text = ProgressBarText(phase, done, total, phaseClock_.elapsed());
  // Called per block: only a text that changed reaches the window manager.
  if (progress_->format() != text) progress_->setFormat(text);
  progress_->setTextVisible(true);
  ProgressDescription();
  const QString title = ProgressTitle(phase, done, total, caption_);
  if (windowTitle() != title) setWindowTitle(title);
}

void MainWindow::EndUploadProgress() {
  phase_.reset();
  progress_->setTextVisible(false);
  progress_->resetFormat();
  ProgressDescription();
  setWindowTitle(caption_);
}

void MainWindow::ProgressDescription() {
  // The bar's own text while an upload names its phase, else how full it is.
  const QString text =
      progress_->isTextVisible()
          ? progress_->format()
          : QStringLiteral("%1 %").arg(PercentDone(
                static_cast<std::uint64_t>(std::max(progress_->value() - progress_->minimum(), 0)),
                static_cast<std::uint64_t>(progress_->maximum() - progress_->minimum())));
  // Only a change: every one is an event sent to assistive technology.
  if (progress_->accessibleDescription() != text) progress_->setAccessibleDescription(text);
}

void MainWindow::DeviceInfoChanged() {
  if (engine_ == nullptr) return;
  const ControlsState controls = engine_->Controls();
  mcuCombo_->SetItems(controls.MCUComboBox.Items, controls.MCUComboBox.ItemIndex);
  deviceCombo_->SetItems(controls.DeviceComboBox.Items, controls.DeviceComboBox.ItemIndex);
  glowButton2_->SetImageIndex(controls.LinkIndicator);
  DeviceListEnabled();
}

void MainWindow::DeviceListEnabled() { deviceCombo_->setEnabled(engine_->Controls().DeviceChoiceOpen()); }

void MainWindow::DeviceComboBoxChange(int index) {
  if (engine_ == nullptr) return;
  int i = 0;
  for (const BoardView& board : engine_->Boards()) {
    if (!board.bootloader || i++ != index) continue;
    BoardChoice choice;
    choice.serial = board.serial;
    choice.path = board.path;
    choice.orFirst = true;
    engine_->ChooseBoard(choice);
    engine_->OpenChosenBoard();
    break;
  }
  DeviceInfoChanged();  // shows the board in use, also when the choice was not taken
}

void MainWindow::ShowFileInStatusBar(const QString& path) {
  const QFontMetrics metrics(statusBar_->font());
  const auto width = [&metrics](const QString& text) { return metrics.horizontalAdvance(text); };
  statusBar_->SetText(ShortenPathToWidth(QStringLiteral(": ") + path, width, StatusBudget()));
}

bool MainWindow::AskYesNo(const QString& text) {
  return Dialogs().AskYesNo(this, QStringLiteral("Warning"), text);
}

void MainWindow::ShowMessage(MessageKind kind, const QString& title, const QString& text) {
  Dialogs().ShowMessage(this, kind, title, text);
}

void MainWindow::ShowTaskDialog(const TTaskDialogTexts& texts) {
  if (!texts.Wrote) return Dialogs().ShowTaskDialog(this, texts);
  // What quorvel-cli prints after a successful upload, for comparing the two.
  TTaskDialogTexts withProof = texts;
  withProof.ExpandedText += QLatin1Char('\n') + ProofText(QStringLiteral("Wrote"), *texts.Wrote);
  Dialogs().ShowTaskDialog(this, withProof);
}

void MainWindow::UploadEnded(const UploadOutcome& outcome) {
  if (phase_) EndUploadProgress();
  // The history's error line is easy to miss, and the board's flash is no
  // longer what it was: say so, and what to do about it.
  if (outcome.result == UploadResult::DeviceError) {
    ShowMessage(MessageKind::Error, QStringLiteral("Upload failed"), PartlyWrittenText(outcome));
  }
}

bool MainWindow::ChooseHexFile(QString& fileName, const QString& initialDir) {
  return Dialogs().ChooseFile(this, QStringLiteral("HEX files (*.hex *.ihex)"), initialDir, fileName);
}

void MainWindow::CloseMainWindow() { close(); }

}  // namespace quorvel::ui
