// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::cli {
namespace {

using Args = std::vector<std::string>;

TEST(CliOptions, UploadTakesItsFileAndTheGlobalOptionsInAnyPosition) {
  const auto r = ParseCliArgs({"--simulate", "family=PIC18", "upload", "fw.hex", "--simulate=family=ARM",
                               "--trace", "t.txt", "--yes", "--serial=0001", "--wait", "2.5", "--json"});
  ASSERT_TRUE(r.ok()) << r.error;
  const CliOptions& o = r.options;
  EXPECT_EQ(o.command, CliCommand::Upload);
  EXPECT_EQ(o.file, "fw.hex");
  EXPECT_EQ(o.simulate, (Args{"family=PIC18", "family=ARM"}));
  EXPECT_EQ(o.trace, "t.txt");
  EXPECT_TRUE(o.yes);
  EXPECT_TRUE(o.json);
  ASSERT_TRUE(o.serial.has_value());
  EXPECT_EQ(*o.serial, "0001");
  EXPECT_EQ(o.waitMs, 2500);
}

TEST(CliOptions, ProductionOptions) {
  auto r = ParseCliArgs({"--repeat", "--count=3", "--log", "run.log", "upload", "fw.hex"});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_TRUE(r.options.repeat);
  EXPECT_EQ(r.options.count, 3);
  EXPECT_EQ(r.options.log, "run.log");

  r = ParseCliArgs({"--device", "/dev/hidraw3", "--serial", "7", "info"});
  ASSERT_TRUE(r.ok()) << r.error;
  ASSERT_TRUE(r.options.device.has_value());
  EXPECT_EQ(*r.options.device, "/dev/hidraw3");

  r = ParseCliArgs({"upload", "--all", "fw.hex"});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_TRUE(r.options.all);
  EXPECT_EQ(r.options.count, 0) << "no count: until interrupted";
}

TEST(CliOptions, ImageTakesOutAndOptionalBootOut) {
  auto r = ParseCliArgs({"image", "fw.hex", "--out", "flash.bin", "--boot-out", "boot.bin"});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.options.command, CliCommand::Image);
  EXPECT_EQ(r.options.out, "flash.bin");
  EXPECT_EQ(r.options.bootOut, "boot.bin");

  r = ParseCliArgs({"image", "fw.hex", "--out=flash.bin"});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_TRUE(r.options.bootOut.empty());
}

TEST(CliOptions, SkipBlankIsForUploadAndImage) {
  EXPECT_FALSE(ParseCliArgs({"upload", "fw.hex"}).options.skipBlank);
  EXPECT_TRUE(ParseCliArgs({"upload", "fw.hex", "--skip-blank"}).options.skipBlank);
  const auto image = ParseCliArgs({"--skip-blank", "image", "fw.hex", "--out", "f.bin"});
  ASSERT_TRUE(image.ok()) << image.error;
  EXPECT_TRUE(image.options.skipBlank);
}

TEST(CliOptions, FormatForcesHowTheFileIsRead) {
  EXPECT_FALSE(ParseCliArgs({"upload", "fw.hex"}).options.format.has_value());
  EXPECT_EQ(ParseCliArgs({"--format", "elf", "upload", "fw"}).options.format, FirmwareFormat::Elf);
  EXPECT_EQ(ParseCliArgs({"--format=hex", "image", "fw", "--out", "f.bin"}).options.format, FirmwareFormat::IntelHex);
  const auto bin = ParseCliArgs({"--format", "bin", "--base", "0x08000000", "upload", "fw.hex"});
  ASSERT_TRUE(bin.ok()) << bin.error;
  EXPECT_EQ(bin.options.format, FirmwareFormat::RawBinary);
}

TEST(CliOptions, DoubleDashLetsAFileNameStartWithADash) {
  const auto r = ParseCliArgs({"upload", "--", "-odd.hex"});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.options.file, "-odd.hex");
}

TEST(CliOptions, HelpAndVersionNeedNoCommand) {
  EXPECT_TRUE(ParseCliArgs({"--help"}).options.help);
  EXPECT_TRUE(ParseCliArgs({"-h", "nonsense"}).ok());
  EXPECT_TRUE(ParseCliArgs({"--version"}).options.version);
  EXPECT_EQ(CliVersionText(), "quorvel-cli 2.3.0.0");
}

