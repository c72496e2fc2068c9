// SPDX-License-Identifier: Apache-2.0
// What an upload proves it wrote, what --skip-blank leaves out, and how the
// engine reports progress, for every family in both layouts on the simulator:
//   - the Write commands and data the device received are the plan's, byte
//     for byte, and the bytes written are what was sent;
//   - the hashes are those of the flash the device holds over the ranges it
//     was sent, worked out here from its flash, and those `image` shows;
//   - skip-blank erases the same, sends less, and leaves the same flash;
//   - progress runs phase by phase, never backwards, each phase ending at its
//     total, nothing after the run's end.
#include "engine/upload/upload_proof.h"

#include <QByteArray>
#include <QCryptographicHash>

#include "engine/upload/upload_fixture.h"
#include "upload/write_plan.h"

namespace quorvel::test {
namespace {

constexpr std::uint32_t kPic32Boot = 0x1FC00000;

struct ProofCase {
  const char* name;
  const char* profileText;
  int family;
};
void PrintTo(const ProofCase& c, std::ostream* os) { *os << c.name; }

const ProofCase kCases[] = {
    {"Pic16Top", "family=PIC16", 1},
    {"Pic16Bottom", "family=PIC16,revision=0x1201", 1},
    {"Pic18Top", "family=PIC18", 2},
    {"Pic18FjBottom", "family=PIC18FJ,revision=0x1201", 3},
    {"Pic24Top", "family=PIC24", 4},
    {"Pic24Bottom", "family=PIC24,revision=0x1201", 4},
    {"DsPicTop", "family=dsPIC", 10},
    {"DsPic33Bottom", "family=dsPIC33,revision=0x1201", 11},
    {"Pic32Top", "family=PIC32", 20},
    {"Pic32Bottom", "family=PIC32,revision=0x1201", 20},
    {"ArmTop", "family=ARM", 30},
    {"StellarisBottom", "family=STELLARIS,revision=0x1201", 33},
    {"Stm32L1Top", "family=STM32L1XX", 34},
    {"Stm32F1Bottom", "family=STM32F1XX,revision=0x1201", 35},
    {"Stm32F2Top", "family=STM32F2XX", 36},
    {"Stm32F4Top", "family=STM32F4XX", 37},
    {"Stm32F4Bottom", "family=STM32F4XX,revision=0x1201", 37},
    {"TivaTop", "family=TIVA_C", 38},
};

struct WriteLine {
  std::uint32_t address = 0;
  std::uint32_t bytes = 0;
  bool operator==(const WriteLine&) const = default;
};

struct Received {
  std::vector<std::string> erases;
  std::vector<WriteLine> writes;
  Bytes data;  // every DATA chunk, in order
};

Received Parse(const std::vector<std::string>& trace) {
  Received r;
  for (const std::string& line : trace) {
    if (line.rfind("ERASE ", 0) == 0) r.erases.push_back(line);
    if (line.rfind("WRITE ", 0) == 0) {
      r.writes.push_back({static_cast<std::uint32_t>(std::stoul(line.substr(6, 10), nullptr, 16)),
                          static_cast<std::uint32_t>(std::stoul(line.substr(17)))});
    }
    if (line.rfind("DATA ", 0) == 0) {
      const QByteArray bytes = QByteArray::fromHex(QByteArray::fromStdString(line.substr(5)));
      r.data.insert(r.data.end(), bytes.begin(), bytes.end());
    }
  }
  return r;
}

std::string Sha256(const Bytes& bytes) {
  return QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<qsizetype>(bytes.size())),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

const char* PhaseName(UploadPhase p) {
  switch (p) {
    case UploadPhase::Erase:
      return "erase";
    case UploadPhase::Write:
      return "write";
    case UploadPhase::BootErase:
      return "boot-erase";
    case UploadPhase::BootWrite:
      return "boot-write";
  }
  return "?";
}

class UploadProofRun : public UploadFixture, public ::testing::WithParamInterface<ProofCase> {
 protected:
  int family = 0;
  Bytes image;
  Bytes boot;
  std::vector<testhex::Segment> segments;

