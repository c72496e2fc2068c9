// SPDX-License-Identifier: Apache-2.0
#pragma once
// Command line of quorvel-cli: what the user asked for, checked for shape
// only. Whether a simulated profile or a file makes sense is decided later.
#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/firmware_file.h"

namespace quorvel::cli {

enum class CliCommand { None, List, Info, Upload, Image };

// Exit codes; scripts rely on the numbers.
enum ExitCode : int {
  ExitSuccess = 0,
  ExitUsage = 1,
  ExitNoBootloader = 2,
  ExitHexFile = 3,
  ExitDevice = 4,
  ExitAborted = 5,
  ExitOutput = 6,
};

struct CliOptions {
  CliCommand command = CliCommand::None;
  std::string file;                   // upload, image; "-" is standard input
  std::optional<std::uint32_t> base;  // upload, image: --base, the file is a raw binary at this address
  std::optional<FirmwareFormat> format;  // upload, image: --format, instead of telling it from the file
  std::string out;                    // image: --out
  std::string bootOut;                // image: --boot-out (empty: not written)
  std::vector<std::string> simulate;
  std::string trace;
  int waitMs = 0;
  std::optional<std::string> serial;
  std::optional<std::string> device;  // --device: a path as `list` shows it
  // --device-only: look at the --device board alone (what `upload --all`
  // starts its children with; not in --help).
  bool deviceOnly = false;
  std::string log;                    // --log: history appended here
  bool all = false;                   // upload --all
  bool repeat = false;                // upload --repeat
  int count = 0;                      // --repeat --count; 0: until interrupted
  bool yes = false;
  bool skipBlank = false;  // upload, image: write only blocks that differ from erased flash
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  bool help = false;
  bool version = false;
};

struct CliParseResult {
  CliOptions options;
  std::string error;  // empty when the command line is usable
  bool ok() const { return error.empty(); }
};

// args: the arguments after the program name.
CliParseResult ParseCliArgs(const std::vector<std::string>& args);

// The text of -h/--help.
const char* CliHelpText();
// "quorvel-cli 2.3.0.0"
std::string CliVersionText();

// The word --format takes for `format` (Intel HEX for one it has no word for).
QString FormatOptionWord(FirmwareFormat format);

}  // namespace quorvel::cli
