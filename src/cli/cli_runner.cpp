#include "cli/cli_runner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <variant>

#include "app/pelmo.h"
#include "cli/hidraw_access.h"
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "hid/hid_platform.h"
#include "image/mcu_family.h"
#include "sim/sim_platform.h"

namespace quorvel::cli {

namespace {

// The controller's start-up scan runs on the first pass of the event loop;
// this only bounds a platform that never completes it.
constexpr int kStartupScanLimitMs = 5000;

QString Hex32(std::uint32_t value) { return QString::asprintf("0x%08X", static_cast<unsigned>(value)); }

QString FamilyName(std::uint8_t code) {
  const auto name = McuFamilyName(code);
  return name.empty() ? QStringLiteral("unknown")
                      : QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace

CliRunner::CliRunner(CliOptions options, CliFrontend& ui) : options_(std::move(options)), ui_(ui) {}

CliRunner::~CliRunner() { ShutDown(); }

void CliRunner::UsePlatform(std::unique_ptr<hid::HidPlatform> platform) { injected_ = std::move(platform); }

int CliRunner::Run() {
  const int code = RunCommand();
  ShutDown();
  if (!resultGiven_) {
    ui_.Result(code, code == ExitSuccess ? QStringLiteral("Success") : QStringLiteral("Error"), QString());
    resultGiven_ = true;
  }
  return code;
}

int CliRunner::Fail(int exitCode, const QString& text) {
  ui_.Error(text);
  ui_.Result(exitCode, QStringLiteral("Error"), text);
  resultGiven_ = true;
  return exitCode;
}

void CliRunner::RunEventsFor(int ms) {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (ms <= 0) return;
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

int CliRunner::RunCommand() {
  switch (options_.command) {
    case CliCommand::List:
      return List();
    case CliCommand::Info:
      return Info();
    case CliCommand::Upload:
      return Upload();
    case CliCommand::Image:
      return Image();
    case CliCommand::None:
      break;
  }
  return Fail(ExitUsage, QStringLiteral("no command given"));
}

// --- steps shared by the commands ---

int CliRunner::CheckHexFile() {
  const QString path = QString::fromStdString(options_.file);
  const QFileInfo info(path);
  if (!info.exists()) return Fail(ExitHexFile, QStringLiteral("HEX file '%1' does not exist.").arg(path));
  if (info.isDir()) return Fail(ExitHexFile, QStringLiteral("'%1' is a folder, not a HEX file.").arg(path));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    return Fail(ExitHexFile,
                QStringLiteral("HEX file '%1' cannot be read: %2").arg(path, file.errorString()));
  }
  return ExitSuccess;
}

int CliRunner::PrepareTrace() {
  if (options_.trace.empty()) return ExitSuccess;
  // Fail before touching any device rather than lose the trace at the end.
  QFile file(QString::fromStdString(options_.trace));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    return Fail(ExitUsage, QStringLiteral("cannot write the trace file '%1': %2")
                               .arg(QString::fromStdString(options_.trace), file.errorString()));
  }
  return ExitSuccess;
}

int CliRunner::StartEngine() {
  if (!options_.simulate.empty()) {
    std::vector<sim::SimProfile> profiles;
    for (const std::string& profile : options_.simulate) {
      auto parsed = sim::ParseSimSpec(profile);
      if (auto* error = std::get_if<sim::SimSpecError>(&parsed)) {
        return Fail(ExitUsage,
                    QStringLiteral("bad --simulate '%1': %2")
                        .arg(QString::fromStdString(profile), QString::fromStdString(error->message)));
      }
      profiles.push_back(std::get<sim::SimProfile>(parsed));
    }
    if (int rc = PrepareTrace(); rc != ExitSuccess) return rc;
    auto simPlatform = std::make_unique<sim::SimHidPlatform>();
    sim_ = simPlatform.get();
    platform_ = std::move(simPlatform);
    // Devices without plug-after are there from the start, like hardware
    // already attached; the others appear from the event loop.
    simIds_.assign(profiles.size(), -1);
    plugTimers_ = std::make_unique<QObject>();
    for (std::size_t i = 0; i < profiles.size(); ++i) {
      const sim::SimProfile profile = profiles[i];
      if (profile.plugAfterMs == 0) {
        simIds_[i] = sim_->PlugBootloader(profile);
      } else {
        QTimer::singleShot(static_cast<int>(std::min<std::uint32_t>(profile.plugAfterMs, 86400000u)),
                           plugTimers_.get(),
                           [this, i, profile] { simIds_[i] = sim_->PlugBootloader(profile); });
      }
    }
  } else {
    platform_ = injected_ ? std::move(injected_) : MakeSystemHidPlatform();
    if (!platform_ || !platform_->Available()) {
      return Fail(ExitNoBootloader,
                  QStringLiteral("USB HID devices cannot be listed on this system (is udev running?)."));
    }
  }

  pelmo_ = std::make_unique<TPelmo>(*platform_, ui_);
  ui_.Attach(pelmo_.get());
  if (options_.serial) pelmo_->PreferredSerial = QString::fromStdString(*options_.serial).toStdU16String();
  // No arguments: the command line here is ours, not the window's family keyword and file.
  pelmo_->Guarded([this] { pelmo_->FormCreate({}); });
  return ExitSuccess;
}

bool CliRunner::IsBootloader(hid::THidDevice* dev) const {
  return dev != nullptr && dev->ProductString() == std::u16string(u"USB HID Bootloader");
}

std::vector<hid::THidDevice*> CliRunner::Bootloaders() const {
  std::vector<hid::THidDevice*> found;
  for (const TDeviceEntry& entry : pelmo_->DeviceList) {
    if (IsBootloader(entry.Device)) found.push_back(entry.Device);
  }
  return found;
}

QString CliRunner::Label(hid::THidDevice* dev) const {
  for (const TDeviceEntry& entry : pelmo_->DeviceList) {
    if (entry.Device == dev) return QString::fromLocal8Bit(entry.Label.c_str());
  }
  return {};
}

// Waits for the start-up scan and, with --wait, for a bootloader that has
// answered Info. Returns ExitSuccess when one is open and chosen.
int CliRunner::WaitForBootloader(bool mustFind) {
  QElapsedTimer clock;
  clock.start();
  while (pelmo_->DeviceChangesHandled < 1 || pelmo_->BusyDepth != 0) {
    if (clock.elapsed() >= kStartupScanLimitMs) {
      return Fail(ExitNoBootloader, QStringLiteral("The HID device scan did not complete."));
    }
    RunEventsFor(2);
  }
  clock.restart();

  const std::u16string wantedSerial =
      options_.serial ? QString::fromStdString(*options_.serial).toStdU16String() : std::u16string();
  for (;;) {
    const auto bootloaders = Bootloaders();
    hid::THidDevice* active = pelmo_->ActiveDevice;
    const bool answered = active != nullptr && active->ReadWriteAccess();
    if (!options_.serial && bootloaders.size() > 1) break;  // waiting cannot settle this
    if (answered && (!options_.serial || active->SerialString() == wantedSerial)) break;
    if (clock.elapsed() >= options_.waitMs) break;
    RunEventsFor(std::min<qint64>(20, options_.waitMs - clock.elapsed()));
  }
  if (!mustFind) return ExitSuccess;

  const auto bootloaders = Bootloaders();
  hid::THidDevice* active = pelmo_->ActiveDevice;
  if (!options_.serial && bootloaders.size() > 1) {
    QString text = QStringLiteral("Several bootloaders are attached; choose one with --serial:");
    for (hid::THidDevice* dev : bootloaders) {
      const QString serial = QString::fromStdU16String(dev->SerialString());
      text += QStringLiteral("\n  %1").arg(serial.isEmpty() ? Label(dev) + QStringLiteral(" (no serial)")
                                                            : Label(dev));
    }
    return Fail(ExitNoBootloader, text);
  }
  if (options_.serial) {
    const bool present = std::any_of(bootloaders.begin(), bootloaders.end(),
                                     [&](hid::THidDevice* d) { return d->SerialString() == wantedSerial; });
    if (!present) {
      QString text = QStringLiteral("No bootloader with serial '%1' found.")
                         .arg(QString::fromStdString(*options_.serial));
      for (hid::THidDevice* dev : bootloaders) text += QStringLiteral("\n  attached: %1").arg(Label(dev));
      if (bootloaders.empty()) ExplainNoBootloader();
      return Fail(ExitNoBootloader, text);
    }
  }
  if (active != nullptr && !active->ReadWriteAccess()) {
    ui_.Notice(QString::fromUtf8(kUdevAdvice));
    return Fail(ExitNoBootloader,
                QStringLiteral("The bootloader '%1' was found but may not be opened for reading and writing "
                               "(permission denied).")
                    .arg(Label(active)));
  }
  if (active == nullptr) {
    if (bootloaders.empty()) {
      ExplainNoBootloader();
      return Fail(ExitNoBootloader, options_.waitMs > 0
                                        ? QStringLiteral("No bootloader appeared within the --wait time.")
                                        : QStringLiteral("No bootloader found."));
    }
    return Fail(ExitNoBootloader, QStringLiteral("The bootloader did not answer the information request."));
  }
  if (!IsKnownFamily(pelmo_->BootInfo.McuType)) {
    return Fail(ExitNoBootloader, QStringLiteral("The bootloader reports an unknown MCU family (code %1).")
                                      .arg(pelmo_->BootInfo.McuType));
  }
  ui_.Detail(QStringLiteral("Bootloader: %1, %2").arg(Label(active), FamilyName(pelmo_->BootInfo.McuType)));
  return ExitSuccess;
}

void CliRunner::ExplainNoBootloader() {
  if (sim_ != nullptr) return;
  const auto locked = FindLockedHidrawNodes();
  if (locked.empty()) {
    ui_.Notice(
        QStringLiteral("Is the device attached and in bootloader mode? Reset it to enter the bootloader."));
    return;
  }
  for (const LockedHidraw& node : locked) {
    ui_.Notice(QStringLiteral("%1%2 cannot be opened: permission denied.")
                   .arg(QString::fromStdString(node.node),
                        node.name.empty() ? QString()
                                          : QStringLiteral(" (%1)").arg(QString::fromStdString(node.name))));
  }
  ui_.Notice(QString::fromUtf8(kUdevAdvice));
}

// Loads the file for the device's family and geometry, as the window's
// Browse does once connected; a refused file ends the run before Boot.
int CliRunner::LoadHex() {
  const QString path = QString::fromStdString(options_.file);
  const int messagesBefore = ui_.MessagesShown;
  bool loaded = false;
  pelmo_->Guarded([&] { loaded = pelmo_->LoadHexFile(path); });
  if (!loaded || ui_.MessagesShown != messagesBefore) {
    const QString why = ui_.MessagesShown != messagesBefore ? OneLine(ui_.MessageTexts.back())
                                                            : QStringLiteral("it could not be loaded");
    return Fail(ExitHexFile, QStringLiteral("HEX file '%1' refused: %2").arg(path, why));
  }
  if (!pelmo_->HexLoaded || pelmo_->HexMcuType != pelmo_->BootInfo.McuType) {
    return Fail(ExitHexFile, QStringLiteral("HEX file '%1' could not be loaded for %2.")
                                 .arg(path, FamilyName(pelmo_->BootInfo.McuType)));
  }
  pelmo_->AppendHistory(QStringLiteral("Opened: ") + path);
  if (pelmo_->FlashImage.empty() && pelmo_->BootFlashImage.empty()) {
    const TBootInfo& info = pelmo_->BootInfo;
    return Fail(
        ExitHexFile,
        QStringLiteral("HEX file '%1' holds no data for this device (%2, program memory limit %3): "
                       "was it built for another MCU or address range?")
            .arg(path, FamilyName(info.McuType),
                 Hex32(HasNewGeometry(info) ? info.McuSize : static_cast<std::uint32_t>(info.BootStart))));
  }
  ui_.Detail(QStringLiteral("Image: %1 bytes of program memory, %2 bytes of boot flash")
                 .arg(pelmo_->FlashImage.size())
                 .arg(pelmo_->BootFlashImage.size()));
  return ExitSuccess;
}

// Ends the run as the window ends when it is closed: a device still connected
// is restarted, every device object is given back.
void CliRunner::ShutDown() {
  plugTimers_.reset();  // a bootloader not plugged yet stays away
  if (!pelmo_) return;
  pelmo_->Guarded([this] { pelmo_->FormClose(); });
  pelmo_->Guarded([this] { pelmo_->FormDestroy(); });
  RunEventsFor(0);
  WriteTrace();
  ui_.Attach(nullptr);
  pelmo_.reset();
  RunEventsFor(0);
}

void CliRunner::WriteTrace() {
  if (options_.trace.empty() || sim_ == nullptr || simIds_.empty() || simIds_.front() < 0) return;
  QSaveFile file(QString::fromStdString(options_.trace));
  sim_->WaitIdle(2000);  // the last frames (Reboot) may still be with the firmware
  const std::string text = sim_->TraceText(simIds_.front());
  if (!file.open(QIODevice::WriteOnly) ||
      file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
      !file.commit()) {
    ui_.Error(QStringLiteral("cannot write the trace file '%1': %2")
                  .arg(QString::fromStdString(options_.trace), file.errorString()));
  }
}

bool CliRunner::RequestStop() {
  if (!pelmo_ || !uploading_) return false;
  if (pelmo_->ButtonStartBootloader.Tag != 0) {
    ui_.Notice(QStringLiteral("Stopping after the current block..."));
    pelmo_->Guarded([this] { pelmo_->ButtonStartBootloaderClick(); });
  }
  return true;
}

// --- commands ---

void CliRunner::ListDevices() {
  int shown = 0;
  int locked = 0;
  for (const TDeviceEntry& entry : pelmo_->DeviceList) {
    const bool bootloader = IsBootloader(entry.Device);
    const QString label = QString::fromLocal8Bit(entry.Label.c_str());
    QString path;
    int vid = 0;
    int pid = 0;
    if (entry.Device != nullptr) {
      path = QString::fromStdString(entry.Device->PnPInfo().InterfacePath);
      vid = entry.Device->Attributes().VendorID;
      pid = entry.Device->Attributes().ProductID;
    }
    if (ui_.Config().json) {
      ui_.Emit(JsonObject()
                   .Add("event", "device")
                   .Add("label", Utf8(label))
                   .Add("bootloader", bootloader)
                   .Add("path", Utf8(path))
                   .Add("vid", vid)
                   .Add("pid", pid));
    } else if (ui_.Config().verbose) {
      ui_.Print(QStringLiteral("%1 %2  [%3 %4:%5]")
                    .arg(bootloader ? QStringLiteral("*") : QStringLiteral(" "), label, path)
                    .arg(vid, 4, 16, QLatin1Char('0'))
                    .arg(pid, 4, 16, QLatin1Char('0')));
    } else {
      ui_.Print((bootloader ? QStringLiteral("* ") : QStringLiteral("  ")) + label);
    }
    if (bootloader && entry.Device != nullptr && !entry.Device->ReadWriteAccess()) ++locked;
    ++shown;
  }
  if (shown == 0) ui_.Notice(QStringLiteral("No HID devices found."));
  if (Bootloaders().empty()) {
    ExplainNoBootloader();
  } else if (locked > 0) {
    // Listed, but an upload would be refused: say why before the user tries.
    ui_.Notice(QStringLiteral("%1 bootloader(s) may not be opened for reading and writing (permission denied).")
                   .arg(locked));
    ui_.Notice(QString::fromUtf8(kUdevAdvice));
  }
}

int CliRunner::List() {
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(false); rc != ExitSuccess) return rc;
  ListDevices();
  ui_.Result(ExitSuccess, QStringLiteral("Success"),
             QStringLiteral("%1 HID interface(s), %2 bootloader(s).")
                 .arg(pelmo_->DeviceList.size())
                 .arg(Bootloaders().size()));
  resultGiven_ = true;
  return ExitSuccess;
}

int CliRunner::Info() {
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(true); rc != ExitSuccess) return rc;
  const TBootInfo& info = pelmo_->BootInfo;
  const bool bottom = BootAtBottom(info);
  const QString description = QString::fromLatin1(info.DeviceDescription.c_str());
  if (ui_.Config().json) {
    ui_.Emit(
        JsonObject()
            .Add("event", "info")
            .Add("family", Utf8(FamilyName(info.McuType)))
            .Add("code", static_cast<int>(info.McuType))
            .Add("description", Utf8(description))
            .Add("revision", static_cast<int>(info.BootRevision))
            .Add("layout", bottom ? "bottom" : "top")
            // Addresses as the device's unsigned 32-bit values (PIC32 boot starts above 2^31).
            .Add("bootStart", static_cast<std::int64_t>(static_cast<std::uint32_t>(info.BootStart)))
            .Add("programStart", static_cast<std::int64_t>(static_cast<std::uint32_t>(info.ProgramStart)))
            .Add("size", static_cast<std::int64_t>(info.McuSize))
            .Add("eraseBlock", static_cast<int>(info.EraseBlock))
            .Add("writeBlock", static_cast<int>(info.WriteBlock)));
  } else {
    ui_.Print(QStringLiteral("Family:        %1 (%2)").arg(FamilyName(info.McuType)).arg(info.McuType));
    ui_.Print(QStringLiteral("Description:   %1").arg(description));
    ui_.Print(QStringLiteral("Revision:      0x%1").arg(info.BootRevision, 4, 16, QLatin1Char('0')));
    ui_.Print(
        QStringLiteral("Layout:        %1").arg(bottom ? QStringLiteral("bottom") : QStringLiteral("top")));
    ui_.Print(QStringLiteral("Boot start:    %1").arg(Hex32(static_cast<std::uint32_t>(info.BootStart))));
    ui_.Print(QStringLiteral("Program start: %1").arg(Hex32(static_cast<std::uint32_t>(info.ProgramStart))));
    ui_.Print(QStringLiteral("Size:          %1").arg(Hex32(info.McuSize)));
    ui_.Print(QStringLiteral("Erase block:   %1").arg(info.EraseBlock));
    ui_.Print(QStringLiteral("Write block:   %1").arg(info.WriteBlock));
  }
  ui_.Result(ExitSuccess, QStringLiteral("Success"),
             FamilyName(info.McuType) + QStringLiteral(" bootloader"));
  resultGiven_ = true;
  return ExitSuccess;
}

