// SPDX-License-Identifier: Apache-2.0
// The Intel HEX reader on its own, against a sink that records what it is handed: which lines
// become records, at which address, and how the sink's refusals are worded.
#include "image/intel_hex.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/hex_writer.h"

namespace quorvel {
namespace {

namespace th = testhex;

struct Seen {
  std::uint32_t address;
  std::uint32_t count;
  bool data;
  bool operator==(const Seen&) const = default;
};

// Records every record; answers `verdict` for record number `refuseAt` (0-based), Taken otherwise.
// Stores the bytes of data records only when `decode` is set.
class RecordingSink final : public RecordSink {
 public:
  RecordVerdict Take(const SourceRecord& record) override {
    seen.push_back({record.address(), record.count(), record.carriesData()});
    if (seen.size() - 1 == refuseAt) return verdict;
    if (decode && record.carriesData()) {
      std::vector<std::uint8_t> bytes(record.count());
      if (!record.CopyBytes(bytes.data())) return RecordVerdict::Unreadable;
      decoded.push_back(bytes);
    }
    return RecordVerdict::Taken;
  }
  void Restart() override {
    seen.clear();
    decoded.clear();
  }
  std::vector<Seen> seen;
  std::vector<std::vector<std::uint8_t>> decoded;
  bool decode = true;
  std::size_t refuseAt = SIZE_MAX;
  RecordVerdict verdict = RecordVerdict::Taken;
};

// Text in memory that counts how often the reader takes it.
class CountingSource final : public TextSource {
 public:
  explicit CountingSource(std::string_view text) : text_(text) {}
  bool Next(std::string_view& run) override {
    const bool ok = text_.Next(run);
    if (!run.empty()) ++reads;
    return ok;
  }
  bool Rewind() override { return text_.Rewind(); }
  int reads = 0;

 private:
  MemorySource text_;
};

HexLoadResult Read(const std::string& text, RecordingSink& sink, int* reads = nullptr) {
  CountingSource source(text);
  const HexLoadResult result = ReadIntelHex(source, "a.hex", sink);
  if (reads != nullptr) *reads = source.reads;
  return result;
}

TEST(IntelHexReader, HandsEachRecordLineWithItsFullAddressUpToTheEndMarker) {
  const std::string text = th::Record(0, 0x0010, {1, 2}) + "\r\n" + "; a comment\r\n" +
                           th::LinearAddressRecord(0x0800) + "\n" + th::Record(0, 0xFFFF, {3}) + "\r" +
                           th::Record(5, 0x0004, {0, 0, 0, 0}) + "\r\n" + th::EndRecord() + "\r\n" +
                           th::Record(0, 0x0020, {4}) + "\r\n";
  RecordingSink sink;
  ASSERT_EQ(Read(text, sink).status, HexLoadStatus::Loaded);
  // The 04 record carries its own new upper address; lines after the end marker are never read.
  EXPECT_EQ(sink.seen, (std::vector<Seen>{{0x10, 2, true},
                                          {0x08000000, 2, false},
                                          {0x0800FFFF, 1, true},
                                          {0x08000004, 4, false}}));
  EXPECT_EQ(sink.decoded, (std::vector<std::vector<std::uint8_t>>{{1, 2}, {3}}));
}

// A record announcing more bytes than its line holds passes the checksum pass when its sum is 0;
// whether that is an error depends on whether the sink wants the bytes.
TEST(IntelHexReader, DecodesDataBytesOnlyWhenTheSinkStoresThem) {
  const std::string text = ":03000000AA53\r\n";
  RecordingSink ignoring;
  ignoring.decode = false;
  EXPECT_EQ(Read(text, ignoring).status, HexLoadStatus::Loaded);

  RecordingSink storing;
  const HexLoadResult r = Read(text, storing);
  EXPECT_EQ(r.status, HexLoadStatus::InvalidInteger);
  EXPECT_EQ(r.message, "'$' is not a valid integer value");
}

TEST(IntelHexReader, WordsTheSinksRefusalsWithTheLineAndStops) {
  const std::string text = "junk\r\n" + th::Record(0, 0, {1}) + "\r\n" + th::LinearAddressRecord(0x1234) + "\r\n" +
                           th::Record(0, 0xABCD, {2}) + "\r\n" + th::Record(0, 0, {3}) + "\r\n";
  RecordingSink below;
  below.refuseAt = 1;
  below.verdict = RecordVerdict::BelowFlashBase;
  HexLoadResult r = Read(text, below);
  EXPECT_EQ(r.status, HexLoadStatus::FlashOffset);
  // Lines count from 0, the junk line included.
  EXPECT_EQ(r.message, "Start address of hex input in line '2' violates internal flash offset.");
  EXPECT_EQ(below.seen.size(), 2u);

  RecordingSink beyond;
  beyond.refuseAt = 2;
  beyond.verdict = RecordVerdict::BeyondAnyDevice;
  r = Read(text, beyond);
  EXPECT_EQ(r.status, HexLoadStatus::TooLarge);
  EXPECT_EQ(r.message,
            "Line 3 of HEX file 'a.hex' places data at 0x1234ABCD, beyond the flash of any device. Nothing was "
            "loaded.");
  EXPECT_EQ(beyond.seen.size(), 3u);
}

// A file of nothing but records is read and decoded once; a line of anything else makes the reader
// read the text again. Both must hand the sink the same records and word its refusals alike.
TEST(IntelHexReader, FilesOfOnlyRecordsAndFilesWithOtherLinesReadAlike) {
  const std::string records = th::LinearAddressRecord(0x0800) + "\r\n" + th::Record(0, 0x0010, {1, 2}) + "\r\n" +
                              th::Record(2, 0, {0x10, 0}) + "\n" + th::Record(0, 0xFFF0, {3}) + "\r" +
                              th::Record(5, 0, {0, 0, 0, 0}) + "\r\n" +
                              th::Record(0, 0, std::vector<std::uint8_t>(255, 4)) + "\r\n";  // the longest
  for (std::size_t refuseAt : {SIZE_MAX, std::size_t{3}}) {
    RecordingSink decoded, reread;
    decoded.refuseAt = reread.refuseAt = refuseAt;
    decoded.verdict = reread.verdict = RecordVerdict::BelowFlashBase;
    int readsA = 0, readsB = 0;
    const HexLoadResult a = Read(records + th::EndRecord(), decoded, &readsA);
    const HexLoadResult b = Read(records + "; built by hand\r\n" + th::EndRecord(), reread, &readsB);
    EXPECT_EQ(readsA, 1) << "well-formed records, the longest included, are decoded in the first pass";
    EXPECT_EQ(readsB, 2);
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.message, b.message);
    EXPECT_EQ(decoded.seen, reread.seen);
    EXPECT_EQ(decoded.decoded, reread.decoded);
    EXPECT_EQ(decoded.seen.size(), refuseAt == 3 ? 4u : 6u);
    EXPECT_EQ(decoded.seen[3], (Seen{0x08010000 + 0xFFF0, 1, true})) << "02 and 04 bases add up";
  }
}

// A source that fails after its first run, or cannot go back to its start.
class FailingSource final : public TextSource {
 public:
  FailingSource(std::string_view text, bool failRewind) : text_(text), failRewind_(failRewind) {}
  bool Next(std::string_view& run) override {
    if (given_ && !failRewind_) return false;
    run = given_ ? std::string_view{} : text_;
    given_ = true;
    return true;
  }
  bool Rewind() override { return !failRewind_; }

