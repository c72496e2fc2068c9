// SPDX-License-Identifier: Apache-2.0
// quorvel: the uploader's window.
#include <signal.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "assembly/program_platform.h"
#include "hid/hid_platform.h"
#include "sim/sim_profile.h"
#include "ui/app_options.h"
#include "ui/ini_file.h"
#include "ui/window_session.h"

namespace {

// Arguments as the application object will see them, before it exists.
QStringList RawArguments(int argc, char** argv) {
  QStringList args;
  for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  return args;
}

// Qt ends the program with abort() when it cannot open the window system.
// While the application object is made, Qt's messages are held back: if that
// fatal message comes, the user gets one line saying what is missing instead
// of Qt's plugin diagnostics and a core dump; otherwise they are passed on.
struct HeldMessage {
  QtMsgType type;
  QByteArray category;
  QString text;
};
std::vector<HeldMessage> heldMessages;
QtMessageHandler passOn = nullptr;

void HoldOrRefuse(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    heldMessages.push_back({type, QByteArray(context.category), text});
    return;
  }
  const QByteArray display = qgetenv("DISPLAY");
  const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
  const QByteArray what = !display.isEmpty()   ? "cannot open DISPLAY=" + display
                          : !wayland.isEmpty() ? "cannot open WAYLAND_DISPLAY=" + wayland
                                               : QByteArray("DISPLAY and WAYLAND_DISPLAY are not set");
  std::fprintf(stderr, "quorvel: no display: %s; start it in a desktop session, or use quorvel-cli\n",
               what.constData());
  std::_Exit(1);
}

void PassOnHeldMessages() {
  qInstallMessageHandler(passOn);
  for (const HeldMessage& m : heldMessages) {
    const char* category = m.category.isEmpty() ? nullptr : m.category.constData();
    passOn(m.type, QMessageLogContext(nullptr, 0, nullptr, category), m.text);
  }
  heldMessages.clear();
}

// --help, --version and a bad command line: the exit code, once answered;
// nothing when the window is to open.
std::optional<int> AnswerWithoutWindow(const quorvel::ui::TAppOptions& early) {
  if (early.help) {
    std::fputs(qPrintable(quorvel::ui::AppUsage()), stdout);
    return 0;
  }
  if (!early.error.isEmpty()) {
    std::fprintf(stderr, "quorvel: %s\n%s", qPrintable(early.error), qPrintable(quorvel::ui::AppUsage()));
    return 1;
  }
  if (early.version) {
    std::printf("%s\n", qPrintable(quorvel::ui::AppVersion()));
    return 0;
  }
  return std::nullopt;
}

// Saves the window to `file` once the start-up scan is over and, with a
// simulated device, its information is shown (or after 5 s, whatever
// happened by then), then closes it; `result` becomes 1 when it cannot be saved.
void ScreenshotWhenSettled(QApplication& app, quorvel::ui::WindowSession& session, const QString& file,
                           bool expectDevice, int& result) {
  auto* poll = new QTimer(&app);
  auto* clock = new QElapsedTimer;
  clock->start();
  QObject::connect(poll, &QTimer::timeout, &app, [&session, &result, file, expectDevice, poll, clock] {
    const quorvel::EngineStatus status = session.Engine().Status();
    const bool settled = status.deviceChangesHandled >= 1 && !status.busy &&
                         (!expectDevice || session.Engine().Controls().LinkIndicator == 1);
    if (!settled && clock->elapsed() < 5000) return;
    poll->stop();
    delete clock;
    if (!session.Window().grab().save(file, "PNG")) {
      std::fprintf(stderr, "quorvel: cannot write %s\n", qPrintable(file));
      result = 1;
    }
    session.Window().close();
  });
  poll->start(50);
}

}  // namespace

int main(int argc, char** argv) {
  // Under a file size limit (ulimit -f) the settings write fails and keeps the
  // old file, instead of the signal ending the program at exit.
  ::signal(SIGXFSZ, SIG_IGN);
  // Read before the application object exists: --help, --version and a bad
  // command line need no display, and a packager runs them on a build machine.
  const quorvel::ui::TAppOptions early = quorvel::ui::ParseAppOptions(RawArguments(argc, argv));
  if (const std::optional<int> exitCode = AnswerWithoutWindow(early)) return *exitCode;
  std::vector<std::string> profileTexts;
  for (const QString& profile : early.simulate) profileTexts.push_back(profile.toStdString());
  std::vector<quorvel::sim::SimProfile> profiles;
  if (quorvel::assembly::SimulateError bad; !quorvel::assembly::ParseSimulateProfiles(profileTexts, profiles, bad)) {
    std::fprintf(stderr, "quorvel: invalid --simulate \"%s\": %s\n", bad.profileText.c_str(), bad.message.c_str());
    return 1;
  }
  const bool expectDevice = std::any_of(profiles.begin(), profiles.end(),
                                        [](const quorvel::sim::SimProfile& p) { return p.plugAfterMs == 0; });

  passOn = qInstallMessageHandler(HoldOrRefuse);
  QApplication app(argc, argv);
  PassOnHeldMessages();
  QApplication::setApplicationName(QStringLiteral("Quorvel"));
  // Parsed again without the options Qt took for itself (-platform, -style...),
  // which would otherwise reach FormCreate as a family keyword or a file.
  const quorvel::ui::TAppOptions options = quorvel::ui::ParseAppOptions(QApplication::arguments().mid(1));

  quorvel::assembly::ProgramPlatform program(std::move(profiles), [](const std::string& text) {
    std::fprintf(stderr, "quorvel: VIOLATION %s\n", text.c_str());
  });
  if (!program.Simulated() && !program.Platform().Available()) {
    // The window still opens; it just never sees a device.
    std::fputs("quorvel: cannot list HID devices (udev is not available)\n", stderr);
  }

  // A screenshot run leaves the user's settings alone unless a file is named.
  const QString settingsFile =
      options.screenshot.isEmpty() || !qEnvironmentVariableIsEmpty("QUORVEL_SETTINGS")
          ? quorvel::ui::DefaultSettingsPath(QApplication::applicationDirPath())
          : QString();

  int result = 0;
  {
    quorvel::ui::WindowSession session(program.Platform(), settingsFile);
    program.PlugDevices();
    session.Start(options.remaining);
    if (!options.open.isEmpty()) session.Engine().OpenOnConnect(options.open);
    session.Window().show();

    if (!options.screenshot.isEmpty()) ScreenshotWhenSettled(app, session, options.screenshot, expectDevice, result);
    const int loop = QApplication::exec();
    if (result == 0) result = loop;
  }
  // A simulated run that wrote flash wrongly never ends as a success.
  if (result == 0 && program.Violations() > 0) result = 4;
  return result;
}
