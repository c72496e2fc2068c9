// SPDX-License-Identifier: Apache-2.0
// Saving and restoring the window placement and the four stored properties.
#include "ui/form_storage.h"

#include <gtest/gtest.h>

namespace quorvel::ui {
namespace {

const TScreenInfo kScreen{1920, 1080, 96};

TWindowPlacement Designed() {
  TWindowPlacement p;
  p.Left = 234;
  p.Top = 120;
  p.Right = 234 + 489;
  p.Bottom = 120 + 357;
  return p;
}

TIniStorage Ini(const char* body) {
  TIniStorage ini;
  ini.Parse(QByteArray("[frmPelmo]\n") + body);
  return ini;
}

TEST(FormStorageSave, FirstRunWritesTwelveKeysInOrder) {
  TIniStorage ini;
  TStoredProperties props;
  props.OpenDialogInitialDir = "/home/u/fw";
  props.OpenDialogFileName = "/home/u/fw/app.hex";
  SaveFormState(ini, Designed(), false, kScreen, props);
  EXPECT_EQ(ini.Serialize(), QByteArray("[frmPelmo]\r\n"
                                        "FormVersion=0\r\n"
                                        "ShowCmd=1\r\n"
                                        "Flags=0\r\n"
                                        "PixelsPerInch=96\r\n"
                                        "MinMaxPos(1920x1080)=-1,-1,-1,-1\r\n"
                                        "MinMaxPos=-1,-1,-1,-1\r\n"
                                        "NormPos(1920x1080)=234,120,723,477\r\n"
                                        "NormPos=234,120,723,477\r\n"
                                        "CheckBoxClose_Checked=FALSE\r\n"
                                        "OpenDialog1_InitialDir=/home/u/fw\r\n"
                                        "OpenDialog1_FileName=/home/u/fw/app.hex\r\n"
                                        "MCUComboBox_ItemIndex=-1\r\n"
                                        "\r\n"));
}

TEST(FormStorageSave, MinimisedApplicationStoresShowCmd2AndResetsFormVersion) {
  TIniStorage ini = Ini("FormVersion=-1\nCheckBoxClose_Checked=yes\n");
  TStoredProperties props;
  props.CheckBoxCloseChecked = true;
  SaveFormState(ini, Designed(), true, kScreen, props);
  EXPECT_EQ(ini.Value("frmPelmo", "FormVersion"), QString("0"));
  EXPECT_EQ(ini.Value("frmPelmo", "ShowCmd"), QString("2"));
  EXPECT_EQ(ini.Value("frmPelmo", "CheckBoxClose_Checked"), QString("TRUE"));
  EXPECT_EQ(ini.Keys("frmPelmo").size(), 12);
}

TEST(FormStorageRestore, CheckBoxWords) {
  struct Case {
    const char* value;
    std::optional<bool> expected;  // nullopt: left unchanged
  };
  const Case cases[] = {{"yes", true},         {"Y", true},          {"TRUE", true}, {"true", true},
                        {"2", true},           {"-1", true},         {"0", false},   {"no", false},
                        {"n", false},          {"False", false},     {"", false},    {"maybe", std::nullopt},
                        {"1.0", std::nullopt}, {"0x1", std::nullopt}};
  for (const Case& c : cases) {
    const TIniStorage ini = Ini((QByteArray("CheckBoxClose_Checked=") + c.value + "\n").constData());
    const TRestorePlan plan = PlanFormRestore(ini, Designed(), kScreen);
    EXPECT_TRUE(plan.Error.isEmpty());
    EXPECT_EQ(plan.CheckBoxCloseChecked, c.expected) << "value '" << c.value << "'";
  }
}

TEST(FormStorageRestore, NegativeFormVersionRestoresNothing) {
  const TRestorePlan plan = PlanFormRestore(
      Ini("FormVersion=-1\nNormPos=10,20,30,40\nPixelsPerInch=96\nCheckBoxClose_Checked=yes\nShowCmd=2\n"),
      Designed(), kScreen);
  EXPECT_TRUE(plan.Skipped);
  EXPECT_FALSE(plan.Move);
  EXPECT_FALSE(plan.Show);
  EXPECT_FALSE(plan.CheckBoxCloseChecked);
}

TEST(FormStorageRestore, ScreenSizeKeyWinsOverPlainKey) {
  const char* body = "PixelsPerInch=96\nNormPos(1920x1080)=100,50,0,0\nNormPos=7,8,0,0\n";
  TRestorePlan plan = PlanFormRestore(Ini(body), Designed(), kScreen);
  EXPECT_TRUE(plan.Move);
  EXPECT_EQ(plan.Left, 100);
  EXPECT_EQ(plan.Top, 50);
  plan = PlanFormRestore(Ini(body), Designed(), TScreenInfo{1280, 1024, 96});
  EXPECT_TRUE(plan.Move);
  EXPECT_EQ(plan.Left, 7) << "another screen size falls back to the plain key";
  EXPECT_EQ(plan.Top, 8);
}

TEST(FormStorageRestore, PositionNeedsTheSamePixelsPerInch) {
  TRestorePlan plan =
      PlanFormRestore(Ini("PixelsPerInch=120\nNormPos=5,6,0,0\nShowCmd=2\n"), Designed(), kScreen);
  EXPECT_FALSE(plan.Move);
  EXPECT_EQ(plan.Show, ShowMinimized) << "the show state is restored all the same";
  plan = PlanFormRestore(Ini("NormPos=5,6,0,0\n"), Designed(), kScreen);
  EXPECT_FALSE(plan.Move) << "a missing PixelsPerInch reads as 0";
}

TEST(FormStorageRestore, BadPositionPartsFallBack) {
  const TRestorePlan plan =
      PlanFormRestore(Ini("PixelsPerInch=96\nNormPos=x,,9\nMinMaxPos=1,zz\n"), Designed(), kScreen);
  EXPECT_TRUE(plan.Move);
  EXPECT_EQ(plan.Left, 234) << "left falls back to the window's current left";
  EXPECT_EQ(plan.Top, 120);
  EXPECT_EQ(plan.MinX, 1);
  EXPECT_EQ(plan.MinY, 0) << "a bad MinMaxPos part counts as 0";
  EXPECT_EQ(plan.MaxY, 0);
}

TEST(FormStorageRestore, ShowCmdMapping) {
  const std::pair<const char*, TShowCmd> cases[] = {
      {"1", ShowNormal},    {"5", ShowNormal},    {"9", ShowNormal},    {"2", ShowMinimized},
      {"6", ShowMinimized}, {"7", ShowMinimized}, {"3", ShowMaximized}, {"0", ShowNormal},
      {"42", ShowNormal},   {"-3", ShowNormal}};
  for (const auto& [value, expected] : cases) {
    const TRestorePlan plan =
        PlanFormRestore(Ini((QByteArray("ShowCmd=") + value + "\n").constData()), Designed(), kScreen);
    EXPECT_EQ(plan.Show, expected) << "ShowCmd=" << value;
  }
}

// A non-integer in one of the four numeric placement keys stops the restore
// there: the error is reported and nothing later (properties included) applies.
TEST(FormStorageRestore, NonIntegerPlacementValueStopsTheRestore) {
  struct Case {
    const char* body;
    bool movedBeforeError;
  };
  const Case cases[] = {
      {"FormVersion=abc\nCheckBoxClose_Checked=yes\n", false},
      {"Flags=abc\nNormPos=1,2,3,4\nPixelsPerInch=96\nCheckBoxClose_Checked=yes\n", false},
      {"NormPos=1,2,3,4\nPixelsPerInch=abc\nCheckBoxClose_Checked=yes\n", false},
      {"NormPos=1,2,3,4\nPixelsPerInch=96\nShowCmd=abc\nCheckBoxClose_Checked=yes\n", true},
  };
  for (const Case& c : cases) {
    const TRestorePlan plan = PlanFormRestore(Ini(c.body), Designed(), kScreen);
    EXPECT_EQ(plan.Error, QString("'abc' is not a valid integer value")) << c.body;
    EXPECT_EQ(plan.Move, c.movedBeforeError) << c.body;
    EXPECT_FALSE(plan.CheckBoxCloseChecked) << c.body;
  }
  // PixelsPerInch is only read when there is a position to restore.
  const TRestorePlan plan =
      PlanFormRestore(Ini("PixelsPerInch=abc\nCheckBoxClose_Checked=yes\n"), Designed(), kScreen);
  EXPECT_TRUE(plan.Error.isEmpty());
  EXPECT_EQ(plan.CheckBoxCloseChecked, true);
}

TEST(FormStorageRestore, BadPropertyIsSkippedSilentlyOthersStillApply) {
  const TRestorePlan plan = PlanFormRestore(
      Ini("MCUComboBox_ItemIndex=abc\nOpenDialog1_FileName=  /x/a b.hex  \nCheckBoxClose_Checked=1\n"),
      Designed(), kScreen);
  EXPECT_TRUE(plan.Error.isEmpty());
  EXPECT_FALSE(plan.McuItemIndex);
  EXPECT_EQ(plan.OpenDialogFileName, QString("/x/a b.hex"));
  EXPECT_FALSE(plan.OpenDialogInitialDir) << "a missing key leaves the property alone";
  EXPECT_EQ(plan.CheckBoxCloseChecked, true);
}

TEST(StrToIntStrict, AcceptsOnlyWholeDecimalNumbersIn32Bits) {
  EXPECT_EQ(StrToIntStrict(""), 0);
  EXPECT_EQ(StrToIntStrict(" -17 "), -17);
  EXPECT_EQ(StrToIntStrict("+5"), 5);
  EXPECT_EQ(StrToIntStrict("2147483647"), 2147483647);
  EXPECT_EQ(StrToIntStrict("-2147483648"), -2147483647 - 1);
  EXPECT_FALSE(StrToIntStrict("2147483648"));
  EXPECT_FALSE(StrToIntStrict("99999999999999999999999"));
  EXPECT_FALSE(StrToIntStrict("-"));
  EXPECT_FALSE(StrToIntStrict("1 2"));
  EXPECT_FALSE(StrToIntStrict("١٢"));  // non-ASCII digits
}

// Two screens side by side: 0..1919 and 1920..3199.
TEST(KeepOnScreens, MovesOnlyAWindowThatSticksOutInsideTheNearestScreen) {
  const QList<QRect> two = {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
  const struct {
    const char* name;
    QRect frame;
    QList<QRect> areas;
    QPoint to;
  } cases[] = {
      {"on one screen", QRect(100, 100, 500, 400), two, QPoint(100, 100)},
      {"across both, all visible", QRect(1700, 100, 500, 400), two, QPoint(1700, 100)},
      {"no screen known", QRect(-900, -900, 500, 400), {}, QPoint(-900, -900)},
      {"below the shorter screen", QRect(2000, 900, 500, 400), two, QPoint(2000, 624)},
      {"off to the right", QRect(4000, 100, 500, 400), two, QPoint(2700, 100)},
      {"larger than its screen", QRect(-50, -50, 2500, 1200), {QRect(0, 0, 1920, 1080)}, QPoint(0, 0)},
  };
  for (const auto& c : cases) EXPECT_EQ(KeepOnScreens(c.frame, c.areas), c.to) << c.name;
}

}  // namespace
}  // namespace quorvel::ui
