// SPDX-License-Identifier: Apache-2.0
#pragma once
// The checks every command that takes a file, a log or --simulate makes
// before it touches a device, shared by the one-board commands and the parent
// of `upload --all`. Each answers nothing when all is well, else the exit code
// and the sentence to say; the command says it in its own way.
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "sim/sim_profile.h"

namespace quorvel::assembly {
class ProgramPlatform;
}

namespace quorvel::cli {

class CliLog;

struct Refusal {
  int exitCode = 0;
  QString text;
};
using Preflight = std::optional<Refusal>;

// A one-board run names each problem of the firmware file; upload --all says
// once, for every board, that the file cannot be read.
enum class FileProblems { Named, CannotRead };

// The firmware file is a readable regular file within the size cap. Standard
// input ('-') is not checked here: it is read by ReadStandardInput.
Preflight CheckFirmwareFile(const std::string& name, FileProblems wording);

// Standard input read whole into `out`, at most `limit` bytes; `stopped` is
// asked between waits (it may process events) and ends the read when true.
Preflight ReadStandardInput(std::uint64_t limit, std::string& out, const std::function<bool()>& stopped);

// Every output in `options` may be replaced, and no two of the firmware file
// and the outputs are one file. `firmwareRole` names the firmware file.
Preflight CheckFileNames(const CliOptions& options, const QString& firmwareRole);

// --log opened for appending, its first line written; `log` is left empty on a refusal.
Preflight OpenLog(const std::string& path, const std::string& firstLine, std::unique_ptr<CliLog>& log);

// --simulate's profiles, read in order.
Preflight ParseSimulate(const std::vector<std::string>& texts, std::vector<sim::SimProfile>& profiles);

// The machine's HID devices can be listed (always so when simulating).
Preflight CheckPlatform(assembly::ProgramPlatform& program);

}  // namespace quorvel::cli
