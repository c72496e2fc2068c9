// SPDX-License-Identifier: Apache-2.0
#pragma once
// GoogleTest fixture: the engine on a simulated HID platform with a
// recording front end; tests drive it through its API and reach its parts
// through EngineProbe. The engine is created and its start-up scan has run
// when a test body starts; simulated bootloaders are plugged with
// PlugBootloader and are then open (information exchanged) when it returns.
// When a test ends, none of them may have seen a protocol violation (flash
// written wrongly), whatever else the test checks.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/engine_probe.h"
#include "sim/sim_platform.h"
#include "support/event_loop.h"
#include "support/recording_frontend.h"

namespace quorvel::test {

class EngineFixture : public ::testing::Test {
 protected:
  sim::SimHidPlatform platform;
  hid::HidPlatform* enginePlatform = nullptr;  // what the engine talks through; `platform` when null
  RecordingFrontend ui;
  std::unique_ptr<Engine> engine;
  std::unique_ptr<QObject> context;  // timers a test posts go with the engine
  QTemporaryDir tempDir;

  // Set by tests that send a simulated bootloader something wrong on purpose.
  bool violationsExpected = false;

  void SetUp() override { StartEngine({}); }
  void TearDown() override {
    // The engine goes first: a device left inside a Write when its last
    // handle closes reports that too.
    StopEngine();
    RunEventsFor(0);
    platform.WaitIdle(2000);
    // Whatever a test checks, the flash must never have been written wrongly.
    for (int id : bootloaders_) {
      if (!violationsExpected) {
        EXPECT_EQ(platform.Violations(id), std::vector<std::string>{}) << "bootloader " << id;
      }
    }
  }

  // (Re)creates the engine, runs FormCreate with `args` (the arguments after the
  // program name) and lets the controller's start-up scan complete.
  void StartEngine(const QStringList& args) {
    StopEngine();
    engine = std::make_unique<Engine>(enginePlatform != nullptr ? *enginePlatform : platform, ui);
    context = std::make_unique<QObject>();
    engine->Start(args);
    EXPECT_TRUE(RunUntil([&] { return Handled() >= 1 && !LinkPart().Busy(); }, 3000))
        << "start-up scan did not complete";
  }
  void StopEngine() {
    context.reset();
    engine.reset();
  }

  // --- the engine's parts, through its test seam ---
  EngineProbe Probe() const { return EngineProbe(*engine); }
  Link& LinkPart() const { return Probe().LinkPart(); }
  UploadRun& RunPart() const { return Probe().RunPart(); }
  ControlsModel& ControlsPart() const { return Probe().ControlsPart(); }
  const ControlsState& Controls() const { return engine->Controls(); }
  const UploadOutcome& LastUpload() const { return RunPart().LastOutcome(); }
  int Handled() const { return LinkPart().DeviceChangesHandled(); }
  bool Connected() const { return LinkPart().IsConnected(); }
  bool Busy() const { return LinkPart().Busy(); }
  // Loads a file as quorvel-cli does (any format).
  HexLoadOutcome LoadFile(const QString& path) {
    FirmwareInput input;
    input.path = path.toStdString();
    return engine->Load(input);
  }

  static void RunEventsFor(int ms) { test::RunEventsFor(ms); }
  static bool RunUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    return test::RunUntil(done, timeoutMs);
  }

  static sim::SimProfile Profile(std::string_view profileText) {
    auto parsed = sim::ParseSimProfile(profileText);
    if (auto* error = std::get_if<sim::SimProfileError>(&parsed)) {
      ADD_FAILURE() << "bad simulator profileText '" << profileText << "': " << error->message;
      return {};
    }
    return std::get<sim::SimProfile>(parsed);
  }

  // Plugs a simulated bootloader and waits until the engine has handled the
  // resulting device change (so the information exchange is over).
  int PlugBootloader(const sim::SimProfile& profile) {
    const int before = Handled();
    const int id = platform.PlugBootloader(profile);
    bootloaders_.push_back(id);
    EXPECT_TRUE(WaitForDeviceChange(before)) << "device change after plugging was not handled";
    return id;
  }
  int PlugBootloader(std::string_view profileText = "family=PIC18") { return PlugBootloader(Profile(profileText)); }

  int PlugGeneric(const sim::GenericHidDescription& profileText) {
    const int before = Handled();
    const int id = platform.PlugGeneric(profileText);
    EXPECT_TRUE(WaitForDeviceChange(before)) << "device change after plugging was not handled";
    return id;
  }

  void Unplug(int id) {
    const int before = Handled();
    platform.Unplug(id);
    EXPECT_TRUE(WaitForDeviceChange(before)) << "device change after unplugging was not handled";
  }

  bool WaitForDeviceChange(int handledBefore, int timeoutMs = 3000) {
    return RunUntil([&] { return Handled() > handledBefore && !Busy(); }, timeoutMs);
  }

  // Connects; the call returns when the handshake has ended.
  bool Connect() {
    engine->Connect();
    return Connected();
  }

  // Trace lines of a simulated bootloader ("INFO", "BOOT", "SYNC", ...).
  // Waits for the firmware to finish the frames written so far.
  std::vector<std::string> Trace(int id) const {
    std::vector<std::string> lines;
    platform.WaitIdle(2000);
    const std::string text = platform.TraceText(id);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }

  // Writes a file into the test's temporary folder and returns its path.
  QString TempFile(const QString& name, const QByteArray& content) {
    const QString path = tempDir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    return path;
  }

 private:
  std::vector<int> bootloaders_;  // plugged through PlugBootloader
};

}  // namespace quorvel::test