  void SetUp() override {
    UploadFixture::SetUp();
    family = GetParam().family;
    // Data from the start of flash to past the bottom layout's program start,
    // with runs of erased flash for skip-blank to leave out.
    sim::SimProfile bottom;
    sim::DefaultProfile(static_cast<std::uint8_t>(family), bottom);
    const std::uint32_t start = sim::DefaultProgramStart(static_cast<std::uint8_t>(family));
    const std::uint32_t appOffset = SixteenBit(family) ? start / 2 * 3 : start;
    image = ProgramBytes(appOffset + 6000, 11);
    for (const auto& [from, count] :
         {std::pair<std::uint32_t, std::uint32_t>{300, 2000}, {appOffset + 900, 3000}}) {
      for (std::uint32_t i = from; i < from + count; ++i) image[i] = family == 1 && i % 2 != 0 ? 0x3F : 0xFF;
    }
    if (family == 1) {
      for (std::size_t i = 1; i < image.size(); i += 2) image[i] &= 0x3F;  // 14-bit words
    }
    segments = HexForImage(family, image);
    if (family == 20) {
      boot = ProgramBytes(300, 5);
      segments.push_back({kPic32Boot, boot});
    }
  }

  // Uploads the image to a newly plugged bootloader.
  void Upload(bool skipBlank) {
    Prepare(GetParam().profileText, segments);
    request.skipBlank = skipBlank;
    ui.uploadProgress.clear();
    ClickStart();
    ASSERT_TRUE(ui.history.contains("Completed successfully.")) << ui.history.join('\n').toStdString();
    Settle();
  }

  upload::UploadPlan Plan(bool skipBlank) const {
    return upload::PlanUpload(LinkPart().Record(), engine->Images().FlashImage, engine->Images().BootFlashImage, skipBlank);
  }