int CliRunner::Upload() {
  if (int rc = CheckHexFile(); rc != ExitSuccess) return rc;
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(true); rc != ExitSuccess) return rc;
  if (int rc = LoadHex(); rc != ExitSuccess) return rc;

  pelmo_->Guarded([this] { pelmo_->ButtonConnectClick(); });
  if (!pelmo_->Connected)
    return Fail(ExitDevice, QStringLiteral("The bootloader did not complete the handshake."));

  // The result texts name the file that was loaded, as after the window's dialog.
  pelmo_->LastHexFile = QString::fromStdString(options_.file);
  ui_.LastDialog.reset();
  const int declinedBefore = ui_.QuestionsDeclined;
  uploading_ = true;
  pelmo_->Guarded([this] { pelmo_->ButtonStartBootloaderClick(); });
  uploading_ = false;

  const auto& dialog = ui_.LastDialog;
  if (dialog && dialog->Title == QStringLiteral("Success") && !pelmo_->Connected) {
    ui_.Result(ExitSuccess, dialog->Title, dialog->Content);
    resultGiven_ = true;
    return ExitSuccess;
  }
  if (dialog && dialog->Title == QStringLiteral("Abort")) {
    // The window would now be closed while connected: ShutDown restarts the device.
    const QString why =
        ui_.QuestionsDeclined != declinedBefore
            ? QStringLiteral("Upload aborted: a question was answered No (give --yes to answer Yes).")
            : QStringLiteral("Upload aborted.");
    ui_.Error(why);
    ui_.Result(ExitAborted, dialog->Title, dialog->Content);
    resultGiven_ = true;
    return ExitAborted;
  }
  QString last;
  for (auto it = pelmo_->History.crbegin(); it != pelmo_->History.crend(); ++it) {
    if (it->startsWith(QStringLiteral("Error"))) {
      last = *it;
      break;
    }
  }
  return Fail(ExitDevice,
              last.isEmpty() ? QStringLiteral("Upload failed.") : QStringLiteral("Upload failed: ") + last);
}

