// SPDX-License-Identifier: Apache-2.0
// The real window driven like a user, by object name, on a simulated HID
// platform: start-up, Connect, Browse and drops, the status bar, the progress
// animation, the hidden activity toggle and the settings file round trips.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <algorithm>
#include <functional>
#include <memory>
#include <variant>

#include "engine/engine_probe.h"
#include "scripted_dialogs.h"
#include "sim/sim_platform.h"
#include "support/thread_recording_platform.h"
#include "support/event_loop.h"
#include "support/hex_writer.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/window_session.h"

namespace quorvel::ui {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const QString kAttachLine = QStringLiteral("Attach USB HID device or reset if attached.");
const QString kNotRestarted =
    QStringLiteral("The device was not restarted: reset or power-cycle it before the next upload.");

class WindowTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  sim::SimHidPlatform platform;
  std::unique_ptr<quorvel::test::ThreadRecordingPlatform> recorder;  // what the window talks through, when set
  test::ScriptedDialogs dialogs;
  DialogProvider* dialogProvider = &dialogs;  // nullptr: the real dialogs
  std::unique_ptr<WindowSession> session;

  std::vector<int> plugged;

  void TearDown() override {
    platform.WaitIdle(2000);
    for (int id : plugged) {
      EXPECT_EQ(platform.Violations(id), std::vector<std::string>{}) << "bootloader " << id;
    }
    session.reset();
    RunEventsFor(0);
  }

  QString SettingsPath() const { return dir.filePath(QStringLiteral("Settings.ini")); }
  MainWindow& Window() { return session->Window(); }
  Engine& TheEngine() { return session->Engine(); }
  EngineProbe Probe() { return EngineProbe(session->Engine()); }
  ControlsModel& ControlsPart() { return Probe().ControlsPart(); }
  int Handled() { return Probe().LinkPart().DeviceChangesHandled(); }
  bool Busy() { return Probe().LinkPart().Busy(); }

  // Creates the window and the engine, runs start-up with `args`, shows the
  // window and lets the start-up device scan finish. Under a window manager
  // the window is framed once it is exposed.
  void Start(const QStringList& args = {}) {
    session = std::make_unique<WindowSession>(recorder ? static_cast<hid::HidPlatform&>(*recorder) : platform,
                                              SettingsPath(), dialogProvider);
    session->Start(args);
    Window().show();
    ASSERT_TRUE(RunUntil([&] { return Handled() >= 1 && !Busy(); }));
    ASSERT_TRUE(RunUntil([&] { return Window().isMinimized() || Window().windowHandle()->isExposed(); }));
  }
  // Ends the run as a user would: close the window, then the program ends.
  void Stop() {
    Window().close();
    session.reset();
  }

