// SPDX-License-Identifier: Apache-2.0
#include "cli/engine_commands.h"

#include <string>
#include <utility>
#include <vector>

#include "cli/cli_text.h"
#include "cli/hidraw_access.h"
#include "engine/outcomes.h"
#include "io/output_file.h"
#include "upload/write_plan.h"

namespace quorvel::cli {

const CommandDeclaration ListCommand::kDeclaration{.name = "list", .command = CliCommand::List};

const CommandDeclaration InfoCommand::kDeclaration{.name = "info", .command = CliCommand::Info};

const CommandDeclaration UploadCommand::kDeclaration{
    .name = "upload",
    .command = CliCommand::Upload,
    .takesFile = true,
    .accepts = kOptBase | kOptFormat | kOptSkipBlank,
};

const CommandDeclaration ImageCommand::kDeclaration{
    .name = "image",
    .command = CliCommand::Image,
    .takesFile = true,
    .accepts = kOptOut | kOptBase | kOptFormat | kOptSkipBlank,
    .check = &ImageCommand::CheckOptions,
};

std::string ImageCommand::CheckOptions(const CliOptions& o, const OptionsSeen& seen) {
  if (!seen.out || o.out.empty()) return "'image' needs --out FLASH.bin";
  if (seen.bootOut && o.bootOut.empty()) return "option '--boot-out' needs a file name";
  if (seen.bootOut && o.bootOut == o.out) return "--out and --boot-out name the same file";
  return {};
}

std::unique_ptr<CliRunner> MakeEngineCommand(const CliOptions& options, CliFrontend& ui) {
  switch (options.command) {
    case CliCommand::List:
      return std::make_unique<ListCommand>(options, ui);
    case CliCommand::Info:
      return std::make_unique<InfoCommand>(options, ui);
    case CliCommand::Upload:
      if (options.repeat) return std::make_unique<RepeatCommand>(options, ui);
      return std::make_unique<UploadCommand>(options, ui);
    case CliCommand::Image:
      return std::make_unique<ImageCommand>(options, ui);
    case CliCommand::None:
      break;
  }
  return nullptr;
}

void ListCommand::ListDevices() {
  int shown = 0;
  int locked = 0;
  const std::vector<BoardView> boards = TheEngine().Boards();
  for (const BoardView& board : boards) {
    // Another program (a window, another quorvel-cli) has it locked.
    const bool busy = board.bootloader && TheEngine().InUseElsewhere(board.path);
    Ui().Interface({.label = Label(board),
                    .path = PathOf(board),
                    .serial = QString::fromStdU16String(board.serial),
                    .bootloader = board.bootloader,
                    .busy = busy,
                    .vendorId = board.vendorId,
                    .productId = board.productId});
    if (board.bootloader && board.opened && !board.readWrite) ++locked;
    ++shown;
  }
  if (shown == 0) Ui().Notice(QStringLiteral("No HID devices found."));
  if (Bootloaders().empty()) {
    ExplainNoBootloader();
  } else if (locked > 0) {
    // Listed, but an upload would be refused: say why before the user tries.
    Ui().Notice(
        QStringLiteral("%1 bootloader(s) may not be opened for reading and writing (permission denied).")
            .arg(locked));
    Ui().Notice(QString::fromStdString(UdevAdvice()));
  }
}

int ListCommand::RunCommand() {
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(false); rc != ExitSuccess) return rc;
  ListDevices();
  return Succeed(QStringLiteral("Success"), QStringLiteral("%1 HID interface(s), %2 bootloader(s).")
                                                .arg(TheEngine().Boards().size())
                                                .arg(Bootloaders().size()));
}

int InfoCommand::RunCommand() {
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(true); rc != ExitSuccess) return rc;
  const EngineStatus status = TheEngine().Status();
  const TBootInfo& info = status.bootInfo;
  const BoardView& board = *status.active;
  Ui().Record({PathOf(board), QString::fromStdU16String(board.serial), info});
  return Succeed(QStringLiteral("Success"), FamilyName(info.McuType) + QStringLiteral(" bootloader"));
}

int UploadCommand::RunCommand() {
  if (int rc = CheckHexFile(); rc != ExitSuccess) return rc;
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(true); rc != ExitSuccess) return rc;
  return UploadBoard();
}


int ImageCommand::RunCommand() {
  if (int rc = CheckHexFile(); rc != ExitSuccess) return rc;
  if (int rc = StartEngine(); rc != ExitSuccess) return rc;
  if (int rc = WaitForBootloader(true); rc != ExitSuccess) return rc;
  if (int rc = LoadHex(); rc != ExitSuccess) return rc;
  if (int rc = Interrupted(); rc != ExitSuccess) return rc;
  // What an upload of this file to this device would write, from the same plan.
  const upload::UploadPlan plan = TheEngine().Plan({QString(), Options().skipBlank});
  if (plan.problem.empty() && plan.trimmed) {
    Ui().Notice(
        QStringLiteral("The file holds code the device has no room for; an upload answered Yes "
                       "leaves it out, as the numbers below do."));
  }
  const int code = WriteImages();
  if (code != ExitSuccess) return code;
  if (plan.problem.empty()) {
    outcome_->proof = MakeProof(QStringLiteral("An upload writes"), PlanProof(plan));
  } else {
    Ui().Notice(QStringLiteral("An upload would be refused: %1").arg(QString::fromStdString(plan.problem)));
  }
  return code;
}

int ImageCommand::WriteImages() {
  const THexImages& loaded = TheEngine().Images();
  std::vector<std::pair<const std::string*, const TByteArray*>> images = {{&Options().out, &loaded.FlashImage}};
  if (!Options().bootOut.empty()) images.emplace_back(&Options().bootOut, &loaded.BootFlashImage);
  std::vector<std::unique_ptr<io::OutputFile>> files;
  bool written = true;
  for (const auto& [name, bytes] : images) {
    files.push_back(std::make_unique<io::OutputFile>(*name));
    const auto* data = reinterpret_cast<const char*>(bytes->data());
    written = written && files.back()->Open() && files.back()->Write(std::string_view(data, bytes->size()));
  }
  std::vector<io::OutputFile*> all;
  for (const auto& file : files) all.push_back(file.get());
  if (!written || !io::CommitTogether(all)) {
    for (const auto& file : files) {
      if (!file->Failed()) continue;
      return Fail(ExitOutput, QStringLiteral("cannot write '%1': %2. No file was changed.")
                                  .arg(Shown(file->Path()), QString::fromStdString(file->Error().reason)));
    }
    return Fail(ExitOutput, QStringLiteral("the images could not be written. No file was changed."));
  }
  for (const auto& [name, bytes] : images) {
    Ui().Notice(QStringLiteral("Wrote %1 bytes to %2").arg(bytes->size()).arg(Shown(*name)));
  }
  return Succeed(QStringLiteral("Success"), QStringLiteral("Image written."));
}

}  // namespace quorvel::cli
