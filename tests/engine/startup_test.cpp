// SPDX-License-Identifier: Apache-2.0
// Start-up state and command line, the progress animation, opening files and
// the application's error display.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <ostream>
#include <stdexcept>

#include "support/engine_fixture.h"

namespace quorvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kEmptyHex[] = ":00000001FF\n";
constexpr char kBadChecksumHex[] = ":0100000000FE\n:00000001FF\n";
constexpr char kNotHexDigitsHex[] = ":zz00000000\n";

class StartUp : public EngineFixture {};

struct KeywordCase {
  const char* argument;
  int mcuType;
};

void PrintTo(const KeywordCase& row, std::ostream* os) { *os << row.argument; }

class CommandLineKeyword : public StartUp, public ::testing::WithParamInterface<KeywordCase> {};

TEST_P(CommandLineKeyword, FirstKeywordInTableOrderWins) {
  // The file does not exist: the keyword is still taken, nothing else happens.
  StartEngine({GetParam().argument, tempDir.filePath("missing.hex")});
  EXPECT_EQ(LinkPart().Record().McuType, GetParam().mcuType);
  EXPECT_THAT(ui.history, IsEmpty());
  EXPECT_THAT(ui.statusBarPaths, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Keywords, CommandLineKeyword,
                         ::testing::Values(KeywordCase{"ARM_P16", 1}, KeywordCase{"STELLARIS_M4", 32},
                                           KeywordCase{"STELLARIS", 33}, KeywordCase{"xP33x", 11},
                                           KeywordCase{"TIVA_C", 38}, KeywordCase{"PIC32", 20},
                                           KeywordCase{"p18", 0}, KeywordCase{"STM32F4", 0}));

TEST_F(StartUp, FreshStateWithoutArguments) {
  StartEngine({"P18"});
  EXPECT_EQ(LinkPart().Record().McuType, 0);
  EXPECT_EQ(Probe().TransferBuffer().size(), 64u);
  EXPECT_FALSE(Connected());
  EXPECT_TRUE(LinkPart().ReenterHintSet());
  EXPECT_THAT(ui.history, IsEmpty());
  EXPECT_EQ(EngineVersion(), "2.3.0.0");
}

TEST_F(StartUp, CommandLineFileNeedsTheHexExtension) {
  const QString upper = TempFile("FIRMWARE.HEX", kEmptyHex);
  const QString bak = TempFile("firmware.hex.bak", kEmptyHex);
  const QString bare = TempFile("firmware", kEmptyHex);
  ASSERT_TRUE(QDir(tempDir.path()).mkdir("dir.hex"));  // a folder named like a file: not a file

  for (const QString& refused : {bak, bare, tempDir.filePath("dir.hex")}) {
    StartEngine({"P18", refused});
    EXPECT_THAT(ui.history, IsEmpty()) << refused.toStdString();
  }
  StartEngine({"PIC32", upper, "ignored"});
  EXPECT_THAT(ui.history, ElementsAre("Opened: " + upper));
  EXPECT_THAT(ui.statusBarPaths, ElementsAre(upper));
  EXPECT_TRUE(engine->Images().HexLoaded);
  EXPECT_EQ(engine->Images().HexMcuType, 20);
}

TEST_F(StartUp, LoaderOutcomesAtStartUp) {
  StartEngine({"P18", TempFile("bad.hex", kBadChecksumHex)});
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].kind, MessageKind::Warning);
  EXPECT_EQ(ui.history.size(), 1) << "a refused file is still reported as opened";

  ui.messages.clear();
  ui.history.clear();
  StartEngine({"P18", TempFile("garbage.hex", kNotHexDigitsHex)});
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].kind, MessageKind::AppError);
  EXPECT_EQ(ui.messages[0].title, "Quorvel");
  EXPECT_THAT(ui.history, IsEmpty()) << "an error ends the start-up before the Opened line";
}

TEST_F(StartUp, CommandLineFileIsReloadedForTheReportingDevice) {
  // A PIC18 image below the bootloader, unusable until the device has told its size.
  const QString file = TempFile("app.hex", ":020000000102FB\n:00000001FF\n");
  StartEngine({"P18", file});
  EXPECT_TRUE(engine->Images().FlashImage.empty());
  PlugBootloader("family=PIC18");
  EXPECT_FALSE(engine->Images().FlashImage.empty());
  EXPECT_TRUE(Probe().CommandLineHexFile().isEmpty());
}

TEST_F(StartUp, CommandLineFileIsNotReloadedForAnotherFamily) {
  const QString file = TempFile("app.hex", ":020000000102FB\n:00000001FF\n");
  StartEngine({"P18", file});
  PlugBootloader("family=PIC24");
  EXPECT_TRUE(engine->Images().FlashImage.empty());
  EXPECT_EQ(engine->Images().HexMcuType, 2);

  // A file the user opens afterwards replaces it for good: no later board
  // brings the command line's file back.
  ASSERT_TRUE(Connect());
  ui.fileAnswers.push_back(TempFile("chosen.hex", kEmptyHex));
  engine->Browse();
  EXPECT_TRUE(Probe().CommandLineHexFile().isEmpty());
}

