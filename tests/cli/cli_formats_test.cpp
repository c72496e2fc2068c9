// SPDX-License-Identifier: Apache-2.0
// quorvel-cli with ELF, raw binary and standard input: run as a process
// against the simulated bootloader, each format must put the same frames on
// the wire and the same bytes in the images as the HEX file it was made from.
#include <gtest/gtest.h>
#include <signal.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <string>

namespace quorvel {
namespace {

const QString kCli = QStringLiteral(QUORVEL_CLI_PATH);
const QString kSampleHex = QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.hex");
const QString kSampleElf = QStringLiteral(QUORVEL_SAMPLES_DIR "/blink-stm32f4.elf");
// ELF programs objcopy made from HEX files, without program headers (tests/cli/data/make-elfs.sh).
const QString kData = QStringLiteral(QUORVEL_CLI_DATA_DIR);
const QString kPic32Hex = QStringLiteral(QUORVEL_VM_DATA_DIR "/pic32.hex");

struct CliRun {
  int exitCode = -1;
  QString out;
  QString err;
};

// Standard input is `input` (a file), or empty.
CliRun RunCli(const QStringList& args, const QString& input = {}) {
  QProcess process;
  process.setProgram(kCli);
  process.setArguments(args);
  process.setStandardInputFile(input.isEmpty() ? QProcess::nullDevice() : input);
  process.start();
  CliRun run;
  if (!process.waitForStarted(10000) || !process.waitForFinished(60000)) {
    process.kill();
    process.waitForFinished();
    ADD_FAILURE() << "quorvel-cli " << args.join(' ').toStdString() << " did not run to its end";
    return run;
  }
  run.out = QString::fromUtf8(process.readAllStandardOutput());
  run.err = QString::fromUtf8(process.readAllStandardError());
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  EXPECT_FALSE(run.err.contains("VIOLATION")) << run.err.toStdString();
  return run;
}

std::string Describe(const CliRun& run) {
  return "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out.toStdString() + "--- stderr\n" +
         run.err.toStdString();
}

class CliFormats : public ::testing::Test {
 public:
  QTemporaryDir dir;
  QString Path(const QString& name) const { return dir.filePath(name); }

