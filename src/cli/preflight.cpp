// SPDX-License-Identifier: Apache-2.0
#include "cli/preflight.h"

#include <unistd.h>

#include <utility>

#include "assembly/program_platform.h"
#include "cli/cli_frontend.h"
#include "cli/cli_log.h"
#include "cli/cli_text.h"
#include "cli/standard_input.h"
#include "hid/hid_platform.h"
#include "io/display_text.h"
#include "io/input_file.h"
#include "io/output_file.h"

namespace quorvel::cli {

namespace {

const std::string kStandardInput = "-";
// How long a read of standard input waits before looking for Ctrl-C.
constexpr int kInputPollMs = 50;

}  // namespace

Preflight CheckFirmwareFile(const std::string& name, FileProblems wording) {
  if (wording == FileProblems::Named && !io::IsValidUtf8(name)) {
    // The engine takes file names as text; a name that is not UTF-8 would
    // reach the file system changed.
    return Refusal{ExitHexFile,
                   QStringLiteral("The HEX file name '%1' is not valid UTF-8; rename the file to use it.")
                       .arg(Shown(name))};
  }
  const io::InputCheck check = io::CheckInputFile(name);
  if (check.status == io::InputStatus::Ok) return std::nullopt;
  if (wording == FileProblems::Named) {
    if (check.status == io::InputStatus::Missing)
      return Refusal{ExitHexFile, QStringLiteral("HEX file '%1' does not exist.").arg(Shown(name))};
    if (check.status == io::InputStatus::NotRegular && check.folder)
      return Refusal{ExitHexFile, QStringLiteral("'%1' is a folder, not a HEX file.").arg(Shown(name))};
  }
  return Refusal{ExitHexFile, QStringLiteral("HEX file '%1' cannot be read: %2.")
                                  .arg(Shown(name), QString::fromStdString(io::InputProblemText(check)))};
}

Preflight ReadStandardInput(std::uint64_t limit, std::string& out, const std::function<bool()>& stopped) {
  const InputReadResult read = ReadWholeInput(STDIN_FILENO, limit, kInputPollMs, out, stopped);
  if (read.status == InputRead::Complete) return std::nullopt;
  if (read.status == InputRead::Stopped) return Refusal{ExitAborted, QStringLiteral("Interrupted.")};
  return Refusal{ExitHexFile, QString::fromStdString(InputReadProblem(read, limit))};
}

Preflight CheckFileNames(const CliOptions& options, const QString& firmwareRole) {
  struct Named {
    QString role;
    std::string name;
    io::FileIdentity identity;
  };
  std::vector<Named> names;
  if (!options.file.empty() && options.file != kStandardInput) {
    if (auto identity = io::IdentityOf(options.file))
      names.push_back({firmwareRole, options.file, *identity});
  }
  const std::pair<const char*, const std::string*> outputs[] = {{"--out", &options.out},
                                                                {"--boot-out", &options.bootOut},
                                                                {"--trace", &options.trace},
                                                                {"--log", &options.log}};
  for (const auto& [role, name] : outputs) {
    if (name->empty()) continue;
    io::OutputError error;
    const auto target = io::ResolveOutput(*name, error);
    if (!target) {
      return Refusal{error.err == 0 ? ExitUsage : ExitOutput,
                     QStringLiteral("%1 '%2' cannot be written: %3. Nothing was done.")
                         .arg(QLatin1String(role), Shown(*name), QString::fromStdString(error.reason))};
    }
    names.push_back({QLatin1String(role), *name, target->identity});
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (std::size_t j = i + 1; j < names.size(); ++j) {
      if (!io::SameFile(names[i].identity, names[j].identity)) continue;
      return Refusal{ExitUsage,
                     QStringLiteral("%1 '%2' and %3 '%4' are the same file. Nothing was done.")
                         .arg(names[i].role, Shown(names[i].name), names[j].role, Shown(names[j].name))};
    }
  }
  return std::nullopt;
}

Preflight OpenLog(const std::string& path, const std::string& firstLine, std::unique_ptr<CliLog>& log) {
  log = std::make_unique<CliLog>(path);
  if (!log->Open()) {
    const QString why = QString::fromStdString(log->ErrorText());
    log.reset();
    return Refusal{
        ExitOutput,
        QStringLiteral("cannot append to the log file '%1': %2. Nothing was done.").arg(Shown(path), why)};
  }
  log->Line(firstLine);
  return std::nullopt;
}

Preflight ParseSimulate(const std::vector<std::string>& texts, std::vector<sim::SimProfile>& profiles) {
  if (assembly::SimulateError bad; !assembly::ParseSimulateProfiles(texts, profiles, bad)) {
    return Refusal{ExitUsage,
                   QStringLiteral("bad --simulate '%1': %2")
                       .arg(QString::fromStdString(bad.profileText), QString::fromStdString(bad.message))};
  }
  return std::nullopt;
}

Preflight CheckPlatform(assembly::ProgramPlatform& program) {
  if (program.Simulated() || program.Platform().Available()) return std::nullopt;
  return Refusal{ExitNoBootloader,
                 QStringLiteral("USB HID devices cannot be listed on this system (is udev running?).")};
}

}  // namespace quorvel::cli
