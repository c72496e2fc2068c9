// SPDX-License-Identifier: Apache-2.0
#pragma once
// One class per quorvel-cli command. Each declares what it accepts (its
// word, whether it takes a FILE, the options only some commands take, and its
// own rules on them); the parser checks a command line against that
// declaration, and the command runs.
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "cli/cli_options.h"

namespace quorvel::cli {

class CliFrontend;

// Options that only some commands take.
enum CommandOption : unsigned {
  kOptOut = 1u << 0,  // --out and --boot-out
  kOptBase = 1u << 1,
  kOptFormat = 1u << 2,
  kOptSkipBlank = 1u << 3,
  kOptAll = 1u << 4,
  kOptRepeat = 1u << 5,
  kOptCount = 1u << 6,
};

// Options whose presence matters beyond their value.
struct OptionsSeen {
  bool out = false;
  bool bootOut = false;
  bool count = false;
};

struct CommandDeclaration {
  std::string_view name;  // as --log names the run: "upload", "upload --all"
  CliCommand command;
  bool all = false;     // chosen by upload's --all
  bool repeat = false;  // chosen by upload's --repeat
  bool takesFile = false;
  unsigned accepts = 0;  // CommandOption bits
  // The command's own rules on its options: the error, or empty. May be null.
  std::string (*check)(const CliOptions& options, const OptionsSeen& seen) = nullptr;
};

// Every command, in the order --help lists them (the plain command before its variants).
std::span<const CommandDeclaration* const> CommandDeclarations();
// The command `options` ask for (the command word's plain form when --all or
// --repeat belong to another word); null for CliCommand::None.
const CommandDeclaration* DeclarationOf(const CliOptions& options);
// The rules of `declaration` and the ones every command shares: the error, or empty.
std::string CheckCommandOptions(const CommandDeclaration& declaration, const CliOptions& options,
                                const OptionsSeen& seen);

class Command {
 public:
  virtual ~Command() = default;
  // Runs the command and returns the exit code. Needs a QCoreApplication.
  virtual int Run() = 0;
  // Ctrl-C, SIGTERM or SIGHUP (`signo`).
  virtual void Interrupt(int signo) = 0;
};

// The command `options` ask for; null for CliCommand::None.
std::unique_ptr<Command> MakeCommand(const CliOptions& options, CliFrontend& ui);

}  // namespace quorvel::cli