struct BadLine {
  const char* name;
  Args args;
};

class CliOptionsRejects : public ::testing::TestWithParam<BadLine> {};

TEST_P(CliOptionsRejects, WithAMessage) {
  const auto r = ParseCliArgs(GetParam().args);
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    UsageErrors, CliOptionsRejects,
    ::testing::Values(
        BadLine{"NoCommand", {}}, BadLine{"OnlyOptions", {"--yes", "--json"}},
        BadLine{"UnknownCommand", {"flash", "x.hex"}}, BadLine{"UnknownOption", {"--force", "list"}},
        BadLine{"UploadWithoutFile", {"upload"}}, BadLine{"UploadWithTwoFiles", {"upload", "a.hex", "b.hex"}},
        BadLine{"ListWithFile", {"list", "a.hex"}}, BadLine{"EmptyFileName", {"upload", ""}},
        BadLine{"ImageWithoutOut", {"image", "a.hex"}},
        BadLine{"ImageWithEmptyOut", {"image", "a.hex", "--out="}},
        BadLine{"BootOutSameAsOut", {"image", "a.hex", "--out", "f.bin", "--boot-out", "f.bin"}},
        BadLine{"OutWithUpload", {"upload", "a.hex", "--out", "f.bin"}},
        BadLine{"OutWithList", {"list", "--out", "f.bin"}}, BadLine{"OutWithInfo", {"info", "--out", "f.bin"}},
        BadLine{"BaseWithInfo", {"--base", "0", "info"}},
        BadLine{"TraceWithoutSimulate", {"--trace", "t.txt", "info"}},
        BadLine{"ValueMissingAtEnd", {"info", "--serial"}}, BadLine{"FlagWithValue", {"--json=yes", "list"}},
        BadLine{"WaitNegative", {"--wait", "-1", "info"}},
        BadLine{"WaitNotANumber", {"--wait", "soon", "info"}},
        BadLine{"WaitExponent", {"--wait", "1e3", "info"}},
        BadLine{"WaitTooLong", {"--wait", "90000", "info"}},
        BadLine{"WaitTwoDots", {"--wait", "1.2.3", "info"}},
        BadLine{"QuietAndVerbose", {"-q", "-v", "list"}},
        BadLine{"SkipBlankWithInfo", {"--skip-blank", "info"}},
        BadLine{"SkipBlankWithValue", {"--skip-blank=yes", "upload", "a.hex"}},
        BadLine{"EmptyDevice", {"--device=", "info"}}, BadLine{"EmptyLog", {"--log", "", "info"}},
        BadLine{"AllWithoutUpload", {"--all", "info"}},
        BadLine{"RepeatWithImage", {"--repeat", "image", "a.hex", "--out", "f.bin"}},
        BadLine{"AllAndRepeat", {"--all", "--repeat", "upload", "a.hex"}},
        BadLine{"AllWithDevice", {"--all", "--device", "sim:1", "upload", "a.hex"}},
        BadLine{"AllWithSerial", {"--all", "--serial", "1", "upload", "a.hex"}},
        BadLine{"AllWithTrace", {"--all", "--simulate", "", "--trace", "t", "upload", "a.hex"}},
        BadLine{"DeviceOnlyWithoutDevice", {"--device-only", "upload", "a.hex"}},
        BadLine{"CountWithoutRepeat", {"--count", "2", "upload", "a.hex"}},
        BadLine{"CountZero", {"--repeat", "--count", "0", "upload", "a.hex"}},
        BadLine{"CountNotANumber", {"--repeat", "--count", "two", "upload", "a.hex"}},
        BadLine{"AllTakesNoValue", {"--all=yes", "upload", "a.hex"}},
        BadLine{"UnknownFormat", {"--format", "srec", "--base", "0", "upload", "a.srec"}},  // not taken for bin
        BadLine{"FormatWithInfo", {"--format", "hex", "info"}},
        BadLine{"BinWithoutBase", {"--format", "bin", "upload", "a.bin"}},
        BadLine{"BaseWithElfFormat", {"--format", "elf", "--base", "0", "upload", "a.elf"}}),
    [](const ::testing::TestParamInfo<BadLine>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace quorvel::cli