struct TickCase {
  int max;
  int position;
  int next;
};

void PrintTo(const TickCase& row, std::ostream* os) { *os << "max " << row.max << " at " << row.position; }

class ProgressAnimation : public StartUp, public ::testing::WithParamInterface<TickCase> {};

TEST_P(ProgressAnimation, OneTick) {
  ControlsPart().SetProgressMax(GetParam().max);
  ControlsPart().SetProgressPosition(GetParam().position);
  ControlsPart().Timer1Timer();
  EXPECT_EQ(Controls().Progress.Position, GetParam().next);
}

INSTANTIATE_TEST_SUITE_P(Steps, ProgressAnimation,
                         ::testing::Values(TickCase{7, 7, 1}, TickCase{7, 3, 4}, TickCase{0, 0, 0},
                                           TickCase{100, 0, 10}, TickCase{100, 90, 100},
                                           TickCase{100, 100, 10}, TickCase{19, 18, 19},
                                           TickCase{25, 24, 25}));

TEST_F(StartUp, OpeningFilesNeedsAConnection) {
  ui.fileAnswers.push_back(TempFile("a.hex", kEmptyHex));
  engine->Browse();
  engine->DropFiles({TempFile("b.hex", kEmptyHex), TempFile("c.hex", kEmptyHex)});
  EXPECT_THAT(ui.history, ElementsAre("Error: Connect first.", "Error: Connect first."));
  EXPECT_THAT(ui.fileDialogDirs, IsEmpty());
}

TEST_F(StartUp, BrowseAndDropWhenConnected) {
  PlugBootloader("family=PIC18");
  ASSERT_TRUE(Connect());
  const qsizetype mark = ui.history.size();
  const QString text = TempFile("image.txt", kEmptyHex);
  const QString hex = TempFile("image.HEX", kEmptyHex);
  const QString ihex = TempFile("image.ihex", kEmptyHex);

  ui.fileAnswers.push_back(std::nullopt);
  engine->Browse();  // cancelled
  ui.fileAnswers.push_back(text);
  engine->Browse();
  EXPECT_EQ(Controls().FileDialogName, text);
  ui.fileAnswers.push_back(hex);
  engine->Browse();
  engine->DropFiles({text, tempDir.filePath("gone.hex"), hex, TempFile("other.hex", kEmptyHex)});
  engine->DropFiles({text});
  engine->DropFiles({ihex});
  ui.fileAnswers.push_back(ihex);
  engine->Browse();

  EXPECT_THAT(ui.HistorySince(mark), ElementsAre("File not found: " + text, "Opened: " + hex, "Opened: " + hex,
                                                 "Opened: " + ihex, "Opened: " + ihex));
  EXPECT_THAT(ui.statusBarPaths, ElementsAre(hex, hex, ihex, ihex));
}

TEST_F(StartUp, OpenWithWaitsForTheConnectionThenActsAsBrowse) {
  const QString file = TempFile("app.hex", ":020000000102FB\n:00000001FF\n");
  engine->OpenOnConnect(file);
  EXPECT_THAT(ui.statusBarPaths, ElementsAre(file));
  EXPECT_THAT(ui.history, IsEmpty());

  PlugBootloader("family=PIC18,drop=2");
  ASSERT_FALSE(Connect()) << "Boot unanswered: the file waits for the next connection";
  EXPECT_FALSE(engine->Images().HexLoaded);
  const qsizetype mark = ui.history.size();
  ASSERT_TRUE(Connect());
  EXPECT_THAT(ui.HistorySince(mark), ElementsAre("Waiting MCU response...", "Connected.", "Opened: " + file));
  EXPECT_FALSE(engine->Images().FlashImage.empty()) << "loaded with the connected device's geometry";
  EXPECT_EQ(Controls().FileDialogName, file);

  // Already connected: opened at once; a file that has gone reads as in Browse.
  const QString gone = tempDir.filePath("gone.hex");
  engine->OpenOnConnect(gone);
  EXPECT_EQ(ui.history.back(), "File not found: " + gone);
}

TEST_F(StartUp, EscapedErrorsAreShownAndTheProgramGoesOn) {
  Probe().Guarded([] { throw std::runtime_error("Device cannot be opened"); });
  Probe().Guarded([] { throw std::runtime_error("Invalid value."); });
  Probe().Guarded([] { throw std::runtime_error("list index (3)"); });
  ASSERT_EQ(ui.messages.size(), 3u);
  EXPECT_EQ(ui.messages[0].text, "Device cannot be opened.");
  EXPECT_EQ(ui.messages[1].text, "Invalid value.");
  EXPECT_EQ(ui.messages[2].text, "list index (3)") << "')' sorts below '.'";
  EXPECT_EQ(ui.messages[0].kind, MessageKind::AppError);
  EXPECT_EQ(ui.messages[0].title, "Quorvel");
}

}  // namespace
}  // namespace quorvel::test