  static QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  QString WriteFile(const QString& name, const QByteArray& content) {
    QFile file(Path(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    return Path(name);
  }

  // The sample uploaded to a simulated STM32F4 from `file` (or standard input), with its trace.
  QByteArray UploadTrace(const QStringList& fileArgs, const QString& input = {}) {
    const QString trace = Path(QStringLiteral("trace-%1.txt").arg(++runs_));
    const CliRun run =
        RunCli(QStringList{"--simulate", "family=STM32F4XX", "--trace", trace, "upload"} + fileArgs, input);
    EXPECT_EQ(run.exitCode, 0) << Describe(run);
    return ReadFile(trace);
  }

  // Flash and boot flash images a simulated PIC32 makes of `file`.
  std::pair<QByteArray, QByteArray> Pic32Images(const QStringList& fileArgs, const QString& input = {}) {
    const QString flash = Path(QStringLiteral("flash-%1.bin").arg(++runs_));
    const QString boot = Path(QStringLiteral("boot-%1.bin").arg(runs_));
    const CliRun run = RunCli(QStringList{"--simulate", "family=PIC32", "image"} + fileArgs +
                                  QStringList{"--out", flash, "--boot-out", boot},
                              input);
    EXPECT_EQ(run.exitCode, 0) << Describe(run);
    return {ReadFile(flash), ReadFile(boot)};
  }

 private:
  int runs_ = 0;
};

TEST_F(CliFormats, EveryFormatOfTheSampleUploadsTheSameFramesAsItsHex) {
  const QByteArray reference = UploadTrace({kSampleHex});
  ASSERT_TRUE(reference.contains("DATA ")) << reference.toStdString();

  // The program image of the HEX is the binary that belongs at the start of STM32 flash.
  const QString flash = Path(QStringLiteral("sample.bin"));
  const CliRun image = RunCli({"--simulate", "family=STM32F4XX", "image", kSampleHex, "--out", flash});
  ASSERT_EQ(image.exitCode, 0) << Describe(image);

  const struct {
    const char* name;
    QStringList args;
    QString input;
  } variants[] = {
      {"linked ELF", {kSampleElf}, {}},
      {"ELF made from the HEX by objcopy (no program headers)", {kData + "/blink-from-hex.elf"}, {}},
      {"64-bit big-endian ELF made from the HEX", {kData + "/blink-from-hex-64be.elf"}, {}},
      {"binary at --base 0x08000000", {"--base", "0x08000000", flash}, {}},
      {"binary at --base in decimal", {"--base=134217728", flash}, {}},
      {"HEX on standard input", {"-"}, kSampleHex},
      {"ELF on standard input", {"-"}, kSampleElf},
      {"binary on standard input", {"--base", "0x08000000", "-"}, flash},
  };
  for (const auto& variant : variants) {
    EXPECT_EQ(UploadTrace(variant.args, variant.input), reference) << variant.name;
  }
}

TEST_F(CliFormats, Pic32ElfAndHexGiveTheSameProgramAndBootImages) {
  const auto reference = Pic32Images({kPic32Hex});
  ASSERT_FALSE(reference.first.isEmpty());
  ASSERT_FALSE(reference.second.isEmpty());
  EXPECT_EQ(Pic32Images({kData + "/pic32-from-hex.elf"}), reference);
  EXPECT_EQ(Pic32Images({"-"}, kData + "/pic32-from-hex.elf"), reference);
}

// Written by arm-none-eabi-gcc, objcopy and srec_cat (tests/image/corpus): 72 KB at address 0.
TEST_F(CliFormats, AProgramAboveSixtyFourKBAtZeroUploadsTheSameFromItsElfAndBothHexFiles) {
  const QString corpus = QStringLiteral(QUORVEL_CORPUS_DIR "/");
  QByteArray reference;
  for (const char* file : {"tiva.elf", "tiva.hex", "tiva-srec.hex"}) {
    const QString trace = Path(QStringLiteral("trace-%1.txt").arg(QLatin1String(file)));
    const CliRun run = RunCli({"--simulate", "family=TIVA_C", "--trace", trace, "upload", corpus + file});
    EXPECT_EQ(run.exitCode, 0) << file << Describe(run);
    if (reference.isEmpty()) reference = ReadFile(trace);
    EXPECT_EQ(ReadFile(trace), reference) << file;
  }
  const QString flash = Path(QStringLiteral("tiva.bin"));
  const CliRun image = RunCli({"--simulate", "family=TIVA_C", "image", corpus + "tiva.hex", "--out", flash});
  ASSERT_EQ(image.exitCode, 0) << Describe(image);
  EXPECT_EQ(ReadFile(flash), ReadFile(corpus + "tiva.bin")) << "objcopy -O binary --gap-fill 0xFF of the ELF";
}

TEST_F(CliFormats, DataTheDeviceDoesNotKeepIsNamedNotWritten) {
  const QString hex = QStringLiteral(QUORVEL_CORPUS_DIR "/pic18.hex");  // configuration and EEPROM data
  const QString flash = Path(QStringLiteral("pic18.bin"));
  const CliRun plain = RunCli({"--simulate", "family=PIC18", "image", hex, "--out", flash});
  EXPECT_EQ(plain.exitCode, 0) << Describe(plain);
  EXPECT_TRUE(plain.err.contains(
      QStringLiteral("Not written: 19 bytes of '%1' that this device does not keep, the first at 0x00300000.\n").arg(hex)))
      << Describe(plain);

  const CliRun json = RunCli({"--json", "--simulate", "family=PIC18", "upload", hex});
  EXPECT_EQ(json.exitCode, 0) << Describe(json);
  EXPECT_TRUE(json.out.contains(QStringLiteral("{\"event\":\"dropped\",\"bytes\":19,\"address\":3145728,")))
      << Describe(json);

  // A single byte is named too: one byte of program flash, one of configuration.
  const QString one = WriteFile(QStringLiteral("one.hex"), ":0100000001FE\n:020000040030CA\n:01000000AA55\n:00000001FF\n");
  const CliRun single = RunCli({"--simulate", "family=PIC18", "image", one, "--out", flash});
  EXPECT_EQ(single.exitCode, 0) << Describe(single);
  EXPECT_TRUE(single.err.contains(QStringLiteral("Not written: 1 ")) && single.err.contains("the first at 0x00300000."))
      << Describe(single);
}

TEST_F(CliFormats, StandardInputIsNamedAsSuchInTheHistory) {
  const CliRun run = RunCli({"--simulate", "family=STM32F4XX", "upload", "-"}, kSampleHex);
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_TRUE(run.out.startsWith("Opened: standard input\n")) << Describe(run);
}

TEST_F(CliFormats, AnElfGivenWithBaseIsStillReadAsElf) {
  const QString trace = Path(QStringLiteral("trace.txt"));
  const CliRun run =
      RunCli({"--simulate", "family=STM32F4XX", "--base", "0x0", "--trace", trace, "upload", kSampleElf});
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_TRUE(run.err.contains("is an ELF file: --base is not used.")) << Describe(run);
  EXPECT_EQ(ReadFile(trace), UploadTrace({kSampleHex}));
}

struct Refusal {
  const char* name;
  QByteArray content;
  bool onStandardInput;
  const char* message;  // %1: how the file is named
  QStringList options = {};
};

class CliFormatRefusal : public CliFormats, public ::testing::WithParamInterface<Refusal> {};

// Refused after Info, before anything reaches the device, with one clean line.
TEST_P(CliFormatRefusal, EndsWithExit3AndNothingButInfoSent) {
  const Refusal& c = GetParam();
  const QString file = WriteFile(QStringLiteral("firmware.bin"), c.content);
  const QString trace = Path(QStringLiteral("trace.txt"));
  const CliRun run = RunCli(QStringList{"--simulate", "family=STM32F4XX", "--trace", trace} + c.options +
                                QStringList{"upload", c.onStandardInput ? QStringLiteral("-") : file},
                            c.onStandardInput ? file : QString());
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  const QString name = c.onStandardInput ? QStringLiteral("standard input") : file;
  EXPECT_TRUE(
      run.err.contains(QStringLiteral("quorvel-cli: ") + QString::fromUtf8(c.message).arg(name) + "\n"))
      << Describe(run);
  EXPECT_EQ(ReadFile(trace), "INFO\n");
  // Nothing of a binary reaches the terminal as it is.
  EXPECT_FALSE(run.err.contains(QChar(0x1B)) || run.out.contains(QChar(0x1B))) << Describe(run);
}

const char* const kNotFirmware = "'%1' is not an Intel HEX or ELF file (give --base ADDR for a raw binary)";

// The 52-byte header of a 32-bit little-endian ELF file of `type` for `machine`, without segments or sections.
QByteArray Elf32Header(int type, int machine) {
  QByteArray header = QByteArray::fromHex("7f454c46010101000000000000000000");
  const char rest[] = {static_cast<char>(type), 0, static_cast<char>(machine), 0, 1, 0, 0, 0};
  header.append(rest, sizeof rest);
  header.append(QByteArray(16, '\0'));
  header.append(QByteArray::fromHex("340000000000000000000000"));
  return header;
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliFormatRefusal,
    ::testing::Values(
        Refusal{"Binary", QByteArray::fromHex("00000220450000081b5b33316d0a20203a"), false, kNotFirmware},
        Refusal{"BinaryOnStandardInput", QByteArray::fromHex("000002204500000800"), true, kNotFirmware},
        Refusal{"EmptyStandardInput", {}, true, kNotFirmware},
        Refusal{"TruncatedElf", QByteArray::fromHex("7f454c46010101"), false,
                "ELF file 'firmware.bin' is not a valid ELF file."},
        // Read as HEX because a line starts with ':'; the loader's message shows its bytes escaped.
        Refusal{"BinaryWithARecordStart", QByteArray::fromHex("0a3a1b1b1b1b1b1b1b1b1b1b"), false,
                "HEX file '%1' refused: '$\\x1B\\x1B' is not a valid integer value."},
        // A host program or an unlinked object file never reaches the board.
        Refusal{"HostProgram", Elf32Header(2, 62), false,
                "'firmware.bin' is built for x86-64 (ELF machine 62), not for STM32F4XX, which takes ARM programs."},
        Refusal{"ObjectFile", Elf32Header(1, 40), true, "'standard input' is an object file, not a linked program."},
        // --base would flash a HEX file's text.
        Refusal{"HexGivenABase", ":020000040800F2\n:00000001FF\n", false,
                "'firmware.bin' is an Intel HEX file: leave out --base.", {"--base", "0x08000000"}}),
    [](const ::testing::TestParamInfo<Refusal>& row) { return std::string(row.param.name); });

// A pipe whose writer never writes nor closes: Ctrl-C must still end the run.
TEST_F(CliFormats, CtrlCWhileStandardInputIsSilentEndsTheRunWithExit5) {
  QProcess process;
  process.start(kCli, {"--simulate", "family=STM32F4XX", "upload", "-"});
  ASSERT_TRUE(process.waitForStarted(10000));
  EXPECT_FALSE(process.waitForFinished(1000)) << "it waits for its input";
  ::kill(static_cast<pid_t>(process.processId()), SIGINT);
  ASSERT_TRUE(process.waitForFinished(10000));
  EXPECT_EQ(process.exitCode(), 5);
  EXPECT_TRUE(process.readAllStandardError().contains("Interrupted."));
}

TEST_F(CliFormats, BaseMustBeAnAddressBelow4GBForAFileCommand) {
  for (const QStringList& args :
       {QStringList{"--base", "0x100000000", "upload", "a.bin"},
        QStringList{"--base", "-1", "upload", "a.bin"},
        QStringList{"--base", "0x", "image", "a.bin", "--out", "b.bin"},
        QStringList{"--base", "12k", "upload", "a.bin"}, QStringList{"--base", "0", "info"}}) {
    const CliRun run = RunCli(args);
    EXPECT_EQ(run.exitCode, 1) << args.join(' ').toStdString() << "\n" << Describe(run);
  }
}

}  // namespace
}  // namespace quorvel