  static void RunEventsFor(int ms) { quorvel::test::RunEventsFor(ms); }
  static bool RunUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    return quorvel::test::RunUntil(done, timeoutMs);
  }

  int Plug(const char* profileText) {
    auto parsed = sim::ParseSimProfile(profileText);
    EXPECT_TRUE(std::holds_alternative<sim::SimProfile>(parsed)) << profileText;
    const int before = Handled();
    const int id = platform.PlugBootloader(std::get<sim::SimProfile>(parsed));
    plugged.push_back(id);
    EXPECT_TRUE(RunUntil([&] { return Handled() > before && !Busy(); }));
    return id;
  }
  void Unplug(int id) {
    const int before = Handled();
    platform.Unplug(id);
    EXPECT_TRUE(RunUntil([&] { return Handled() > before && !Busy(); }));
  }

  template <class T>
  T* Find(const char* name) {
    T* widget = Window().findChild<T*>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  void Click(const char* name) {
    if (auto* button = Find<QPushButton>(name)) button->click();
  }
  QStringList History() {
    const QString text = Find<LogMemo>("MemoHistoryWindow")->Text();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
  }
  QStringList HistorySince(qsizetype mark) { return History().mid(mark); }

  QString MakeFile(const QString& name, const QByteArray& contents = ":00000001FF\r\n") {
    const QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(contents);
    return path;
  }
  void WriteSettings(const QByteArray& text) {
    QFile f(SettingsPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }
  QByteArray ReadSettings() {
    QFile f(SettingsPath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  void Drop(const QStringList& files) {
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const QString& f : files) urls << QUrl::fromLocalFile(f);
    mime->setUrls(urls);
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Window(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(100, 100), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Window(), &drop);
    delete mime;
  }
  void ConnectTo(const char* profileText) {
    Plug(profileText);
    Click("ButtonConnect");
    ASSERT_TRUE(TheEngine().Status().connected);
  }
};

// --- start-up ---

TEST_F(WindowTest, StartsNarrowWithCaptionAndOneLine) {
  Start();
  EXPECT_EQ(Window().windowTitle(), QStringLiteral("Orvane USB HID Bootloader v2.3.0.0"));
  EXPECT_EQ(Window().width(), 489);
  EXPECT_EQ(Window().height(), 357);
  EXPECT_EQ(Window().Tag(), 682);
  EXPECT_EQ(Window().minimumSize(), Window().maximumSize()) << "fixed border";
  EXPECT_EQ(Window().pos(), QPoint(234, 120));
  EXPECT_THAT(History(), ElementsAre(kAttachLine));
  EXPECT_EQ(Window().StatusText(), QStringLiteral(": No files opened."));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Connect"));
  EXPECT_EQ(Find<QPushButton>("ButtonOpenHex")->text(), QStringLiteral("Browse      for HEX"));
  EXPECT_EQ(Find<QPushButton>("ButtonStartBootloader")->text(), QStringLiteral("Begin uploading"));
  EXPECT_FALSE(Find<QComboBox>("MCUComboBox")->isEnabled());
  EXPECT_EQ(Find<QComboBox>("MCUComboBox")->count(), 0);
  EXPECT_EQ(Find<QWidget>("GlowButton2")->property("imageIndex").toInt(), 0);
  EXPECT_TRUE(Find<QWidget>("GlowButton1")->isHidden());
  EXPECT_TRUE(Find<QWidget>("Panel1")->isHidden());
  EXPECT_FALSE(Find<QCheckBox>("CheckBoxClose")->isChecked());
  for (const char* name : {"BackgroundPanel", "GroupBox1", "GroupBox2", "GroupBox3", "GroupBox4", "GroupBox5",
                           "GroupBox6", "GroupBox7", "GroupBox8", "GroupBox9", "Label4", "TextLabel14",
                           "MemoTerminalWindow", "ProgressBar1", "StatusBar1", "DeviceComboBox"}) {
    EXPECT_NE(Window().findChild<QWidget*>(QLatin1String(name)), nullptr) << name;
  }
  EXPECT_EQ(Find<QWidget>("GroupBox1")->palette().color(QPalette::Window), QColor(0xFA, 0xFA, 0xFA));
  EXPECT_EQ(Find<QWidget>("GroupBox2")->palette().color(QPalette::Window), QColor(0xDC, 0xDC, 0xDC));
  EXPECT_EQ(Find<QWidget>("StatusBar1")->geometry(), QRect(0, 338, 489, 19));
}

// Every control of the form where the form puts it, inside the panel it
// belongs to, in the form's font size; a label that sizes itself to its text
// is checked by its place.
TEST_F(WindowTest, EveryControlSitsWhereTheFormPutsItInItsFont) {
  Start();
  struct Place {
    const char* name;
    const char* parent;
    QRect rect;  // width -1: sized by its text
    int points;  // 0: the font is not the form's concern
    bool bold;
  };
  const Place places[] = {
      {"BackgroundPanel", "Pelmo", {0, 0, 684, 339}, 0, false},
      {"Label4", "BackgroundPanel", {13, 12, 221, 39}, 24, true},
      {"GroupBox4", "BackgroundPanel", {0, 65, 216, 39}, 0, false},
      {"TextLabel1", "GroupBox4", {13, 2, -1, 0}, 22, true},
      {"TextLabel2", "GroupBox4", {40, 7, 64, 33}, 8, true},
      {"GlowButton2", "GroupBox4", {141, 5, 47, 30}, 0, false},
      {"GroupBox5", "BackgroundPanel", {-1, 117, 217, 39}, 0, false},
      {"TextLabel3", "GroupBox5", {14, 2, -1, 0}, 22, true},
      {"TextLabel4", "GroupBox5", {40, 7, 65, 32}, 8, true},
      {"ButtonConnect", "GroupBox5", {126, 5, 81, 30}, 0, false},
      {"GroupBox6", "BackgroundPanel", {-1, 170, 217, 39}, 0, false},
      {"TextLabel5", "GroupBox6", {14, 1, -1, 0}, 22, true},
      {"TextLabel6", "GroupBox6", {40, 6, 65, 33}, 8, true},
      {"ButtonOpenHex", "GroupBox6", {126, 5, 81, 30}, 0, false},
      {"GroupBox7", "BackgroundPanel", {-1, 224, 217, 39}, 0, false},
      {"TextLabel7", "GroupBox7", {14, 2, -1, 0}, 22, true},
      {"TextLabel8", "GroupBox7", {40, 7, 84, 33}, 8, true},
      {"ButtonStartBootloader", "GroupBox7", {126, 5, 81, 30}, 0, false},
      {"GroupBox8", "BackgroundPanel", {-1, 280, 497, 45}, 0, false},
      {"TextLabel14", "GroupBox8", {14, 8, -1, 0}, 8, true},
      {"ProgressBar1", "GroupBox8", {147, 12, 326, 22}, 0, false},
      {"GlowButton1", "GroupBox8", {390, 12, 83, 22}, 0, false},
      {"GroupBox3", "BackgroundPanel", {263, 19, 220, 30}, 0, false},
      {"Label1", "GroupBox3", {11, 8, -1, 0}, 8, true},
      {"DeviceComboBox", "GroupBox3", {56, 5, 153, 22}, 8, false},
      {"GroupBox9", "BackgroundPanel", {232, 65, 251, 39}, 0, false},
      {"Label5", "GroupBox9", {16, 13, -1, 0}, 8, true},
      {"MCUComboBox", "GroupBox9", {87, 10, 153, 22}, 8, false},
      {"GroupBox1", "BackgroundPanel", {232, 117, 251, 147}, 0, false},
      {"Label2", "GroupBox1", {6, 5, -1, 0}, 9, true},
      {"MemoHistoryWindow", "GroupBox1", {0, 21, 240, 126}, 0, false},
      {"GroupBox2", "BackgroundPanel", {495, 11, 177, 314}, 0, false},
      {"Label3", "GroupBox2", {12, 6, -1, 0}, 9, true},
      {"MemoTerminalWindow", "GroupBox2", {12, 23, 153, 281}, 0, false},
      {"Panel1", "BackgroundPanel", {399, 35, 155, 98}, 0, false},
  };
  for (const Place& place : places) {
    const QWidget* widget = Find<QWidget>(place.name);
    ASSERT_TRUE(widget != nullptr && widget->parentWidget() != nullptr) << place.name;
    EXPECT_EQ(widget->parentWidget()->objectName(), QLatin1String(place.parent)) << place.name;
    if (place.rect.width() < 0) {
      EXPECT_EQ(widget->pos(), place.rect.topLeft()) << place.name;
    } else {
      EXPECT_EQ(widget->geometry(), place.rect) << place.name;
    }
    if (place.points > 0) {
      EXPECT_EQ(widget->font().pointSize(), place.points) << place.name;
      EXPECT_EQ(widget->font().bold(), place.bold) << place.name;
    }
  }
}

TEST_F(WindowTest, CommandLineFileIsLoggedBeforeTheAttachLine) {
  const QString hex = MakeFile(QStringLiteral("FIRMWARE.HEX"));
  Start({QStringLiteral("PIC32"), hex});
  EXPECT_THAT(History(), ElementsAre(QStringLiteral("Opened: ") + hex, kAttachLine));
  EXPECT_TRUE(Window().StatusText().endsWith(QStringLiteral("FIRMWARE.HEX")));
}

// --- Connect ---

TEST_F(WindowTest, ConnectToAPresentDevice) {
  Start();
  Plug("family=STM32F4XX,description=Board A");
  EXPECT_EQ(Find<QComboBox>("MCUComboBox")->currentText(), QStringLiteral("STM32F4XX"));
  EXPECT_EQ(Find<QComboBox>("DeviceComboBox")->currentText(), QStringLiteral("Board A"));
  EXPECT_EQ(Find<QWidget>("GlowButton2")->property("imageIndex").toInt(), 1);
  const qsizetype mark = History().size();
  Click("ButtonConnect");
  EXPECT_THAT(HistorySince(mark), ElementsAre("Waiting MCU response...", "Connected."));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Disconnect"));
  Click("ButtonConnect");
  EXPECT_THAT(HistorySince(mark + 2), ElementsAre("Disconnected.", "Reset..."));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Connect"));
}

TEST_F(WindowTest, ConnectToASilentDevice) {
  Start();
  Plug("family=PIC18,drop=2");
  const qsizetype mark = History().size();
  Click("ButtonConnect");
  EXPECT_THAT(HistorySince(mark),
              ElementsAre("Waiting MCU response...", "Error: Timeout waiting for MCU.", "Disconnected."));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Connect"));
  EXPECT_TRUE(Find<QPushButton>("ButtonStartBootloader")->isEnabled());
}

TEST_F(WindowTest, ConnectWithoutADevice) {
  Start();
  Click("ButtonConnect");
  EXPECT_THAT(History(), ElementsAre(kAttachLine, "Unable to find device: USB HID Bootloader."));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Connect"));
}

TEST_F(WindowTest, RemovingTheConnectedDeviceDisconnectsAndClearsTheLists) {
  Start();
  const int id = Plug("family=STM32F4XX");
  Click("ButtonConnect");
  ASSERT_TRUE(TheEngine().Status().connected);
  auto* link = Find<QWidget>("GlowButton2");
  EXPECT_EQ(link->toolTip(), QStringLiteral("USB link: attached"));
  const qsizetype mark = History().size();
  Unplug(id);
  EXPECT_THAT(HistorySince(mark), ElementsAre("Device removed.", "Disconnected."));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Connect"));
  EXPECT_EQ(Find<QComboBox>("MCUComboBox")->count(), 0);
  EXPECT_EQ(Find<QComboBox>("DeviceComboBox")->count(), 0);
  EXPECT_EQ(link->property("imageIndex").toInt(), 0);
  // Said in words too, for screen readers and where red is not seen.
  EXPECT_EQ(link->toolTip(), QStringLiteral("USB link: not attached"));
  EXPECT_EQ(link->accessibleName(), link->toolTip());
}

TEST_F(WindowTest, RemovingAnIdleDeviceGivesTheReenterHint) {
  Start();
  const int id = Plug("family=PIC18");
  const qsizetype mark = History().size();
  Unplug(id);
  EXPECT_THAT(HistorySince(mark), ElementsAre("Reset device to reenter bootloader mode."));
}

TEST_F(WindowTest, SeveralBootloadersAreListedAndTheChosenOneIsUsed) {
  Start();
  const int a = Plug("family=PIC18,serial=A,description=Board A");
  auto* devices = Find<QComboBox>("DeviceComboBox");
  auto* mcu = Find<QComboBox>("MCUComboBox");
  const auto items = [&] {
    QStringList list;
    for (int i = 0; i < devices->count(); ++i) list << devices->itemText(i);
    return list;
  };
  EXPECT_FALSE(devices->isEnabled()) << "one bootloader: the list only shows it";
  EXPECT_THAT(items(), ElementsAre("Board A"));

  const qsizetype mark = History().size();
  const int b = Plug("family=STM32F4XX,serial=B,description=Board B");
  EXPECT_TRUE(devices->isEnabled());
  // B has not been asked for its record yet: its entry is its USB name.
  EXPECT_THAT(items(), ElementsAre("Board A (Serial=A)", "USB HID Bootloader (Serial=B)"));
  EXPECT_EQ(devices->currentIndex(), 0);
  EXPECT_EQ(mcu->currentText(), QStringLiteral("PIC18"));
  EXPECT_THAT(HistorySince(mark), ElementsAre("2 bootloaders attached; using Board A (Serial=A)."));

  devices->setCurrentIndex(1);
  emit devices->activated(1);
  ASSERT_TRUE(RunUntil([&] { return mcu->currentText() == QStringLiteral("STM32F4XX"); }));
  EXPECT_THAT(items(), ElementsAre("Board A (Serial=A)", "Board B (Serial=B)"));
  EXPECT_EQ(devices->currentIndex(), 1);
  // The choice survives device changes while the board stays attached.
  const int handled = Handled();
  platform.PlugGeneric({});  // an unrelated HID device
  ASSERT_TRUE(RunUntil([&] { return Handled() > handled && !Busy(); }));
  EXPECT_EQ(mcu->currentText(), QStringLiteral("STM32F4XX"));
  EXPECT_EQ(devices->currentIndex(), 1);
  EXPECT_THAT(HistorySince(mark), ElementsAre("2 bootloaders attached; using Board A (Serial=A).",
                                              "2 bootloaders attached; using Board B (Serial=B)."));

  Click("ButtonConnect");
  ASSERT_TRUE(TheEngine().Status().connected);
  EXPECT_FALSE(devices->isEnabled()) << "the connected board stays the one in use";
  dialogs.fileAnswers = {QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex")};
  Click("ButtonOpenHex");
  Click("ButtonStartBootloader");
  ASSERT_EQ(dialogs.taskDialogs.size(), 1u);
  EXPECT_NE(platform.TraceText(b).find("WRITE"), std::string::npos);
  for (const char* command : {"BOOT", "ERASE", "WRITE", "REBOOT"}) {
    EXPECT_EQ(platform.TraceText(a).find(command), std::string::npos) << command << " reached board A";
  }

  // Restarted, B leaves its bootloader: A is the one in use again.
  ASSERT_TRUE(RunUntil([&] { return !platform.IsPlugged(b) && mcu->currentText() == QStringLiteral("PIC18"); }));
  EXPECT_FALSE(devices->isEnabled());
  EXPECT_THAT(items(), ElementsAre("Board A"));
}

// Sixteen boards attached and another coming and going: no handle is opened,
// written, locked or closed on the UI thread, and the window goes on handling
// its events while the change is handled.
TEST_F(WindowTest, ADeviceChangeAmongSixteenBoardsNeverWaitsOnAHandle) {
  recorder = std::make_unique<quorvel::test::ThreadRecordingPlatform>(platform);
  Start();
  for (int i = 0; i < 16; ++i) Plug(("family=PIC18,serial=S" + std::to_string(i)).c_str());
  auto* devices = Find<QComboBox>("DeviceComboBox");
  ASSERT_EQ(devices->count(), 16);

  int ticksWhileBusy = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ticksWhileBusy += Busy() ? 1 : 0; });
  ticker.start(0);
  const int other = Plug("family=STM32F4XX,serial=X");
  EXPECT_EQ(devices->count(), 17);
  Unplug(other);
  ticker.stop();
  EXPECT_EQ(devices->count(), 16);
  EXPECT_GT(ticksWhileBusy, 0);
  EXPECT_EQ(Find<QComboBox>("MCUComboBox")->currentText(), QStringLiteral("PIC18"));
  Stop();
  std::lock_guard lock(recorder->log->m);
  EXPECT_GT(recorder->log->locksTaken, 16);
  EXPECT_THAT(recorder->log->onUi, IsEmpty());
}

// --- Browse and drops ---

TEST_F(WindowTest, BrowseAndDropNeedAConnection) {
  Start();
  const QString hex = MakeFile(QStringLiteral("a.hex"));
  Click("ButtonOpenHex");
  Drop({hex, hex, hex});
  EXPECT_THAT(History(), ElementsAre(kAttachLine, "Error: Connect first.", "Error: Connect first."));
  EXPECT_THAT(dialogs.fileDialogs, IsEmpty());
  EXPECT_EQ(Window().StatusText(), QStringLiteral(": No files opened."));
}

TEST_F(WindowTest, BrowseRefusesOtherExtensionsAndRemembersTheChoice) {
  Start();
  ConnectTo("family=STM32F4XX");
  const QString txt = MakeFile(QStringLiteral("image.txt"));
  dialogs.fileAnswers = {txt, std::nullopt};
  const qsizetype mark = History().size();
  Click("ButtonOpenHex");
  Click("ButtonOpenHex");  // cancelled: nothing happens
  EXPECT_THAT(HistorySince(mark), ElementsAre(QStringLiteral("File not found: ") + txt));
  ASSERT_EQ(dialogs.fileDialogs.size(), 2u);
  EXPECT_EQ(dialogs.fileDialogs[0].filter, QStringLiteral("HEX files (*.hex *.ihex)"));
  EXPECT_EQ(dialogs.fileDialogs[1].initialName, txt) << "the refused choice stays in the dialog";
  EXPECT_EQ(Window().StatusText(), QStringLiteral(": No files opened."));
  Stop();
  EXPECT_TRUE(ReadSettings().contains(("OpenDialog1_FileName=" + txt).toUtf8()));
}

TEST_F(WindowTest, BrowseOpensAHexFile) {
  Start();
  ConnectTo("family=STM32F4XX");
  const QString hex = MakeFile(QStringLiteral("app.HEX"));
  dialogs.fileAnswers = {hex};
  const qsizetype mark = History().size();
  Click("ButtonOpenHex");
  EXPECT_THAT(HistorySince(mark), ElementsAre(QStringLiteral("Opened: ") + hex));
  EXPECT_TRUE(Window().StatusText().endsWith(QStringLiteral("app.HEX")));
}

TEST_F(WindowTest, DropLoadsTheFirstQualifyingFileOnly) {
  Start();
  ConnectTo("family=STM32F4XX");
  const QString text = MakeFile(QStringLiteral("notes.txt"));
  const QString gone = dir.filePath(QStringLiteral("gone.hex"));
  const QString hex = MakeFile(QStringLiteral("second.HEX"));
  const QString other = MakeFile(QStringLiteral("third.hex"));
  const qsizetype mark = History().size();
  Drop({text, gone, hex, other});
  EXPECT_THAT(HistorySince(mark), ElementsAre(QStringLiteral("Opened: ") + hex));
  Drop({text, gone});
  EXPECT_EQ(History().size(), mark + 1) << "nothing qualifying: silently ignored";
}

TEST_F(WindowTest, UploadsTheSampleFirmwareEndToEnd) {
  Start();
  const int id = Plug("family=STM32F4XX");
  Click("ButtonConnect");
  ASSERT_TRUE(TheEngine().Status().connected);
  dialogs.fileAnswers = {QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex")};
  Click("ButtonOpenHex");
  ASSERT_TRUE(TheEngine().Images().HexLoaded);
  Click("ButtonStartBootloader");
  ASSERT_EQ(dialogs.taskDialogs.size(), 1u) << "the result dialog ends the upload";
  EXPECT_FALSE(TheEngine().Status().connected) << "a finished upload restarts the device";
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Connect"));
  EXPECT_EQ(Find<QPushButton>("ButtonStartBootloader")->text(), QStringLiteral("Begin uploading"));
  EXPECT_TRUE(Find<QPushButton>("ButtonOpenHex")->isEnabled());
  // The restart is sent without waiting for an answer; the device thread logs it a moment later.
  EXPECT_TRUE(RunUntil([&] { return platform.TraceText(id).find("REBOOT") != std::string::npos; }));
  EXPECT_THAT(dialogs.questions, IsEmpty());
}

TEST_F(WindowTest, CloseWhenFinishedFromSettingsClosesTheWindowAfterTheUpload) {
  WriteSettings("[frmPelmo]\r\nCheckBoxClose_Checked=Y\r\n");
  Start();
  Plug("family=STM32F4XX");
  Click("ButtonConnect");
  dialogs.fileAnswers = {QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex")};
  Click("ButtonOpenHex");
  Click("ButtonStartBootloader");
  ASSERT_EQ(dialogs.taskDialogs.size(), 1u);
  EXPECT_TRUE(RunUntil([&] { return !Window().isVisible(); }));
  session.reset();
  EXPECT_TRUE(ReadSettings().contains("CheckBoxClose_Checked=TRUE\r\n"));
}

// The result dialog names the file the image was built from, however it was
// opened, and never one restored from the settings file.
TEST_F(WindowTest, ResultDialogNamesTheFileLoadedLast) {
  WriteSettings("[frmPelmo]\r\nOpenDialog1_FileName=/old/restored.hex\r\n");
  const QByteArray hex = QByteArray::fromStdString(testhex::Make({{0, std::vector<std::uint8_t>(64, 0x12)}}));
  const QString fromCommandLine = MakeFile(QStringLiteral("cmd.hex"), hex);
  const QString browsed = MakeFile(QStringLiteral("browsed.hex"), hex);
  const QString dropped = MakeFile(QStringLiteral("dropped.hex"), hex);
  auto uploadNames = [&] {
    const std::size_t before = dialogs.taskDialogs.size();
    Click("ButtonStartBootloader");
    EXPECT_EQ(dialogs.taskDialogs.size(), before + 1);
    // Its first line; the second says what was written.
    return dialogs.taskDialogs.empty() ? QString() : dialogs.taskDialogs.back().ExpandedText.section('\n', 0, 0);
  };
  const auto named = [](const QString& file) {
    return QStringLiteral("Uploading program \"%1\" finished with success.").arg(file);
  };

  Start({QStringLiteral("P18"), fromCommandLine});
  ConnectTo("family=PIC18");
  EXPECT_EQ(uploadNames(), named(fromCommandLine));

  ConnectTo("family=PIC18");  // the restarted device is gone; a fresh one
  dialogs.fileAnswers = {browsed};
  Click("ButtonOpenHex");
  Drop({dropped});
  EXPECT_EQ(uploadNames(), named(dropped));
}

// The real result dialog, answered from the keyboard: Enter is OK, and the
// details name the dropped file even with no file ever chosen in the dialog,
// and what was written as quorvel-cli prints it.
TEST_F(WindowTest, EnterClosesTheSuccessDialog) {
  dialogProvider = nullptr;
  Start();
  ConnectTo("family=STM32F4XX");
  const QString hex = dir.filePath(QStringLiteral("blink.hex"));
  ASSERT_TRUE(QFile::copy(QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex"), hex));
  Drop({hex});
  const UploadProof planned = PlanProof(TheEngine().Plan({}));
  ASSERT_GT(planned.bytesWritten, 0u);

  QString details;
  bool enterSent = false;
  bool stillOpen = false;
  QElapsedTimer sinceEnter;
  QTimer answer;
  answer.setInterval(10);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<TaskDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    if (!enterSent) {
      QWidget* focus = QApplication::focusWidget();
      if (!dialog->isActiveWindow() || focus == nullptr || focus->window() != dialog) return;
      details = dialog->findChild<QTextEdit*>(QStringLiteral("ExpandedText"))->toPlainText();
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
      QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
      QApplication::sendEvent(focus, &press);
      QApplication::sendEvent(focus, &release);
      enterSent = true;
      sinceEnter.start();
    } else if (sinceEnter.elapsed() > 5000) {
      stillOpen = true;  // Enter did something else; end the test instead of hanging
      dialog->reject();
    }
  });
  answer.start();
  Click("ButtonStartBootloader");
  answer.stop();

  EXPECT_TRUE(enterSent);
  EXPECT_FALSE(stillOpen);
  EXPECT_EQ(details, QStringLiteral("Uploading program \"%1\" finished with success.\n"
                                    "Wrote %2 bytes, program SHA-256 %3")
                        .arg(hex)
                        .arg(planned.bytesWritten)
                        .arg(QString::fromStdString(planned.programSha256)));
  EXPECT_EQ(History().back(), QStringLiteral("Reset..."));
}

// A device error during an upload is a dialog too: the flash is partly
// written, and what to do depends on where the run left the board. The
// history keeps its lines.
TEST_F(WindowTest, DeviceErrorDuringAnUploadSaysTheFlashIsPartlyWritten) {
  std::vector<std::uint8_t> program(3000);
  for (std::size_t i = 0; i < program.size(); ++i) program[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const QString hex = MakeFile(QStringLiteral("app.hex"), QByteArray::fromStdString(testhex::Make({{0, program}})));
  const struct {
    const char* profile;
    QString historyTail, nextStep;
  } cases[] = {
      {"family=ARM,unplug=9", QStringLiteral("Error: Device removed.\nDisconnected."),
       QStringLiteral("Attach the device again in bootloader mode")},
      {"family=ARM,nak=6", QStringLiteral("Error: Timeout waiting for MCU.\nDisconnected.\nReset...\n") + kNotRestarted,
       kNotRestarted + QStringLiteral(" Then connect")},
  };
  Start();
  for (const auto& c : cases) {
    ConnectTo(c.profile);
    Drop({hex});
    dialogs.messages.clear();
    Click("ButtonStartBootloader");
    EXPECT_TRUE(History().join(QLatin1Char('\n')).endsWith(c.historyTail)) << c.profile;
    ASSERT_EQ(dialogs.messages.size(), 1u) << c.profile;
    const test::ShownMessage& shown = dialogs.messages[0];
    EXPECT_EQ(shown.kind, MessageKind::Error);
    EXPECT_EQ(shown.title, QStringLiteral("Upload failed"));
    EXPECT_TRUE(shown.text.contains(QStringLiteral("flash is partly written"))) << shown.text.toStdString();
    EXPECT_TRUE(shown.text.contains(c.historyTail.section(QLatin1Char('\n'), 0, 0))) << shown.text.toStdString();
    EXPECT_TRUE(shown.text.contains(c.nextStep)) << shown.text.toStdString();
    EXPECT_THAT(dialogs.taskDialogs, IsEmpty());
  }
}

// A Connect click while a freshly attached device's information is being read
// is acted on once the exchange is over.
TEST_F(WindowTest, ConnectClickedWhileTheDeviceIsBeingOpened) {
  Start();
  bool clicked = false;
  QTimer poll;
  poll.setInterval(1);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (clicked || !Busy()) return;
    clicked = true;
    Click("ButtonConnect");
  });
  poll.start();
  const qsizetype mark = History().size();
  Plug("family=PIC18,pace=50");
  poll.stop();
  ASSERT_TRUE(clicked);
  EXPECT_TRUE(RunUntil([&] { return TheEngine().Status().connected; }));
  EXPECT_THAT(HistorySince(mark), ElementsAre("Waiting MCU response...", "Connected."));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Disconnect"));
}

// Closing restarts the device; during an upload that must not happen between
// the frames of a write. The close stops the upload and happens afterwards.
TEST_F(WindowTest, CloseDuringAnUploadStopsItFirst) {
  Start();
  const int id = Plug("family=STM32F4XX,pace=2");
  Click("ButtonConnect");
  dialogs.fileAnswers = {QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex")};
  Click("ButtonOpenHex");
  bool visibleAfterClose = false;
  QTimer::singleShot(150, &Window(), [&] {
    Window().close();
    visibleAfterClose = Window().isVisible();
  });
  Click("ButtonStartBootloader");
  EXPECT_TRUE(visibleAfterClose) << "the close waited for the upload";
  EXPECT_EQ(dialogs.taskDialogs.size(), 1u);
  ASSERT_TRUE(RunUntil([&] { return !Window().isVisible(); }));
  ASSERT_TRUE(RunUntil([&] { return platform.TraceText(id).find("REBOOT") != std::string::npos; }))
      << "the connected device is restarted at close";
  const std::string trace = platform.TraceText(id);
  const auto reboot = trace.find("REBOOT");
  EXPECT_EQ(trace.find("DATA", reboot), std::string::npos) << "nothing written after the restart";
  EXPECT_EQ(trace.find("WRITE", reboot), std::string::npos);
}

// The four steps by keyboard: Tab visits only controls in sight, Alt letters
// and Enter click the buttons, and the key that began an upload stops it.
TEST_F(WindowTest, TheStepsWorkFromTheKeyboard) {
  Start();
  const int id = Plug("family=STM32F4XX,pace=2");
  Window().activateWindow();
  ASSERT_TRUE(RunUntil([&] { return Window().isActiveWindow(); }));
  const auto key = [](int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* to = QApplication::focusWidget();
    ASSERT_NE(to, nullptr);
    QKeyEvent press(QEvent::KeyPress, code, modifiers);
    QKeyEvent release(QEvent::KeyRelease, code, modifiers);
    QApplication::sendEvent(to, &press);
    if (QWidget* now = QApplication::focusWidget()) QApplication::sendEvent(now, &release);
  };
  auto* start = Find<QPushButton>("ButtonStartBootloader");
  start->setFocus();
  QStringList visited;
  for (int i = 0; i < 6; ++i) {
    key(Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    visited << focus->objectName();
    EXPECT_TRUE(focus->isVisible()) << visited.back().toStdString();
    EXPECT_TRUE(Window().rect().contains(QRect(focus->mapTo(&Window(), QPoint(0, 0)), focus->size())))
        << visited.back().toStdString() << " lies outside the window";
  }
  EXPECT_THAT(visited, ElementsAre("MemoHistoryWindow", "ButtonConnect", "ButtonOpenHex", "ButtonStartBootloader",
                                   "MemoHistoryWindow", "ButtonConnect"));

  key(Qt::Key_C, Qt::AltModifier);
  ASSERT_TRUE(TheEngine().Status().connected);
  EXPECT_EQ(QApplication::focusWidget(), Find<QPushButton>("ButtonConnect"));
  EXPECT_EQ(Find<QPushButton>("ButtonConnect")->text(), QStringLiteral("Disconnect"));
  key(Qt::Key_Tab);
  dialogs.fileAnswers = {std::nullopt, std::nullopt, QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex")};
  key(Qt::Key_Return);  // Browse, cancelled
  key(Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(dialogs.fileDialogs.size(), 2u);
  key(Qt::Key_B, Qt::AltModifier);
  ASSERT_TRUE(TheEngine().Images().HexLoaded);
  EXPECT_EQ(Find<QPushButton>("ButtonOpenHex")->text(), QStringLiteral("Browse      for HEX"));

  // Space began the upload; once the erase is over, a second Space stops it.
  key(Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), start);
  bool stopSent = false;
  QTimer poll;
  poll.setInterval(1);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (stopSent || !History().contains(QStringLiteral("Flash Write...")) || !start->isEnabled()) return;
    stopSent = true;
    EXPECT_EQ(QApplication::focusWidget(), start) << "focus left the upload button";
    key(Qt::Key_Space);
  });
  poll.start();
  key(Qt::Key_Space);
  poll.stop();
  ASSERT_TRUE(stopSent);
  ASSERT_EQ(dialogs.taskDialogs.size(), 1u);
  EXPECT_EQ(dialogs.taskDialogs[0].Content, QStringLiteral("Uploading program was stopped by user."));
  EXPECT_EQ(start->text(), QStringLiteral("Begin uploading"));
  EXPECT_EQ(QApplication::focusWidget(), start);
  platform.WaitIdle(2000);
  EXPECT_EQ(platform.TraceText(id).find("REBOOT"), std::string::npos) << "a stop leaves the board in its bootloader";

  // Focus the user moves afterwards stays there when a button changes later,
  // also on the control it was parked on while the button was disabled.
  auto* history = Find<QWidget>("MemoHistoryWindow");
  history->setFocus();
  TheEngine().Disconnect();
  ASSERT_TRUE(RunUntil([&] { return !TheEngine().Status().connected; }));
  EXPECT_EQ(QApplication::focusWidget(), history);
}

// --- status bar, progress, activity toggle, dialogs ---
// While uploading, the bar and the title say the phase and how far it is; the
// title returns to the caption, exactly, when the run is over.
TEST_F(WindowTest, ProgressShowsPhaseAndPercentInTheBarAndTitle) {
  Start();
  ConnectTo("family=STM32F4XX");
  dialogs.fileAnswers = {QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex")};
  Click("ButtonOpenHex");
  const QString caption = Window().windowTitle();
  QStringList titles, bars, spoken;
  auto* bar = Find<QProgressBar>("ProgressBar1");
  QObject::connect(&Window(), &QWidget::windowTitleChanged, [&](const QString& title) {
    titles << title;
    if (!bar->isTextVisible()) return;
    bars << bar->text();
    spoken << bar->accessibleDescription();
  });
  Click("ButtonStartBootloader");
  ASSERT_EQ(dialogs.taskDialogs.size(), 1u);

  const QRegularExpression title(QStringLiteral("^(\\d+) % (Erasing|Writing) — ") +
                                 QRegularExpression::escape(caption) + QLatin1Char('$'));
  ASSERT_GE(titles.size(), 3);
  EXPECT_EQ(titles.back(), caption);
  int lastPercent = -1;
  QString lastPhase;
  for (const QString& t : titles.mid(0, titles.size() - 1)) {
    const auto m = title.match(t);
    ASSERT_TRUE(m.hasMatch()) << t.toStdString();
    if (m.captured(2) != lastPhase) lastPercent = -1;
    EXPECT_GE(m.captured(1).toInt(), lastPercent) << "never back within a phase: " << t.toStdString();
    lastPercent = m.captured(1).toInt();
    lastPhase = m.captured(2);
  }
  EXPECT_TRUE(titles.filter(QStringLiteral("100 % Writing")).size() == 1) << titles.join('\n').toStdString();
  EXPECT_FALSE(bars.filter(QRegularExpression(QStringLiteral("^Writing \\d+ %"))).isEmpty())
      << bars.join('\n').toStdString();
  EXPECT_EQ(spoken, bars) << "what a screen reader says of the bar";
  EXPECT_FALSE(bar->isTextVisible());
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+ %$")).match(bar->accessibleDescription()).hasMatch())
      << bar->accessibleDescription().toStdString();
}


TEST_F(WindowTest, StatusBarShortensByWholeFoldersWithItsOwnFont) {
  Start();
  const QFontMetrics metrics(Find<QWidget>("StatusBar1")->font());
  const int budget = Window().StatusBudget();
  EXPECT_EQ(budget, 489 - metrics.horizontalAdvance(QLatin1Char('W')));

  Window().ShowFileInStatusBar(QStringLiteral("/srv/fw/app.hex"));
  EXPECT_EQ(Window().StatusText(), QStringLiteral(": /srv/fw/app.hex"));

  QString deep = QStringLiteral("/home");
  while (metrics.horizontalAdvance(QStringLiteral(": ") + deep) < 2 * budget)
    deep += QStringLiteral("/folder");
  Window().ShowFileInStatusBar(deep + QStringLiteral("/app.hex"));
  const QString shown = Window().StatusText();
  EXPECT_TRUE(shown.startsWith(QStringLiteral(".../folder/"))) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(QStringLiteral("/folder/app.hex")));
  EXPECT_LE(metrics.horizontalAdvance(shown), budget);
  EXPECT_GT(metrics.horizontalAdvance(QStringLiteral(".../folder/") + shown.mid(4)), budget)
      << "one folder less would have fitted: too much was cut";

  const QString huge = QStringLiteral("/x/") + QString(300, QLatin1Char('n')) + QStringLiteral(".hex");
  Window().ShowFileInStatusBar(huge);
  EXPECT_EQ(Window().StatusText(), QString(300, QLatin1Char('n')) + QStringLiteral(".hex"));
}

TEST_F(WindowTest, HistoryFollowsNewLines) {
  Start();
  auto* memo = Find<QPlainTextEdit>("MemoHistoryWindow");
  EXPECT_TRUE(memo->isReadOnly());
  for (int i = 0; i < 60; ++i) ControlsPart().AppendHistory(QStringLiteral("line %1").arg(i));
  RunEventsFor(0);
  QScrollBar* bar = memo->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(History().size(), 61);
}

// Long paths wrap between folders, and the log copies as it was written.
TEST_F(WindowTest, HistoryWrapsLongPathsAtSlashes) {
  Start();
  const QString line =
      QStringLiteral("Opened: /home/user/2024/stm32f4-blink-demo-board/build-output/app.hex");
  ControlsPart().AppendHistory(line);
  RunEventsFor(0);
  auto* memo = Find<LogMemo>("MemoHistoryWindow");
  const QTextBlock block = memo->document()->lastBlock();
  const QTextLayout* layout = block.layout();
  ASSERT_GT(layout->lineCount(), 1);
  const QString text = block.text();
  for (int i = 1; i < layout->lineCount(); ++i) {
    qsizetype before = layout->lineAt(i).textStart() - 1;
    while (before > 0 && !text[before].isPrint()) --before;
    EXPECT_TRUE(text[before] == QLatin1Char('/') || text[before] == QLatin1Char(' '))
        << "line " << i << " starts with " << text.mid(layout->lineAt(i).textStart()).toStdString();
  }
  memo->selectAll();
  memo->copy();
  EXPECT_EQ(QApplication::clipboard()->text(), kAttachLine + QLatin1Char('\n') + line);
}

TEST_F(WindowTest, DeviceDescriptionIsCutButWholeInItsTooltip) {
  Start();
  // As long as one report carries: 26 characters.
  const QString description = QStringLiteral("Wide <b>WWW</b> & MMMMMMMM");
  Plug(("family=STM32F4XX,description=" + description).toUtf8().constData());
  auto* combo = Find<QComboBox>("DeviceComboBox");
  EXPECT_EQ(combo->currentText(), description);
  EXPECT_GT(combo->fontMetrics().horizontalAdvance(description), combo->width()) << "meant to be cut";
  EXPECT_EQ(QTextDocumentFragment::fromHtml(combo->toolTip()).toPlainText(), description);
}

TEST_F(WindowTest, Timer1AnimatesTheProgressBar) {
  Start();
  auto* bar = Find<QProgressBar>("ProgressBar1");
  ControlsPart().SetProgressMax(100);
  ControlsPart().SetProgressPosition(0);
  QList<int> seen;
  for (int i = 0; i < 11; ++i) {
    ControlsPart().Timer1Timer();
    seen << bar->value();
  }
  EXPECT_EQ(seen, QList<int>({10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 10}));

  ControlsPart().SetProgressMax(7);
  ControlsPart().SetProgressPosition(6);
  ControlsPart().Timer1Timer();
  EXPECT_EQ(bar->value(), 7);
  ControlsPart().Timer1Timer();
  EXPECT_EQ(bar->value(), 1);

  ControlsPart().SetProgressMax(0);
  ControlsPart().Timer1Timer();
  EXPECT_EQ(TheEngine().Controls().Progress.Position, 0);
  EXPECT_GT(bar->maximum(), bar->minimum()) << "an empty range must not turn into a busy indicator";
}

TEST_F(WindowTest, ActivityToggleWidensAndNarrows) {
  Start();
  auto* toggle = Find<QPushButton>("GlowButton1");
  Window().GlowButton1Click();
  EXPECT_EQ(Window().width(), 682);
  EXPECT_EQ(toggle->text(), QStringLiteral("Hide Activity"));
  EXPECT_EQ(Find<QWidget>("GroupBox8")->palette().color(QPalette::Window), QColor(0xDC, 0xDC, 0xDC));
  EXPECT_EQ(Find<QWidget>("StatusBar1")->width(), 682);
  Window().GlowButton1Click();
  EXPECT_EQ(Window().width(), 489);
  EXPECT_EQ(toggle->text(), QStringLiteral("Show Activity"));
  EXPECT_EQ(Find<QWidget>("GroupBox8")->palette().color(QPalette::Window), QColor(0xFA, 0xFA, 0xFA));
}

TEST_F(WindowTest, AnErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
  Start();
  Probe().Guarded([] { throw std::runtime_error("Disk on fire"); });
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::AppError);
  EXPECT_EQ(dialogs.messages[0].title, QStringLiteral("Quorvel"));
  EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("Disk on fire."));
  Click("ButtonConnect");
  EXPECT_EQ(History().back(), QStringLiteral("Unable to find device: USB HID Bootloader."));
}

TEST(TaskDialogWidget, DetailsToggleSwitchesItsCaption) {
  TaskDialog dialog(
      {QStringLiteral("T"), QStringLiteral("Done"), QStringLiteral("c"), QStringLiteral("more")});
  auto* toggle = dialog.findChild<QPushButton*>(QStringLiteral("DetailsToggle"));
  ASSERT_NE(toggle, nullptr);
  EXPECT_EQ(toggle->text(), QStringLiteral("Show details"));
  EXPECT_FALSE(dialog.DetailsShown());
  toggle->click();
  EXPECT_EQ(toggle->text(), QStringLiteral("Hide details"));
  EXPECT_TRUE(dialog.DetailsShown());
  toggle->click();
  EXPECT_EQ(toggle->text(), QStringLiteral("Show details"));

  // Enter is OK's even while the toggle has the focus.
  dialog.show();
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(toggle, &enter);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.DetailsShown());
}

