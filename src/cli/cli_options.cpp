// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace quorvel::cli {

namespace {

constexpr double kMaxWaitSeconds = 24.0 * 3600.0;

std::optional<CliCommand> CommandByName(const std::string& name) {
  if (name == "list") return CliCommand::List;
  if (name == "info") return CliCommand::Info;
  if (name == "upload") return CliCommand::Upload;
  if (name == "image") return CliCommand::Image;
  return std::nullopt;
}

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
  if (text == "hex") return FirmwareFormat::IntelHex;
  if (text == "elf") return FirmwareFormat::Elf;
  if (text == "bin") return FirmwareFormat::RawBinary;
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

}  // namespace

CliParseResult ParseCliArgs(const std::vector<std::string>& args) {
  CliParseResult result;
  CliOptions& o = result.options;
  std::vector<std::string> positional;
  bool outSeen = false;
  bool bootOutSeen = false;
  bool countSeen = false;
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
    auto takeValue = [&](std::string& value) -> bool {
      if (inlineValue) {
        value = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) {
        result.error = "option '" + name + "' needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto noValue = [&]() -> bool {
      if (inlineValue) {
        result.error = "option '" + name + "' takes no value";
        return false;
      }
      return true;
    };

    std::string value;
    if (name == "-h" || name == "--help") {
      if (!noValue()) return result;
      o.help = true;
    } else if (name == "--version") {
      if (!noValue()) return result;
      o.version = true;
    } else if (name == "-q" || name == "--quiet") {
      if (!noValue()) return result;
      o.quiet = true;
    } else if (name == "-v" || name == "--verbose") {
      if (!noValue()) return result;
      o.verbose = true;
    } else if (name == "--yes") {
      if (!noValue()) return result;
      o.yes = true;
    } else if (name == "--skip-blank") {
      if (!noValue()) return result;
      o.skipBlank = true;
    } else if (name == "--json") {
      if (!noValue()) return result;
      o.json = true;
    } else if (name == "--simulate") {
      if (!takeValue(value)) return result;
      o.simulate.push_back(value);
    } else if (name == "--trace") {
      if (!takeValue(value)) return result;
      if (value.empty()) {
        result.error = "option '--trace' needs a file name";
        return result;
      }
      o.trace = value;
    } else if (name == "--wait") {
      if (!takeValue(value)) return result;
      const auto ms = ParseWaitSeconds(value);
      if (!ms) {
        result.error = "option '--wait' needs a number of seconds from 0 to 86400, not '" + value + "'";
        return result;
      }
      o.waitMs = *ms;
    } else if (name == "--serial") {
      if (!takeValue(value)) return result;
      o.serial = value;
    } else if (name == "--base") {
      if (!takeValue(value)) return result;
      o.base = ParseAddress(value);
      if (!o.base) {
        result.error = "option '--base' needs an address below 4 GB (0x hex or decimal), not '" + value + "'";
        return result;
      }
    } else if (name == "--format") {
      if (!takeValue(value)) return result;
      o.format = ParseFormat(value);
      if (!o.format) {
        result.error = "option '--format' needs hex, elf or bin, not '" + value + "'";
        return result;
      }
    } else if (name == "--device") {
      if (!takeValue(value)) return result;
      if (value.empty()) {
        result.error = "option '--device' needs a path (see 'list')";
        return result;
      }
      o.device = value;
    } else if (name == "--log") {
      if (!takeValue(value)) return result;
      if (value.empty()) {
        result.error = "option '--log' needs a file name";
        return result;
      }
      o.log = value;
    } else if (name == "--all") {
      if (!noValue()) return result;
      o.all = true;
    } else if (name == "--repeat") {
      if (!noValue()) return result;
      o.repeat = true;
    } else if (name == "--count") {
      if (!takeValue(value)) return result;
      const auto count = ParseCount(value);
      if (!count) {
        result.error = "option '--count' needs a number of boards from 1, not '" + value + "'";
        return result;
      }
      o.count = *count;
      countSeen = true;
    } else if (name == "--out") {
      if (!takeValue(value)) return result;
      o.out = value;
      outSeen = true;
    } else if (name == "--boot-out") {
      if (!takeValue(value)) return result;
      o.bootOut = value;
      bootOutSeen = true;
    } else {
      result.error = "unknown option '" + arg + "'";
      return result;
    }
  }

  if (o.help || o.version) return result;  // nothing else matters then

  if (positional.empty()) {
    result.error = "no command given";
    return result;
  }
  const auto command = CommandByName(positional[0]);
  if (!command) {
    result.error = "unknown command '" + positional[0] + "'";
    return result;
  }
  o.command = *command;
  const bool takesFile = o.command == CliCommand::Upload || o.command == CliCommand::Image;
  const std::size_t wanted = takesFile ? 2 : 1;
  if (positional.size() < wanted) {
    result.error = "'" + positional[0] + "' needs a firmware file";
    return result;
  }
  if (positional.size() > wanted) {
    result.error = "unexpected argument '" + positional[wanted] + "'";
    return result;
  }
  if (takesFile) o.file = positional[1];
  if (takesFile && o.file.empty()) {
    result.error = "the firmware file name is empty";
    return result;
  }

  if (o.command == CliCommand::Image) {
    if (!outSeen || o.out.empty()) {
      result.error = "'image' needs --out FLASH.bin";
      return result;
    }
    if (bootOutSeen && o.bootOut.empty()) {
      result.error = "option '--boot-out' needs a file name";
      return result;
    }
    if (bootOutSeen && o.bootOut == o.out) {
      result.error = "--out and --boot-out name the same file";
      return result;
    }
  } else if (outSeen || bootOutSeen) {
    result.error = "--out and --boot-out belong to the 'image' command";
    return result;
  }
  if (o.base && !takesFile) {
    result.error = "--base belongs to the 'upload' and 'image' commands";
    return result;
  }
  if (o.format && !takesFile) {
    result.error = "--format belongs to the 'upload' and 'image' commands";
    return result;
  }
  if (o.format == FirmwareFormat::RawBinary && !o.base) {
    result.error = "--format bin needs --base ADDR, the address of the binary's first byte";
    return result;
  }
  if (o.format && o.format != FirmwareFormat::RawBinary && o.base) {
    result.error = "--base places a raw binary: it goes with --format bin only";
    return result;
  }
  if (o.skipBlank && !takesFile) {
    result.error = "--skip-blank belongs to the 'upload' and 'image' commands";
    return result;
  }
  if (!o.trace.empty() && o.simulate.empty()) {
    result.error = "--trace needs --simulate";
    return result;
  }
  if ((o.all || o.repeat) && o.command != CliCommand::Upload) {
    result.error =
        o.all ? "--all belongs to the 'upload' command" : "--repeat belongs to the 'upload' command";
    return result;
  }
  if (o.all && o.repeat) {
    result.error = "--all and --repeat exclude each other";
    return result;
  }
  if (o.all && (o.device || o.serial)) {
    result.error = "--all takes every bootloader: it excludes --device and --serial";
    return result;
  }
  if (o.all && !o.trace.empty()) {
    result.error = "--trace follows one device: it cannot be combined with --all";
    return result;
  }
  if (countSeen && !o.repeat) {
    result.error = "--count needs --repeat";
    return result;
  }
  if (o.quiet && o.verbose) {
    result.error = "--quiet and --verbose exclude each other";
    return result;
  }
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
  --simulate SPEC  use a simulated bootloader instead of USB HID devices; give
                   it more than once for several. SPEC is key=value[,...] with
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
SHA-256 HEX]" on standard error; 'image' prints "An upload writes N bytes,
..." for the same device, file and options, so the two can be compared.
With --json the result event carries "bytes", "sha256" and "boot_sha256".

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

std::string CliVersionText() { return std::string("quorvel-cli ") + QUORVEL_VERSION_STRING; }

}  // namespace quorvel::cli
