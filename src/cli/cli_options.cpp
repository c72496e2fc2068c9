// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "cli/command.h"

namespace quorvel::cli {

namespace {

// The words --format takes, each with its format.
constexpr std::pair<std::string_view, FirmwareFormat> kFormatWords[] = {
    {"hex", FirmwareFormat::IntelHex}, {"elf", FirmwareFormat::Elf}, {"bin", FirmwareFormat::RawBinary}};

constexpr double kMaxWaitSeconds = 24.0 * 3600.0;

// Seconds as a decimal number ("3", "0.5"); no sign, no exponent tricks.
std::optional<int> ParseWaitSeconds(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds < 0 ||
      seconds > kMaxWaitSeconds) {
    return std::nullopt;
  }
  return static_cast<int>(std::lround(seconds * 1000.0));
}

// An address as 0x hex or decimal, below 4 GB.
std::optional<std::uint32_t> ParseAddress(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    return std::nullopt;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno != 0 || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<FirmwareFormat> ParseFormat(const std::string& text) {
  for (const auto& [word, format] : kFormatWords) {
    if (text == word) return format;
  }
  return std::nullopt;
}

// A positive whole number of boards.
std::optional<int> ParseCount(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int value = std::stoi(text);
  if (value < 1) return std::nullopt;
  return value;
}

// One option: its names, whether it takes a value, and what it does with it
// (the error, or empty).
struct OptionRow {
  std::string_view name;
  std::string_view shortName;  // empty: none
  bool takesValue;
  std::string (*apply)(CliOptions& o, const std::string& value, OptionsSeen& seen);
};

std::string NeedsFileName(const CliOptions&, const std::string& value, std::string_view option) {
  return value.empty() ? "option '" + std::string(option) + "' needs a file name" : std::string();
}

const OptionRow kOptions[] = {
    {"--help", "-h", false, [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.help = true; return {}; }},
    {"--version", "", false,
     [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.version = true; return {}; }},
    {"--quiet", "-q", false, [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.quiet = true; return {}; }},
    {"--verbose", "-v", false,
     [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.verbose = true; return {}; }},
    {"--yes", "", false, [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.yes = true; return {}; }},
    {"--skip-blank", "", false,
     [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.skipBlank = true; return {}; }},
    {"--json", "", false, [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.json = true; return {}; }},
    {"--simulate", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       o.simulate.push_back(value);
       return {};
     }},
    {"--trace", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       o.trace = value;
       return NeedsFileName(o, value, "--trace");
     }},
    {"--wait", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       const auto ms = ParseWaitSeconds(value);
       if (!ms) return "option '--wait' needs a number of seconds from 0 to 86400, not '" + value + "'";
       o.waitMs = *ms;
       return {};
     }},
    {"--serial", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       o.serial = value;
       return {};
     }},
    {"--base", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       o.base = ParseAddress(value);
       if (!o.base) return "option '--base' needs an address below 4 GB (0x hex or decimal), not '" + value + "'";
       return {};
     }},
    {"--format", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       o.format = ParseFormat(value);
       if (!o.format) return "option '--format' needs hex, elf or bin, not '" + value + "'";
       return {};
     }},
    {"--device", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       if (value.empty()) return "option '--device' needs a path (see 'list')";
       o.device = value;
       return {};
     }},
    {"--device-only", "", false,
     [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.deviceOnly = true; return {}; }},
    {"--log", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen&) -> std::string {
       o.log = value;
       return NeedsFileName(o, value, "--log");
     }},
    {"--all", "", false, [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.all = true; return {}; }},
    {"--repeat", "", false,
     [](CliOptions& o, const std::string&, OptionsSeen&) -> std::string { o.repeat = true; return {}; }},
    {"--count", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen& seen) -> std::string {
       const auto count = ParseCount(value);
       if (!count) return "option '--count' needs a number of boards from 1, not '" + value + "'";
       o.count = *count;
       seen.count = true;
       return {};
     }},
    {"--out", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen& seen) -> std::string {
       o.out = value;
       seen.out = true;
       return {};
     }},
    {"--boot-out", "", true,
     [](CliOptions& o, const std::string& value, OptionsSeen& seen) -> std::string {
       o.bootOut = value;
       seen.bootOut = true;
       return {};
     }},
};

const OptionRow* FindOption(const std::string& name) {
  for (const OptionRow& row : kOptions) {
    if (name == row.name || (!row.shortName.empty() && name == row.shortName)) return &row;
  }
  return nullptr;
}

// Applies the options in `args` in order and collects the other arguments;
// the first error ends it.
std::string ReadOptions(const std::vector<std::string>& args, CliOptions& o, OptionsSeen& seen,
                        std::vector<std::string>& positional) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name=value" and "--name value" are both accepted for valued options.
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      const auto eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        inlineValue = arg.substr(eq + 1);
      }
    }
    const OptionRow* row = FindOption(name);
    if (row == nullptr) return "unknown option '" + arg + "'";
    std::string value;
    if (!row->takesValue) {
      if (inlineValue) return "option '" + name + "' takes no value";
    } else if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return "option '" + name + "' needs a value";
    }
    if (std::string error = row->apply(o, value, seen); !error.empty()) return error;
  }
  return {};
}