// --- settings round trips ---

TEST_F(WindowTest, FirstRunCreatesTheFileWithTwelveKeys) {
  Start();
  const QSize frame = Window().frameGeometry().size();  // the window manager's frame included
  Stop();
  TIniStorage ini(SettingsPath());
  ini.Load();
  const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
  const QString suffix = QStringLiteral("(%1x%2)").arg(screen.width()).arg(screen.height());
  EXPECT_EQ(ini.SectionNames(), QStringList{QStringLiteral("frmPelmo")});
  EXPECT_EQ(ini.Keys(QStringLiteral("frmPelmo")),
            QStringList({"FormVersion", "ShowCmd", "Flags", "PixelsPerInch", "MinMaxPos" + suffix,
                         "MinMaxPos", "NormPos" + suffix, "NormPos", "CheckBoxClose_Checked",
                         "OpenDialog1_InitialDir", "OpenDialog1_FileName", "MCUComboBox_ItemIndex"}));
  EXPECT_EQ(ini.Value("frmPelmo", "NormPos"),
            QStringLiteral("234,120,%1,%2").arg(234 + frame.width()).arg(120 + frame.height()));
  EXPECT_TRUE(ReadSettings().endsWith("\r\n\r\n"));
}

TEST_F(WindowTest, StoredCheckBoxValues) {
  const std::pair<const char*, bool> cases[] = {{"yes", true}, {"2", true}, {"maybe", false}};
  for (const auto& [value, checked] : cases) {
    WriteSettings(QByteArray("[frmPelmo]\r\nCheckBoxClose_Checked=") + value + "\r\n");
    Start();
    EXPECT_EQ(TheEngine().Controls().CheckBoxClose, checked) << value;
    EXPECT_EQ(Find<QCheckBox>("CheckBoxClose")->isChecked(), checked) << value;
    Stop();
    EXPECT_TRUE(ReadSettings().contains(checked ? "CheckBoxClose_Checked=TRUE\r\n"
                                                : "CheckBoxClose_Checked=FALSE\r\n"))
        << value;
  }
  EXPECT_THAT(dialogs.messages, IsEmpty());
}