  // The flash as it reads back: erased bytes as erased flash reads (PIC16's
  // upper byte has six bits, so a written 0xFF reads as 0x3F).
  std::uint8_t ReadBack(sim::BootloaderModel& model, std::uint32_t index) const {
    const std::uint8_t value = model.FlashByte(index).value_or(0xFF);
    return family == 1 && index % 2 != 0 ? value & 0x3F : value;
  }
};

TEST_P(UploadProofRun, SendsThePlanAndProvesWhatTheFlashHolds) {
  Upload(false);
  const Received got = Parse(Trace(device));
  const upload::UploadPlan plan = Plan(false);
  ASSERT_TRUE(plan.problem.empty()) << plan.problem;

  std::vector<WriteLine> planned;
  Bytes plannedData;
  auto add = [&](const upload::StagedRange& range) {
    for (const upload::PlannedWrite& w : range.writes) {
      planned.push_back({w.address, static_cast<std::uint32_t>(w.bytes)});
      plannedData.insert(plannedData.end(), range.bytes.begin() + w.offset,
                         range.bytes.begin() + w.offset + w.bytes);
    }
  };
  for (const upload::StagedRange& range : plan.program) add(range);
  if (plan.hasBoot) add(plan.boot);
  EXPECT_EQ(got.writes, planned);
  EXPECT_TRUE(got.data == plannedData) << "the data sent differs from the plan's";
  EXPECT_EQ(LastUpload().proof.bytesWritten, got.data.size());

  // Hashes from the flash the device holds over what it was sent.
  Bytes programFlash;
  Bytes bootFlash;
  for (const WriteLine& w : got.writes) {
    const TByteArray bytes = Model().FlashRange(Model().ByteIndex(w.address), w.bytes);
    Bytes& into = family == 20 && w.address >= kPic32Boot ? bootFlash : programFlash;
    into.insert(into.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(LastUpload().proof.programSha256, Sha256(programFlash));
  EXPECT_EQ(LastUpload().proof.bootSha256, family == 20 ? Sha256(bootFlash) : std::string());

  // `image` shows the same numbers from the same files.
  const UploadProof shown = upload::ProofOf(plan);
  EXPECT_EQ(shown.bytesWritten, LastUpload().proof.bytesWritten);
  EXPECT_EQ(shown.programSha256, LastUpload().proof.programSha256);
  EXPECT_EQ(shown.bootSha256, LastUpload().proof.bootSha256);
}

TEST_P(UploadProofRun, SkipBlankErasesTheSameSendsLessAndLeavesTheSameFlash) {
  Upload(false);
  const int full = device;
  const Received fullGot = Parse(Trace(full));
  const UploadProof fullProof = LastUpload().proof;

  Upload(true);
  const Received skipGot = Parse(Trace(device));
  EXPECT_EQ(skipGot.erases, fullGot.erases);
  EXPECT_LT(skipGot.data.size(), fullGot.data.size());
  EXPECT_EQ(LastUpload().proof.bytesWritten, skipGot.data.size());
  EXPECT_EQ(LastUpload().proof.programSha256, fullProof.programSha256);
  EXPECT_EQ(LastUpload().proof.bootSha256, fullProof.bootSha256);
  EXPECT_EQ(upload::ProofOf(Plan(true)).bytesWritten, LastUpload().proof.bytesWritten);

  sim::BootloaderModel& fullModel = *platform.Model(full);
  int mismatches = 0;
  for (const WriteLine& w : fullGot.writes) {
    const std::uint32_t from = fullModel.ByteIndex(w.address);
    for (std::uint32_t i = from; i < from + w.bytes && mismatches < 5; ++i) {
      if (ReadBack(fullModel, i) != ReadBack(Model(), i)) {
        ++mismatches;
        ADD_FAILURE() << "flash index 0x" << std::hex << i << ": " << int{ReadBack(fullModel, i)}
                      << " after a full upload, " << int{ReadBack(Model(), i)} << " after skip-blank";
      }
    }
  }
}

TEST_P(UploadProofRun, ProgressGoesPhaseByPhaseNeverBackAndEndsWithTheRun) {
  Upload(GetParam().family % 2 == 0);  // both plans, across the families
  const auto& reports = ui.uploadProgress;
  ASSERT_FALSE(reports.empty());
  const qsizetype end = ui.history.indexOf("Completed successfully.");
  std::uint64_t writeTotal = 0;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const RecordedProgress& r = reports[i];
    SCOPED_TRACE(std::string(PhaseName(r.phase)) + " report " + std::to_string(i));
    EXPECT_LE(r.historyLines, end) << "a report after the run ended";
    EXPECT_LE(r.done, r.total);
    const bool first = i == 0 || reports[i - 1].phase != r.phase;
    if (first) {
      EXPECT_EQ(r.done, 0u) << "a phase starts at 0";
      if (i > 0) {
        EXPECT_LT(static_cast<int>(reports[i - 1].phase), static_cast<int>(r.phase)) << "a phase came back";
        EXPECT_EQ(reports[i - 1].done, reports[i - 1].total) << "the phase before ended short of its total";
      }
      if (r.phase == UploadPhase::Write || r.phase == UploadPhase::BootWrite) writeTotal += r.total;
    } else {
      EXPECT_GE(r.done, reports[i - 1].done);
      EXPECT_EQ(r.total, reports[i - 1].total);
    }
  }
  EXPECT_EQ(reports.back().done, reports.back().total);
  EXPECT_EQ(reports.back().phase, family == 20 ? UploadPhase::BootWrite : UploadPhase::Write);
  EXPECT_EQ(writeTotal, LastUpload().proof.bytesWritten);
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, UploadProofRun, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------

class UploadProofStop : public UploadFixture {};

TEST_F(UploadProofStop, NoProgressAfterAStopAndNoProofOfAStoppedRun) {
  Prepare("family=ARM", {{0, ProgramBytes(40000)}});
  ClickDuringUpload([&] {
    return !ui.uploadProgress.empty() && ui.uploadProgress.back().phase == UploadPhase::Write &&
           ui.uploadProgress.back().done > 0;
  });
  ClickStart();
  const qsizetype aborted = ui.history.indexOf("Upload aborted.");
  ASSERT_GE(aborted, 0) << ui.history.join('\n').toStdString();
  ASSERT_FALSE(ui.uploadProgress.empty());
  EXPECT_LE(ui.uploadProgress.back().historyLines, aborted);
  EXPECT_LT(ui.uploadProgress.back().done, ui.uploadProgress.back().total);
  EXPECT_EQ(LastUpload().proof.bytesWritten, 0u);
  EXPECT_TRUE(LastUpload().proof.programSha256.empty());
}

}  // namespace
}  // namespace quorvel::test
