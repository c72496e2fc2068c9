// SPDX-License-Identifier: Apache-2.0
#include "cli/cli_frontend.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <string>
#include <vector>

#include "capture_streams.h"

namespace quorvel::cli {
namespace {

std::vector<QJsonObject> JsonLines(const std::string& text) {
  std::vector<QJsonObject> objects;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    QJsonParseError error{};
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    objects.push_back(doc.object());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return objects;
}

const QString kFitQuestion = QStringLiteral(
    "HEX file contains code over device bootloader area.\r\nThis code will be ignored.\r\nContinue?");

TEST(CliFrontendPlain, HistoryGoesToStdoutAndQuestionsAreAnsweredFromTheCommandLine) {
  Streams s;
  CliFrontend ui({}, s.out(), s.err());
  ui.HistoryAppended(QStringLiteral("Uploading:"));
  EXPECT_FALSE(ui.AskYesNo(kFitQuestion));
  EXPECT_EQ(s.Out(), "Uploading:\n");
  EXPECT_EQ(
      s.Err(),
      "Question: HEX file contains code over device bootloader area. This code will be ignored. Continue? "
      "-> No (give --yes to answer Yes)\n");
  EXPECT_EQ(ui.QuestionsAsked, 1);
  EXPECT_EQ(ui.QuestionsDeclined, 1);

  CliOutputConfig yes;
  yes.yes = true;
  CliFrontend agreeing(yes, s.out(), s.err());
  EXPECT_TRUE(agreeing.AskYesNo(kFitQuestion));
  EXPECT_EQ(agreeing.QuestionsDeclined, 0);
}

TEST(CliFrontendPlain, QuietKeepsOnlyErrorLines) {
  Streams s;
  CliOutputConfig config;
  config.quiet = true;
  CliFrontend ui(config, s.out(), s.err());
  ui.HistoryAppended(QStringLiteral("Flash Write..."));
  ui.ErrorAppended(QStringLiteral("Error: Timeout waiting for MCU."));
  ui.ShowTaskDialog({QStringLiteral("Success"), QStringLiteral("Restarting MCU..."),
                     QStringLiteral("Uploading program completed successfully."), QString()});
  EXPECT_EQ(s.Out(), "Error: Timeout waiting for MCU.\n");
  EXPECT_EQ(s.Err(), "");
}

TEST(CliFrontendPlain, MessageBoxesAreRecordedAndPrintedOnOneLine) {
  Streams s;
  CliFrontend ui({}, s.out(), s.err());
  ui.ShowMessage(
      MessageKind::Warning, QStringLiteral("Quorvel"),
      QStringLiteral("CRC check failed. Invalid CRC at line 3 in file 'a.hex'.\r\nNo data will be loaded."));
  EXPECT_EQ(ui.MessagesShown, 1);
  EXPECT_EQ(s.Err(),
            "Warning: CRC check failed. Invalid CRC at line 3 in file 'a.hex'. No data will be loaded.\n");
  EXPECT_EQ(s.Out(), "");
}

TEST(CliFrontendJson, EveryEventIsOneParsableLineOnStdout) {
  Streams s;
  CliOutputConfig config;
  config.json = true;
  CliFrontend ui(config, s.out(), s.err());
  ui.HistoryAppended(QStringLiteral("Opened: C:\\fw \"new\".hex"));
  ui.AskYesNo(kFitQuestion);
  ui.ShowTaskDialog({QStringLiteral("Abort"), QStringLiteral("User abort..."),
                     QStringLiteral("Uploading program was stopped by user."), QStringLiteral("details")});
  ui.Result(5, QStringLiteral("Abort"), QStringLiteral("Uploading program was stopped by user."));
  EXPECT_EQ(s.Err(), "");

  const auto events = JsonLines(s.Out());
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].value("event").toString(), "log");
  EXPECT_EQ(events[0].value("text").toString(), "Opened: C:\\fw \"new\".hex");
  EXPECT_EQ(events[1].value("event").toString(), "question");
  EXPECT_EQ(events[1].value("text").toString(), kFitQuestion);
  EXPECT_EQ(events[1].value("answer").toString(), "no");
  EXPECT_EQ(events[2].value("event").toString(), "dialog");
  EXPECT_EQ(events[3].value("event").toString(), "result");
  EXPECT_EQ(events[3].value("exit").toInt(), 5);
  EXPECT_EQ(events[3].value("title").toString(), "Abort");
}

}  // namespace
}  // namespace quorvel::cli