// The stored position is the frame's, and is given back as the frame's: under
// a window manager the window does not creep by its title bar per restart.
TEST_F(WindowTest, PositionSurvivesRestartsButNeverTheWidth) {
  const QPoint moved(294, 220);  // wholly on the smallest screen the tests meet (800x600)
  const auto frameAt = [&] { return Window().frameGeometry().topLeft(); };
  Start();
  Window().move(moved);
  ASSERT_TRUE(RunUntil([&] { return frameAt() == moved; }));
  Stop();
  for (int restart = 1; restart <= 3; ++restart) {
    EXPECT_TRUE(ReadSettings().contains("\r\nNormPos=294,220,")) << "restart " << restart;
    Start();
    EXPECT_TRUE(RunUntil([&] { return frameAt() == moved; }))
        << "restart " << restart << ": frame at " << frameAt().x() << "," << frameAt().y();
    EXPECT_EQ(Window().width(), 489);
    Stop();
  }
}

TEST_F(WindowTest, ClosingWhileMinimisedStartsMinimisedNextTime) {
  Start();
  Window().showMinimized();
  RunEventsFor(0);
  Stop();
  EXPECT_TRUE(ReadSettings().contains("ShowCmd=2\r\n"));
  Start();
  EXPECT_TRUE(RunUntil([&] { return Window().isMinimized(); }));
  EXPECT_EQ(Window().width(), 489);
}