int CliRunner::Image() {
  if (int rc = CheckHexFile(); rc != ExitSuccess) return rc;
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(true); rc != ExitSuccess) return rc;
  if (int rc = LoadHex(); rc != ExitSuccess) return rc;

  auto save = [this](const std::string& name, const TByteArray& bytes) -> bool {
    QSaveFile file(QString::fromStdString(name));
    const auto size = static_cast<qint64>(bytes.size());
    if (!file.open(QIODevice::WriteOnly) ||
        (size > 0 && file.write(reinterpret_cast<const char*>(bytes.data()), size) != size) ||
        !file.commit()) {
      Fail(ExitHexFile,
           QStringLiteral("cannot write '%1': %2").arg(QString::fromStdString(name), file.errorString()));
      return false;
    }
    ui_.Notice(QStringLiteral("Wrote %1 bytes to %2").arg(bytes.size()).arg(QString::fromStdString(name)));
    return true;
  };
  if (!save(options_.out, pelmo_->FlashImage)) return ExitHexFile;
  if (!options_.bootOut.empty() && !save(options_.bootOut, pelmo_->BootFlashImage)) return ExitHexFile;
  ui_.Result(ExitSuccess, QStringLiteral("Success"), QStringLiteral("Image written."));
  resultGiven_ = true;
  return ExitSuccess;
}

}  // namespace quorvel::cli
