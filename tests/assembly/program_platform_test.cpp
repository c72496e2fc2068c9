// SPDX-License-Identifier: Apache-2.0
// The platform both programs assemble: --simulate parsing, the simulated
// bootloaders plugged at once or later, and the machine's platform otherwise.
#include "assembly/program_platform.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hid/hid_platform.h"
#include "sim/sim_platform.h"
#include "support/event_loop.h"

namespace quorvel::assembly {
namespace {

using test::RunEventsFor;
using test::RunUntil;

std::vector<sim::SimProfile> Profiles(const std::vector<std::string>& profileTexts) {
  std::vector<sim::SimProfile> profiles;
  SimulateError error;
  EXPECT_TRUE(ParseSimulateProfiles(profileTexts, profiles, error)) << error.message;
  return profiles;
}

TEST(SimulateSpecs, KeepTheirOrderAndTheFirstBadOneIsNamed) {
  std::vector<sim::SimProfile> profiles;
  SimulateError error;
  ASSERT_TRUE(ParseSimulateProfiles({"family=2", "family=ARM,serial=B"}, profiles, error));
  ASSERT_EQ(profiles.size(), 2u);
  EXPECT_EQ(profiles[0].family, 2);
  EXPECT_EQ(profiles[1].family, 30);
  EXPECT_EQ(profiles[1].serial, "B");

  EXPECT_FALSE(ParseSimulateProfiles({"family=2", "family=99", "bogus=1"}, profiles, error));
  EXPECT_EQ(error.profileText, "family=99");
  EXPECT_FALSE(error.message.empty());
}

TEST(ProgramPlatform, PlugsAtOnceOrAfterTheirDelay) {
  ProgramPlatform program(Profiles({"family=37", "family=2,plug-after=30"}), nullptr);
  ASSERT_TRUE(program.Simulated());
  EXPECT_EQ(program.SimId(0), -1) << "nothing is plugged before it is asked for";

  program.PlugDevices();
  EXPECT_GE(program.SimId(0), 0);
  EXPECT_TRUE(program.Sim()->IsPlugged(program.SimId(0)));
  EXPECT_EQ(program.SimId(1), -1) << "the late one comes from the event loop";
  EXPECT_TRUE(RunUntil([&] { return program.SimId(1) >= 0; }, 2000));
  EXPECT_NE(program.SimId(1), program.SimId(0));
  EXPECT_EQ(program.SimId(2), -1);
}

TEST(ProgramPlatform, CancelledPlugsStayAway) {
  ProgramPlatform program(Profiles({"family=37,plug-after=20"}), nullptr);
  program.PlugDevices();
  program.CancelPendingPlugs();
  RunEventsFor(80);
  EXPECT_EQ(program.SimId(0), -1);
}

TEST(ProgramPlatform, WithoutProfilesTakesTheGivenSystemPlatform) {
  sim::SimHidPlatform* given = nullptr;
  auto system = std::make_unique<sim::SimHidPlatform>();
  given = system.get();
  ProgramPlatform program({}, nullptr, std::move(system));
  EXPECT_FALSE(program.Simulated());
  EXPECT_EQ(&program.Platform(), given);
  program.PlugDevices();  // nothing to plug on a real platform
  EXPECT_EQ(program.SimId(0), -1);
}

}  // namespace
}  // namespace quorvel::assembly
