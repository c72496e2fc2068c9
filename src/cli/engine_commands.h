// SPDX-License-Identifier: Apache-2.0
#pragma once
// The commands that run on one engine: list, info, upload, image and
// upload --repeat (cli_repeat.cpp). upload --all is AllBoardsRun (cli_all.h).
#include <cstdint>
#include <memory>
#include <optional>
#include <set>

#include "cli/cli_runner.h"

namespace quorvel::cli {

class ListCommand final : public CliRunner {
 public:
  using CliRunner::CliRunner;
  static const CommandDeclaration kDeclaration;

 private:
  int RunCommand() override;
  void ListDevices();
};

class InfoCommand final : public CliRunner {
 public:
  using CliRunner::CliRunner;
  static const CommandDeclaration kDeclaration;

 private:
  int RunCommand() override;
};

class UploadCommand final : public CliRunner {
 public:
  using CliRunner::CliRunner;
  static const CommandDeclaration kDeclaration;

 private:
  int RunCommand() override;
};

class ImageCommand final : public CliRunner {
 public:
  using CliRunner::CliRunner;
  static const CommandDeclaration kDeclaration;

 private:
  static std::string CheckOptions(const CliOptions& options, const OptionsSeen& seen);
  int RunCommand() override;
  // Both images are replaced, or neither.
  int WriteImages();
};

// upload --repeat: boards one after another, each once while it stays attached.
class RepeatCommand final : public CliRunner {
 public:
  using CliRunner::CliRunner;
  static const CommandDeclaration kDeclaration;

 private:
  int RunCommand() override;
  // The next attached bootloader not yet in `done` (from which boards gone meanwhile are dropped).
  std::optional<BoardView> NextBoard(std::set<std::uint64_t>& done);
  // Opens `next` (shown as `path`) and uploads to it; the board's exit code.
  int RunOnBoard(const BoardView& next, const QString& path);
};

// The engine command `options` ask for (not upload --all); null for CliCommand::None.
std::unique_ptr<CliRunner> MakeEngineCommand(const CliOptions& options, CliFrontend& ui);

}  // namespace quorvel::cli