TEST_F(WindowTest, PlainPositionKeyServesAnotherScreenSize) {
  const int ppi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch());
  WriteSettings(
      QStringLiteral("[frmPelmo]\r\nPixelsPerInch=%1\r\nNormPos(1x1)=5,5,0,0\r\nNormPos=40,50,0,0\r\n")
          .arg(ppi)
          .toUtf8());
  Start();
  EXPECT_EQ(Window().pos(), QPoint(40, 50));
}

TEST_F(WindowTest, PositionOffEveryScreenIsPulledBackIntoView) {
  const int ppi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch());
  WriteSettings(
      QStringLiteral("[frmPelmo]\r\nPixelsPerInch=%1\r\nNormPos=-5000,90000,0,0\r\n").arg(ppi).toUtf8());
  Start();
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(area.contains(Window().frameGeometry().topLeft()))
      << Window().pos().x() << "," << Window().pos().y();
}

// Saved positions against the primary screen's available area. Run under
// `with-desktop.sh --dpi 192` too, where the screen is half as large in the
// window's units and a position saved at 1x, (700,400), falls off it.
TEST_F(WindowTest, RestoredWindowIsWhollyOnAScreen) {
  const int ppi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch());
  const QRect a = QGuiApplication::primaryScreen()->availableGeometry();
  Start();
  // Once framed, where there is a window manager to frame it.
  RunUntil([&] { return !Window().windowHandle()->frameMargins().isNull(); }, 1000);
  const QSize frame = Window().frameGeometry().size();
  Stop();
  const int right = a.left() + a.width() - frame.width();
  const int bottom = a.top() + a.height() - frame.height();
  const auto clamped = [&](QPoint p) {
    return QPoint(std::max(a.left(), std::min(p.x(), right)), std::max(a.top(), std::min(p.y(), bottom)));
  };
  const struct {
    const char* name;
    QPoint saved, expected;
  } cases[] = {
      {"on screen", a.topLeft() + QPoint(30, 40), a.topLeft() + QPoint(30, 40)},
      {"partly off right", {a.right() - 100, a.top() + 40}, {right, a.top() + 40}},
      {"partly off bottom", {a.left() + 30, a.bottom() - 50}, {a.left() + 30, bottom}},
      {"off left and top", a.topLeft() - QPoint(300, 200), a.topLeft()},
      {"on a screen no longer there", {a.right() + 1500, a.top() + 100}, {right, a.top() + 100}},
      {"saved at 1x", {700, 400}, clamped({700, 400})},
  };
  for (const auto& c : cases) {
    WriteSettings(QStringLiteral("[frmPelmo]\r\nPixelsPerInch=%1\r\nNormPos=%2,%3,0,0\r\n")
                      .arg(ppi)
                      .arg(c.saved.x())
                      .arg(c.saved.y())
                      .toUtf8());
    Start();
    const auto at = [&] { return Window().frameGeometry().topLeft(); };
    EXPECT_TRUE(RunUntil([&] { return at() == c.expected; }))
        << c.name << ": frame at " << at().x() << "," << at().y() << ", expected " << c.expected.x() << ","
        << c.expected.y();
    EXPECT_EQ(Window().frameGeometry().size(), frame) << c.name;
    Stop();
  }
}

