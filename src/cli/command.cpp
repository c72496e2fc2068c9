// SPDX-License-Identifier: Apache-2.0
#include "cli/command.h"

#include <array>

#include "cli/cli_all.h"
#include "cli/engine_commands.h"

namespace quorvel::cli {

namespace {

const std::array<const CommandDeclaration*, 6> kCommands = {
    &ListCommand::kDeclaration,  &InfoCommand::kDeclaration,  &UploadCommand::kDeclaration,
    &AllBoardsRun::kDeclaration, &RepeatCommand::kDeclaration, &ImageCommand::kDeclaration,
};

// An option only some commands take, and what is said when the chosen one does not.
struct ScopedOption {
  CommandOption option;
  bool (*given)(const CliOptions& o, const OptionsSeen& seen);
  const char* error;
};

// In the order their errors are told.
const ScopedOption kScoped[] = {
    {kOptOut, [](const CliOptions&, const OptionsSeen& s) { return s.out || s.bootOut; },
     "--out and --boot-out belong to the 'image' command"},
    {kOptBase, [](const CliOptions& o, const OptionsSeen&) { return o.base.has_value(); },
     "--base belongs to the 'upload' and 'image' commands"},
    {kOptFormat, [](const CliOptions& o, const OptionsSeen&) { return o.format.has_value(); },
     "--format belongs to the 'upload' and 'image' commands"},
    {kOptSkipBlank, [](const CliOptions& o, const OptionsSeen&) { return o.skipBlank; },
     "--skip-blank belongs to the 'upload' and 'image' commands"},
    {kOptAll, [](const CliOptions& o, const OptionsSeen&) { return o.all; }, "--all belongs to the 'upload' command"},
    {kOptRepeat, [](const CliOptions& o, const OptionsSeen&) { return o.repeat; },
     "--repeat belongs to the 'upload' command"},
    {kOptCount, [](const CliOptions&, const OptionsSeen& s) { return s.count; }, "--count needs --repeat"},
};

// How the options every command takes go together.
std::string CheckSharedOptions(const CliOptions& o) {
  if (o.format == FirmwareFormat::RawBinary && !o.base) {
    return "--format bin needs --base ADDR, the address of the binary's first byte";
  }
  if (o.format && o.format != FirmwareFormat::RawBinary && o.base) {
    return "--base places a raw binary: it goes with --format bin only";
  }
  if (!o.trace.empty() && o.simulate.empty()) return "--trace needs --simulate";
  if (o.deviceOnly && !o.device) return "--device-only needs --device";
  if (o.quiet && o.verbose) return "--quiet and --verbose exclude each other";
  return {};
}

}  // namespace

std::span<const CommandDeclaration* const> CommandDeclarations() { return kCommands; }

const CommandDeclaration* DeclarationOf(const CliOptions& options) {
  const CommandDeclaration* plain = nullptr;
  for (const CommandDeclaration* command : kCommands) {
    if (command->command != options.command) continue;
    if (plain == nullptr) plain = command;
    if ((command->all && options.all) || (command->repeat && options.repeat)) return command;
  }
  return plain;
}

std::string CheckCommandOptions(const CommandDeclaration& declaration, const CliOptions& o,
                                const OptionsSeen& seen) {
  // Both choose a variant of upload: neither one's rules apply.
  if (declaration.command == CliCommand::Upload && o.all && o.repeat) return "--all and --repeat exclude each other";
  for (const ScopedOption& scoped : kScoped) {
    if (scoped.given(o, seen) && (declaration.accepts & scoped.option) == 0) return scoped.error;
  }
  if (std::string error = CheckSharedOptions(o); !error.empty()) return error;
  return declaration.check != nullptr ? declaration.check(o, seen) : std::string();
}

std::unique_ptr<Command> MakeCommand(const CliOptions& options, CliFrontend& ui) {
  if (options.command == CliCommand::Upload && options.all) return std::make_unique<AllBoardsRun>(options, ui);
  return MakeEngineCommand(options, ui);
}

}  // namespace quorvel::cli
