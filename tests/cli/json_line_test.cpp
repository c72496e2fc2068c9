// SPDX-License-Identifier: Apache-2.0
#include "cli/json_line.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <string>

namespace quorvel::cli {
namespace {

// Parses {"v": <literal>} with Qt's parser, independent of the writer.
QJsonValue ParseLiteral(const std::string& literal, bool* ok) {
  QJsonParseError error{};
  const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString("{\"v\":" + literal + "}"), &error);
  *ok = error.error == QJsonParseError::NoError && doc.isObject();
  return doc.object().value(QStringLiteral("v"));
}

struct RoundTrip {
  const char* name;
  std::string text;
};

class JsonStringRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(JsonStringRoundTrip, ParsesBackToTheSameText) {
  const std::string literal = JsonString(GetParam().text);
  bool ok = false;
  const QJsonValue v = ParseLiteral(literal, &ok);
  ASSERT_TRUE(ok) << literal;
  EXPECT_EQ(v.toString().toStdString(), GetParam().text) << literal;
  EXPECT_EQ(literal.find('\n'), std::string::npos) << "a JSON line must stay one line";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonStringRoundTrip,
    ::testing::Values(RoundTrip{"Plain", "Flash Write..."}, RoundTrip{"Empty", ""},
                      RoundTrip{"Quotes", "Uploading program \"a.hex\" finished with success."},
                      RoundTrip{"Backslash", "C:\\work\\fw.hex"},
                      RoundTrip{"CrLf", "HEX file contains code over device bootloader area.\r\nContinue?"},
                      RoundTrip{"Controls", std::string("\x01\x1f\t\b\f\x7f", 6)},
                      RoundTrip{"EmbeddedNul", std::string("a\0b", 3)},
                      RoundTrip{"Utf8", "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x94\x8c"}),
    [](const ::testing::TestParamInfo<RoundTrip>& row) { return std::string(row.param.name); });

struct Broken {
  const char* name;
  std::string bytes;
  std::u16string expected;
};

class JsonStringInvalidUtf8 : public ::testing::TestWithParam<Broken> {};

TEST_P(JsonStringInvalidUtf8, BecomesReplacementCharacters) {
  const std::string literal = JsonString(GetParam().bytes);
  bool ok = false;
  const QJsonValue v = ParseLiteral(literal, &ok);
  ASSERT_TRUE(ok) << literal;
  EXPECT_EQ(v.toString().toStdU16String(), GetParam().expected) << literal;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonStringInvalidUtf8,
    ::testing::Values(Broken{"Latin1Byte", "caf\xe9", u"caf\ufffd"},
                      Broken{"LoneContinuation", "\x80x", u"\ufffdx"},
                      Broken{"Overlong", "\xc0\xaf", u"\ufffd\ufffd"},
                      Broken{"Surrogate", "\xed\xa0\x80", u"\ufffd\ufffd\ufffd"},
                      Broken{"AboveUnicode", "\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"},
                      Broken{"CutAtEnd", "ok\xe2\x82", u"ok\ufffd\ufffd"}),
    [](const ::testing::TestParamInfo<Broken>& row) { return std::string(row.param.name); });

TEST(JsonObject, KeepsOrderAndTypes) {
  const std::string line = JsonObject()
                               .Add("event", "progress")
                               .Add("done", 3)
                               .Add("total", std::int64_t{4294967295})
                               .Add("ok", true)
                               .Str();
  EXPECT_EQ(line, R"({"event":"progress","done":3,"total":4294967295,"ok":true})");
  EXPECT_EQ(JsonObject().Str(), "{}");
}

}  // namespace
}  // namespace quorvel::cli