TEST_F(WindowTest, NegativeFormVersionRestoresNothingAndIsReset) {
  WriteSettings(
      "[frmPelmo]\r\nFormVersion=-1\r\nNormPos=40,50,0,0\r\nPixelsPerInch=96\r\n"
      "CheckBoxClose_Checked=yes\r\n");
  Start();
  EXPECT_EQ(Window().pos(), QPoint(234, 120));
  EXPECT_FALSE(TheEngine().Controls().CheckBoxClose);
  Stop();
  EXPECT_TRUE(ReadSettings().startsWith("[frmPelmo]\r\nFormVersion=0\r\n"));
}

TEST_F(WindowTest, ReadOnlyFileIsNeverRewritten) {
  const QByteArray original = "[frmPelmo]\r\nCheckBoxClose_Checked=yes\r\n";
  WriteSettings(original);
  ASSERT_TRUE(QFile::setPermissions(SettingsPath(), QFileDevice::ReadOwner));
  Start();
  EXPECT_TRUE(TheEngine().Controls().CheckBoxClose) << "restored all the same";
  Window().move(10, 10);
  Stop();
  EXPECT_EQ(ReadSettings(), original);
}

TEST_F(WindowTest, CorruptNumberShowsTheErrorAndOpensNormally) {
  WriteSettings("[frmPelmo]\r\nFlags=abc\r\nCheckBoxClose_Checked=yes\r\n");
  Start();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::AppError);
  EXPECT_EQ(dialogs.messages[0].title, QStringLiteral("Quorvel"));
  EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("'abc' is not a valid integer value."));
  EXPECT_FALSE(TheEngine().Controls().CheckBoxClose) << "the rest of the restore is skipped";
  EXPECT_THAT(History(), ElementsAre(kAttachLine));
  Stop();
  EXPECT_TRUE(ReadSettings().contains("Flags=0\r\n"));
}

TEST_F(WindowTest, GarbageSettingsFileGivesDesignedDefaults) {
  static const char junk[] = "\x00\xff[frmPelmo\r\n=\r\n[]\r\n[frmPelmo]\r\n\x01\x02=\x03\r\nNormPos=,,,\r\n";
  WriteSettings(QByteArray(junk, sizeof junk - 1));
  Start();
  EXPECT_EQ(Window().pos(), QPoint(234, 120));
  EXPECT_THAT(dialogs.messages, IsEmpty());
  Stop();
  EXPECT_TRUE(ReadSettings().contains("FormVersion=0\r\n"));
}

}  // namespace
}  // namespace quorvel::ui