// The command and its firmware file.
std::string ReadCommand(const std::vector<std::string>& positional, CliOptions& o) {
  if (positional.empty()) return "no command given";
  const CommandDeclaration* command = nullptr;
  for (const CommandDeclaration* c : CommandDeclarations()) {
    if (c->name == positional[0]) {
      command = c;
      break;
    }
  }
  if (command == nullptr) return "unknown command '" + positional[0] + "'";
  o.command = command->command;
  const std::size_t wanted = command->takesFile ? 2 : 1;
  if (positional.size() < wanted) return "'" + positional[0] + "' needs a firmware file";
  if (positional.size() > wanted) return "unexpected argument '" + positional[wanted] + "'";
  if (command->takesFile) o.file = positional[1];
  if (command->takesFile && o.file.empty()) return "the firmware file name is empty";
  return {};
}

}  // namespace

CliParseResult ParseCliArgs(const std::vector<std::string>& args) {
  CliParseResult result;
  CliOptions& o = result.options;
  OptionsSeen seen;
  std::vector<std::string> positional;
  result.error = ReadOptions(args, o, seen, positional);
  if (!result.ok()) return result;
  if (o.help || o.version) return result;  // nothing else matters then
  result.error = ReadCommand(positional, o);
  // Which options go with the command, and how, is the command's own declaration.
  if (result.ok()) result.error = CheckCommandOptions(*DeclarationOf(o), o, seen);
  return result;
}

const char* CliHelpText() {
  return R"(Usage: quorvel-cli [OPTIONS] list
  or:  quorvel-cli [OPTIONS] info
  or:  quorvel-cli [OPTIONS] upload [--all | --repeat [--count N]] FILE
  or:  quorvel-cli [OPTIONS] image FILE --out FLASH.bin [--boot-out BOOT.bin]

Uploads microcontroller firmware through a USB HID bootloader.

Commands:
  list             list every HID interface with its path, VID:PID and name;
                   bootloaders are marked with '*', "busy" when another
                   program uses one
  info             show the bootloader's information record
  upload FILE      load FILE for the device, connect, erase, write, restart
  image FILE       load FILE for the device and write the flash image(s)
                   to files; nothing is erased or written on the device

FILE is Intel HEX, or an ELF program linked for the board (its allocated
sections at their load addresses, as objcopy reads it), or with --base a raw
binary; '-' reads it from standard input. Data of FILE that the device does
not keep is counted on standard error; it is never written.

Options:
  --simulate KEYS  use a simulated bootloader instead of USB HID devices; give
                   it more than once for several. KEYS is key=value[,...] with
                   keys family, revision, boot-start, program-start, size,
                   erase, write, description, product, serial, vid, pid, pace,
                   answer-ms, erase-ms, late, drop, nak, unplug, stall, skip,
                   plug-after (e.g. family=STM32F4XX)
  --trace FILE     with --simulate: write the (first) simulated device's trace
  --wait SECONDS   wait up to SECONDS for a bootloader to appear (default 0)
  --device PATH    choose the bootloader at PATH as 'list' shows it
                   (/dev/hidrawN; sim:N is the N-th --simulate device)
  --serial S       choose the bootloader with serial S when several are attached
  --all            upload: flash every attached bootloader at once, one result
                   line per board and a summary
  --repeat         upload: flash board after board; after each, wait for the
                   next bootloader to arrive; Ctrl-C between boards ends it
  --count N        with --repeat: stop after N boards
  --log FILE       append timestamped history, errors, the board's identity
                   and the result to FILE (also with --quiet)
  --yes            answer Yes to questions (without it they are answered No)
  --base ADDR      FILE is a raw binary to load at ADDR (0x hex or decimal)
  --format FMT     read FILE as hex, elf or bin (bin needs --base) whatever
                   its contents look like
  --skip-blank     upload, image: after the usual erase, write only the write
                   blocks that differ from erased flash (the result's SHA-256
                   stays that of the whole image; only the byte count drops)
  --out FILE       image: file for the program flash image
  --boot-out FILE  image: file for the boot flash image (PIC32; may be empty)
  --json           print one JSON object per line instead of plain text
  -q, --quiet      print only errors and the final result
  -v, --verbose    print more detail (device choice, dialog details)
  -h, --help       show this help and exit
  --version        show the version and exit

A successful upload ends with "Wrote N bytes, program SHA-256 HEX[, boot
SHA-256 HEX]" on standard error, also with -q; with --all and --repeat each
board's line ends with it. 'image' prints "An upload writes N bytes, ..."
for the same device, file and options, so the two can be compared. With
--json the result event carries "bytes", "sha256" and "boot_sha256" (with
--all and --repeat each board's).

Exit codes:
  0  success (--all, --repeat: every board succeeded)
  1  usage error; also outputs that are FILE or each other, or that are
     not regular files (nothing is done then)
  2  no bootloader found, it does not answer, another program is using it,
     or several and no --device or --serial (also two with that serial)
  3  FILE missing, unreadable or refused
  4  device error during connect or upload, or unsafe device geometry (with
     --simulate also: the simulated bootloader saw flash written wrongly)
  5  aborted: a question answered No, or Ctrl-C, SIGTERM or SIGHUP (a
     running upload stops after its current block; the device is restarted)
  6  an output could not be written (--out, --boot-out, --trace, --log or
     standard output); existing files are left as they were
  With --all the first of 4, 2, 3, 5, 6, 1 that any board ended with.
)";
}

QString FormatOptionWord(FirmwareFormat format) {
  for (const auto& [word, known] : kFormatWords) {
    if (known == format) return QString::fromLatin1(word.data(), static_cast<qsizetype>(word.size()));
  }
  return QStringLiteral("hex");
}

std::string CliVersionText() { return std::string("quorvel-cli ") + QUORVEL_VERSION_STRING; }

}  // namespace quorvel::cli