 private:
  std::string_view text_;
  bool failRewind_;
  bool given_ = false;
};

TEST(IntelHexReader, ASourceThatFailsLeavesTheSinkNoRecord) {
  const std::string text = th::Record(0, 0, {1}) + "\r\n" + th::Record(0, 1, {2}) + "\r\n";
  for (bool failRewind : {false, true}) {
    FailingSource source(text, failRewind);
    RecordingSink sink;
    EXPECT_EQ(ReadIntelHex(source, "a.hex", sink).status, HexLoadStatus::Unreadable);
    EXPECT_TRUE(sink.seen.empty()) << failRewind;
  }
}

// Two NULs are no hex digits, though a table of pairs indexed by them starts there.
TEST(IntelHexReader, NulCharactersAreNoDigits) {
  RecordingSink sink;
  EXPECT_EQ(Read(std::string(":01000000\0\0FF\r\n", 15), sink).status, HexLoadStatus::InvalidInteger);
  EXPECT_TRUE(sink.seen.empty());
}

// Records handed on before the bad line are taken back, and a refusal of one of them does not
// hide the bad checksum after it.
TEST(IntelHexReader, ChecksumFailureLeavesTheSinkNoRecord) {
  std::string bad = th::Record(0, 0x40, {9});
  bad.back() = bad.back() == '0' ? '1' : '0';
  for (std::size_t refuseAt : {SIZE_MAX, std::size_t{0}}) {
    RecordingSink sink;
    sink.refuseAt = refuseAt;
    sink.verdict = RecordVerdict::BelowFlashBase;
    const HexLoadResult r = Read(th::Record(0, 0, {1}) + "\r\n" + th::Record(0, 1, {2}) + "\r\n" + bad + "\r\n", sink);
    EXPECT_EQ(r.status, HexLoadStatus::ChecksumFailed);
    EXPECT_TRUE(sink.seen.empty());
  }
}

}  // namespace
}  // namespace quorvel
