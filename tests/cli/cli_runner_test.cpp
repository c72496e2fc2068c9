// SPDX-License-Identifier: Apache-2.0
// The runner in-process on simulated devices the --simulate options cannot
// describe: interfaces without access, plain HID devices.
#include "cli/engine_commands.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "capture_streams.h"
#include "cli/one_board_platform.h"
#include "sim/sim_platform.h"
#include "sim/sim_profile.h"
#include "support/event_loop.h"

namespace quorvel::cli {
namespace {

struct RunResult {
  int exitCode;
  std::string out;
  std::string err;
};

RunResult RunWith(std::unique_ptr<sim::SimHidPlatform> platform, CliOptions options) {
  Streams s;
  CliOutputConfig config;
  config.json = options.json;
  CliFrontend ui(config, s.out(), s.err());
  const std::unique_ptr<CliRunner> runner = MakeEngineCommand(options, ui);
  runner->UsePlatform(std::move(platform));
  const int code = runner->Run();
  return {code, s.Out(), s.Err()};
}

CliOptions Command(CliCommand command) {
  CliOptions options;
  options.command = command;
  return options;
}

TEST(CliRunner, BootloaderWithoutReadWriteAccessPointsToTheUdevRule) {
  // info refuses the device; list shows it but warns before an upload is tried.
  for (const auto& [command, exitCode] : {std::pair{CliCommand::Info, 2}, std::pair{CliCommand::List, 0}}) {
    auto platform = std::make_unique<sim::SimHidPlatform>();
    sim::GenericHidDescription profileText;
    profileText.product = u"USB HID Bootloader";
    profileText.queryOnly = true;
    platform->PlugGeneric(profileText);

    const RunResult r = RunWith(std::move(platform), Command(command));
    EXPECT_EQ(r.exitCode, exitCode) << r.err;
    EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("60-quorvel-bootloader.rules"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("sudo udevadm control --reload-rules && sudo udevadm trigger"), std::string::npos)
        << r.err;
  }
}

TEST(CliRunner, BootloaderInUseByAnotherProgramIsNeitherAskedNorUsed) {
  // info refuses it with exit 2; list shows it as busy.
  for (const auto& [command, exitCode] : {std::pair{CliCommand::Info, 2}, std::pair{CliCommand::List, 0}}) {
    auto platform = std::make_unique<sim::SimHidPlatform>();
    sim::SimProfile profile;
    profile.serial = "A";
    const int id = platform->PlugBootloader(profile);
    platform->SetLockedElsewhere(id, true);

    const RunResult r = RunWith(std::move(platform), Command(command));
    EXPECT_EQ(r.exitCode, exitCode) << r.err;  // an answered information request would make info succeed
    if (command == CliCommand::Info) {
      EXPECT_NE(r.err.find("'USB HID Bootloader (Serial=A)' is in use by another program"), std::string::npos)
          << r.err;
    } else {
      EXPECT_NE(r.out.find("* sim:1  04d8:003c  USB HID Bootloader (Serial=A)  busy"), std::string::npos) << r.out;
    }
  }
}

TEST(CliRunner, CompositeDeviceIsOneBootloader) {
  // Its keyboard interface carries the bootloader's product string and serial too.
  auto platform = [] {
    auto p = std::make_unique<sim::SimHidPlatform>();
    sim::GenericHidDescription keys;
    keys.product = u"USB HID Bootloader";
    keys.serial = u"C1";
    keys.inputLength = 9;
    keys.outputLength = 2;
    p->PlugGeneric(keys);
    sim::SimProfile profile;
    profile.serial = "C1";
    p->PlugBootloader(profile);
    return p;
  };
  EXPECT_EQ(RunWith(platform(), Command(CliCommand::Info)).exitCode, 0);
  const RunResult list = RunWith(platform(), Command(CliCommand::List));
  EXPECT_EQ(list.out, "  sim:1  1234:5678  USB HID Bootloader (Serial=C1)\n* sim:2  04d8:003c  USB HID Bootloader (Serial=C1)\n");
}

TEST(CliRunner, ListLabelsDevicesAsTheEngineDoes) {
  auto platform = std::make_unique<sim::SimHidPlatform>();
  sim::GenericHidDescription nameless;
  nameless.product.clear();
  nameless.vendorId = 0x00A5;
  nameless.productId = 0xBEEF;
  platform->PlugGeneric(nameless);
  sim::GenericHidDescription keyboard;
  keyboard.product = u"Keyboard";
  keyboard.serial = u"K1";
  platform->PlugGeneric(keyboard);

  const RunResult plain = RunWith(std::move(platform), Command(CliCommand::List));
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_EQ(plain.out, "  sim:1  00a5:beef  Device VID=00A5 PID=BEEF\n  sim:2  1234:5678  Keyboard (Serial=K1)\n");
}

TEST(CliRunner, ListInJsonGivesOneDeviceEventEachAndAResult) {
  auto platform = std::make_unique<sim::SimHidPlatform>();
  sim::GenericHidDescription keyboard;
  keyboard.product = u"Keyboard";
  platform->PlugGeneric(keyboard);
  sim::SimProfile bootloader;
  ASSERT_TRUE(sim::DefaultProfile(2, bootloader));
  platform->PlugBootloader(bootloader);

  CliOptions options = Command(CliCommand::List);
  options.json = true;
  const RunResult r = RunWith(std::move(platform), options);
  EXPECT_EQ(r.exitCode, 0);
  std::vector<QJsonObject> events;
  for (const QByteArray& line : QByteArray::fromStdString(r.out).split('\n')) {
    if (!line.isEmpty()) events.push_back(QJsonDocument::fromJson(line).object());
  }
  ASSERT_EQ(events.size(), 3u) << r.out;
  EXPECT_EQ(events[0].value("label").toString(), "Keyboard");
  EXPECT_FALSE(events[0].value("bootloader").toBool());
  EXPECT_EQ(events[1].value("label").toString(), "USB HID Bootloader");
  EXPECT_TRUE(events[1].value("bootloader").toBool());
  EXPECT_EQ(events[2].value("event").toString(), "result");
}

TEST(CliRunner, HexFileNameThatIsNotUtf8IsRefusedForWhatItIs) {
  QTemporaryDir dir;
  CliOptions options = Command(CliCommand::Upload);
  options.file = QFile::encodeName(dir.path()).toStdString() + "/x\xE9.hex";
  std::FILE* file = std::fopen(options.file.c_str(), "w");  // it exists: "does not exist" would be wrong
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  const RunResult r = RunWith(std::make_unique<sim::SimHidPlatform>(), options);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("x\\xE9.hex' is not valid UTF-8"), std::string::npos) << r.err;
}

// A child of upload --all: the other boards are neither listed nor opened, and
// their coming and going is no news; its own board's is.
TEST(OneBoardPlatform, ShowsOnlyItsBoardAndPassesOnOnlyItsOwnChanges) {
  sim::SimHidPlatform sim;
  const auto profile = std::get<sim::SimProfile>(sim::ParseSimProfile("family=PIC18"));
  const int other = sim.PlugBootloader(profile);
  const int own = sim.PlugBootloader(profile);
  OneBoardPlatform one(sim, "sim:" + std::to_string(own));
  int changes = 0;
  one.SetChangeHandler([&changes] { ++changes; });

  const auto listed = one.Scan();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].InterfacePath, "sim:" + std::to_string(own));
  for (const hid::THidPnPInfo& info : sim.Scan()) {
    if (info.InterfacePath == listed[0].InterfacePath) continue;
    std::uint32_t error = 0;
    EXPECT_EQ(one.Open(info), nullptr);
    EXPECT_EQ(one.OpenReader(info, error), nullptr);
    EXPECT_EQ(one.Lock(info, error), nullptr);
  }
  EXPECT_EQ(sim.OpenCount(other), 0u);

  sim.Unplug(other);
  sim.PlugBootloader(profile);
  ASSERT_TRUE(test::RunUntil([&one] { return one.ChangesSeen() >= 1; }));
  test::RunEventsFor(50);
  EXPECT_EQ(changes, 0) << "another board came and went";

  sim.Unplug(own);
  EXPECT_TRUE(test::RunUntil([&changes] { return changes == 1; })) << "its own board went";
  EXPECT_TRUE(one.Scan().empty());
}

}  // namespace
}  // namespace quorvel::cli
