#pragma once
// CliRunner: carries out one quorvel-cli command on the engine (TPelmo) the
// window uses, on the machine's HID devices or on simulated bootloaders.
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

#include "cli/cli_frontend.h"
#include "cli/cli_options.h"

namespace quorvel {
class TPelmo;
namespace hid {
class HidPlatform;
class THidDevice;
}  // namespace hid
namespace sim {
class SimHidPlatform;
}
}  // namespace quorvel

namespace quorvel::cli {

class CliRunner {
 public:
  CliRunner(CliOptions options, CliFrontend& ui);
  ~CliRunner();
  CliRunner(const CliRunner&) = delete;
  CliRunner& operator=(const CliRunner&) = delete;

  // Runs the command and returns the exit code. Needs a QCoreApplication.
  int Run();

  // Runs on `platform` instead of the machine's HID devices when no
  // --simulate is given (tests: devices the simulator options cannot describe).
  void UsePlatform(std::unique_ptr<hid::HidPlatform> platform);

  // Asks a running upload to stop, as the window's "Stop uploading" does
  // (used for Ctrl-C). False when no upload runs.
  bool RequestStop();

 private:
  int RunCommand();
  int List();
  int Info();
  int Upload();
  int Image();

  int CheckHexFile();
  int PrepareTrace();
  int StartEngine();
  int WaitForBootloader(bool mustFind);
  int LoadHex();
  void ShutDown();
  void WriteTrace();

  std::vector<hid::THidDevice*> Bootloaders() const;
  bool IsBootloader(hid::THidDevice* dev) const;
  QString Label(hid::THidDevice* dev) const;
  void ExplainNoBootloader();
  void ListDevices();

  int Fail(int exitCode, const QString& text);
  void RunEventsFor(int ms);

  CliOptions options_;
  CliFrontend& ui_;
  std::unique_ptr<hid::HidPlatform> platform_;
  std::unique_ptr<hid::HidPlatform> injected_;
  sim::SimHidPlatform* sim_ = nullptr;   // platform_ when simulating
  std::vector<int> simIds_;              // handles of the simulated bootloaders, in --simulate order
  std::unique_ptr<QObject> plugTimers_;  // context of the plug-after timers
  std::unique_ptr<TPelmo> pelmo_;
  bool resultGiven_ = false;
  bool uploading_ = false;
};

// The machine's HID platform (hidraw + libudev), or nullptr when this build has none.
std::unique_ptr<hid::HidPlatform> MakeSystemHidPlatform();

}  // namespace quorvel::cli
