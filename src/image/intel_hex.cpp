// SPDX-License-Identifier: Apache-2.0
#include "image/intel_hex.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace quorvel {

namespace {

constexpr std::string_view kEndMarker = ":00000001FF";
// A record reads at most up to character 11 + 2 * 254 (1-based); a little slack above that.
constexpr std::size_t kLineHeadMax = 528;

constexpr std::uint8_t kNotHex = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeHexTable() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kNotHex;
  for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
  return t;
}
constexpr std::array<std::uint8_t, 256> kHex = MakeHexTable();

inline std::uint8_t HexOf(char c) { return kHex[static_cast<unsigned char>(c)]; }

// Two hexadecimal digits at once, by the pair of characters: the byte, or kNotPair.
constexpr std::uint16_t kNotPair = 0x100;
constexpr std::array<std::uint16_t, 65536> MakePairTable() {
  std::array<std::uint16_t, 65536> t{};
  for (std::size_t i = 0; i < t.size(); ++i) {
    const std::uint8_t hi = kHex[i >> 8];
    const std::uint8_t lo = kHex[i & 0xFF];
    t[i] = (hi | lo) & 0xF0u ? kNotPair : static_cast<std::uint16_t>(hi << 4 | lo);
  }
  return t;
}
constexpr std::array<std::uint16_t, 65536> kPair = MakePairTable();
inline std::uint16_t PairOf(const char* p) {
  return kPair[static_cast<std::size_t>(static_cast<unsigned char>(p[0])) << 8 | static_cast<unsigned char>(p[1])];
}
// First `c` in [from, end), or end.
inline const char* Find(const char* from, const char* end, char c) {
  const void* hit = std::memchr(from, c, static_cast<std::size_t>(end - from));
  return hit != nullptr ? static_cast<const char*>(hit) : end;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsEndMarker(std::string_view line) {
  if (line.size() != kEndMarker.size()) return false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (LowerAscii(line[i]) != LowerAscii(kEndMarker[i])) return false;
  }
  return true;
}

HexLoadResult Fail(HexLoadStatus status, std::string message) { return {status, std::move(message)}; }

// The conversion error names exactly the characters that were read (none past the line's end).
HexLoadResult NotAnInteger(std::string_view charsRead) {
  std::string text = "'$";
  text.append(charsRead);
  text += "' is not a valid integer value";
  return Fail(HexLoadStatus::InvalidInteger, std::move(text));
}

std::string OffsetMessage(std::uint64_t lineIndex) {
  return "Start address of hex input in line '" + std::to_string(lineIndex) + "' violates internal flash offset.";
}

std::string BeyondMessage(std::uint64_t lineIndex, std::string_view fileName, std::uint64_t address) {
  char where[24];
  std::snprintf(where, sizeof where, "0x%08llX", static_cast<unsigned long long>(address));
  return "Line " + std::to_string(lineIndex) + " of HEX file '" + std::string(fileName) + "' places data at " +
         where + ", beyond the flash of any device. Nothing was loaded.";
}

// The entry of a decoded record: count, address (high, low), type, then its data bytes (type 00) or
// its base (types 02 and 04).
std::size_t EntryBytes(const std::uint8_t* head) {
  const std::uint8_t type = head[3];
  return 4u + (type == 0 ? head[0] : (type == 2 || type == 4) ? 2u : 0u);
}

// A decoded record's bytes, already in memory.
class DecodedRecord final : public SourceRecord {
 public:
  DecodedRecord(std::uint32_t address, const std::uint8_t* entry)
      : SourceRecord(address, entry[0], entry[3] == 0), data_(entry + 4) {}
  bool CopyBytes(std::uint8_t* out) const override {
    if (carriesData()) std::memcpy(out, data_, count());
    return true;
  }

 private:
  const std::uint8_t* data_;
};

// While every line so far is one well-formed record, as toolchains write them, the first pass hands
// each record to the sink as soon as its checksum is known to be good, and the text is read once:
// neither a second reading nor a copy of the records, whose fresh memory costs more than decoding
// them. What the first pass finds later still comes first: a bad line restarts the sink, so that
// it holds what it would hold had it been given nothing. Any other line gives the shortcut up: the
// sink is restarted and the second pass reads the text again.
class EarlyRecords {
 public:
  EarlyRecords(std::string_view fileName, RecordSink& sink) : fileName_(fileName), sink_(sink) {}

  bool usable() const { return usable_; }
  // Loaded, or how the sink refused a record.
  const HexLoadResult& outcome() const { return outcome_; }

  void GiveUp() {
    usable_ = false;
    Discard();
  }
  // Takes back every record handed so far.
  void Discard() {
    if (handed_) sink_.Restart();
    handed_ = false;
  }

  // The decoded record of line `lineIndex`, all of whose lines before it were records too.
  void Take(const std::uint8_t* entry, std::uint64_t lineIndex) {
    if (outcome_.status != HexLoadStatus::Loaded) return;  // after a refusal only checksums matter
    const std::uint8_t type = entry[3];
    if (type == 4) upper_ = static_cast<std::uint32_t>(entry[4] << 8 | entry[5]);
    if (type == 2) segment_ = static_cast<std::uint32_t>(entry[4] << 8 | entry[5]);
    // As GNU objcopy reads it: both bases add up, each kept until a record of its own type changes it.
    const std::uint64_t full = std::uint64_t{upper_} * 0x10000u + segment_ * 16u +
                               static_cast<std::uint32_t>(entry[1] << 8 | entry[2]);
    if (full > 0xFFFFFFFFu && type == 0) {
      outcome_ = Fail(HexLoadStatus::TooLarge, BeyondMessage(lineIndex, fileName_, full));
      return;
    }
    const auto address = static_cast<std::uint32_t>(std::min<std::uint64_t>(full, 0xFFFFFFFFu));
    handed_ = true;
    switch (sink_.Take(DecodedRecord(address, entry))) {
      case RecordVerdict::Taken:
      case RecordVerdict::Unreadable:  // decoded bytes are always readable
        break;
      case RecordVerdict::BelowFlashBase:
        outcome_ = Fail(HexLoadStatus::FlashOffset, OffsetMessage(lineIndex));
        break;
      case RecordVerdict::BeyondAnyDevice:
        outcome_ = Fail(HexLoadStatus::TooLarge, BeyondMessage(lineIndex, fileName_, address));
        break;
    }
  }

 private:
  std::string_view fileName_;
  RecordSink& sink_;
  std::uint32_t upper_ = 0;
  std::uint32_t segment_ = 0;
  bool usable_ = true;
  bool handed_ = false;
  HexLoadResult outcome_{HexLoadStatus::Loaded, {}};
};

// Splits the source into lines (ended by CR, LF or CR LF; not trimmed) and hands each line to the
// sink as one or more pieces: sink.Piece(text, lineEndsHere). A line that lies whole in one run
// arrives as a single piece. The sink returns false to end the pass. False here means a read error.
template <class Sink>
bool SplitLines(TextSource& source, Sink& sink) {
  bool afterCr = false;    // the previous run ended with CR: a leading LF belongs to it
  bool lineOpen = false;   // pieces of an unfinished line have been handed over
  bool firstRun = true;
  std::string_view run;
  for (;;) {
    if (!source.Next(run)) return false;
    if (run.empty()) break;
    const char* p = run.data();
    const char* const end = p + run.size();
    // Editors on other systems may save the file with a UTF-8 byte order mark; taken as text it
    // would hide the first record, typically the extended address that places all the others.
    if (firstRun && run.substr(0, 3) == "\xEF\xBB\xBF") p += 3;
    firstRun = false;
    if (afterCr) {
      if (*p == '\n') ++p;
      afterCr = false;
    }
    // First CR and first LF at or after p (or end); each is searched again only once p has passed
    // it, so the work stays linear whatever mix of line ends the text uses.
    const char* nextCr = Find(p, end, '\r');
    const char* nextLf = Find(p, end, '\n');
    while (p < end) {
      if (nextCr < p) nextCr = Find(p, end, '\r');
      if (nextLf < p) nextLf = Find(p, end, '\n');
      const char* q = std::min(nextCr, nextLf);
      const auto piece = std::string_view(p, static_cast<std::size_t>(q - p));
      if (q == end) {
        lineOpen = true;
        if (!sink.Piece(piece, false)) return true;
        break;
      }
      lineOpen = false;
      if (!sink.Piece(piece, true)) return true;
      if (*q == '\r') {
        if (q + 1 < end) {
          if (q[1] == '\n') ++q;
        } else {
          afterCr = true;
        }
      }
      p = q + 1;
    }
  }
  if (lineOpen) sink.Piece({}, true);
  return true;
}

// ---------------------------------------------------------------------------------------------
// First pass: every line up to the end marker must have a checksum byte of 0. Pairs of characters
// after the ':' are summed; an odd last character is read as a one-digit number.

class ChecksumPass {
 public:
  ChecksumPass(std::string_view fileName, EarlyRecords& early) : fileName_(fileName), early_(early) {}

  bool Piece(std::string_view s, bool lineEnds) {
    if (!early_.usable()) return General(s, lineEnds);
    if (!gathering_) {
      if (lineEnds) return WholeLine(s);
      if (s.size() > kLineHeadMax) return GiveUp(s, lineEnds);
      // The line goes on in the next run.
      gathered_.assign(s);
      gathering_ = true;
      return true;
    }
    gathered_.append(s);
    if (gathered_.size() > kLineHeadMax) {
      gathering_ = false;
      return GiveUp(gathered_, lineEnds);
    }
    if (!lineEnds) return true;
    gathering_ = false;
    return WholeLine(gathered_);
  }

  bool markerReached() const { return markerReached_; }
  const HexLoadResult& failure() const { return failure_; }
  bool failed() const { return failure_.status != HexLoadStatus::Loaded; }

 private:
  // Longest line decoded here: a record of 255 data bytes and its checksum.
  static constexpr std::size_t kWholeRecordBytes = 4 + 255 + 1;

  // A whole line that is a record with a good checksum is decoded here, once, and handed on. Any
  // other line goes the general way, which words every failure exactly.
  bool WholeLine(std::string_view s) {
    if (s.size() == kEndMarker.size() && IsEndMarker(s)) {
      markerReached_ = true;
      return false;
    }
    const std::size_t n = (s.size() - 1) / 2;
    if (s.size() < 11 || s.size() % 2 == 0 || s[0] != ':' || n > kWholeRecordBytes) return GiveUp(s, true);
    std::uint8_t b[kWholeRecordBytes];
    std::uint32_t sum = 0;
    std::uint16_t bad = 0;
    const char* p = s.data() + 1;
    for (std::size_t k = 0; k < n; ++k, p += 2) {
      const std::uint16_t v = PairOf(p);
      bad |= v;
      b[k] = static_cast<std::uint8_t>(v);
      sum += v;
    }
    // The line must hold all that is read of the record.
    if ((bad & kNotPair) != 0 || (sum & 0xFFu) != 0 || n < EntryBytes(b)) return GiveUp(s, true);
    early_.Take(b, lineIndex_);
    ++lineIndex_;
    return true;
  }

  bool GiveUp(std::string_view s, bool lineEnds) {
    early_.GiveUp();
    return General(s, lineEnds);
  }

  bool General(std::string_view s, bool lineEnds) {
    std::size_t i = 0;
    if (length_ == 0) {
      if (s.empty()) return lineEnds ? EndLine() : true;
      skipping_ = s[0] != ':';
      length_ = 1;
      i = 1;
    }
    if (skipping_) {
      return lineEnds ? EndLine() : true;
    }
    // s[k] is character (base + k) of the line, 0-based.
    const std::uint64_t base = length_ - i;
    if (base < kEndMarker.size()) {
      const std::size_t n = std::min(s.size(), kEndMarker.size() - static_cast<std::size_t>(base));
      for (std::size_t k = i; k < n; ++k) {
        if (LowerAscii(s[k]) != LowerAscii(kEndMarker[base + k])) markerSoFar_ = false;
      }
    }
    length_ += s.size() - i;
    if (hasPending_ && i < s.size()) {
      if (!AddPair(pending_, s[i])) return false;
      hasPending_ = false;
      ++i;
    }
    const char* p = s.data() + i;
    const char* const end = s.data() + s.size();
    std::uint32_t sum = sum_;
    for (; end - p >= 2; p += 2) {
      const std::uint8_t hi = HexOf(p[0]);
      const std::uint8_t lo = HexOf(p[1]);
      if ((hi | lo) & 0xF0u) {
        sum_ = sum;
        return Convert(std::string_view(p, 2));
      }
      sum += static_cast<std::uint32_t>(hi << 4 | lo);
    }
    sum_ = sum;
    if (p < end) {
      pending_ = *p;
      hasPending_ = true;
    }
    return lineEnds ? EndLine() : true;
  }

  bool AddPair(char hiChar, char loChar) {
    const std::uint8_t hi = HexOf(hiChar);
    const std::uint8_t lo = HexOf(loChar);
    if ((hi | lo) & 0xF0u) {
      const char both[2] = {hiChar, loChar};
      return Convert(std::string_view(both, 2));
    }
    sum_ += static_cast<std::uint32_t>(hi << 4 | lo);
    return true;
  }

  bool Convert(std::string_view chars) {
    failure_ = NotAnInteger(chars);
    return false;
  }

  bool EndLine() {
    if (!skipping_ && length_ > 0) {
      if (markerSoFar_ && length_ == kEndMarker.size()) {
        markerReached_ = true;
        return false;
      }
      if (hasPending_) {
        const std::uint8_t v = HexOf(pending_);
        if (v == kNotHex) return Convert(std::string_view(&pending_, 1));
        sum_ += v;
      }
      if ((sum_ & 0xFFu) != 0) {
        failure_ = Fail(HexLoadStatus::ChecksumFailed,
                        "CRC check failed. Invalid CRC at line " + std::to_string(lineIndex_) + " in file '" +
                            std::string(fileName_) + "'.\r\nNo data will be loaded.");
        return false;
      }
    }
    ++lineIndex_;
    length_ = 0;
    sum_ = 0;
    hasPending_ = false;
    skipping_ = false;
    markerSoFar_ = true;
    return true;
  }

  std::string_view fileName_;
  EarlyRecords& early_;
  std::string gathered_;  // a line split between runs, while the records are decoded
  bool gathering_ = false;
  std::uint64_t lineIndex_ = 0;
  std::uint64_t length_ = 0;  // characters of the current line seen so far, ':' included
  std::uint32_t sum_ = 0;
  char pending_ = 0;          // first half of a pair split between two pieces
  bool hasPending_ = false;
  bool skipping_ = false;
  bool markerSoFar_ = true;
  bool markerReached_ = false;
  HexLoadResult failure_{HexLoadStatus::Loaded, {}};
};

// ---------------------------------------------------------------------------------------------
// Second pass: reads the fields of each record and hands it to the sink; data bytes are decoded
// only when the sink stores them.

// One ':' line as a record. Data bytes start at character 10 (1-based); pairs that exist and are
// valid are copied as read, and the first that is not sets the conversion error.
class HexRecord final : public SourceRecord {
 public:
  HexRecord(std::uint32_t address, std::uint32_t count, bool data, std::string_view line, HexLoadResult& failure)
      : SourceRecord(address, count, data), line_(line), failure_(failure) {}

  bool CopyBytes(std::uint8_t* out) const override {
    const std::size_t available = line_.size() > 9 ? line_.size() - 9 : 0;
    const char* p = line_.data() + 9;
    const std::uint32_t n = count();
    for (std::uint32_t i = 0; i < n; ++i, p += 2) {
      if (available < 2 * std::size_t{i} + 2) {
        const std::size_t have = available > 2 * std::size_t{i} ? available - 2 * std::size_t{i} : 0;
        failure_ = NotAnInteger(std::string_view(p, have));
        return false;
      }
      const std::uint8_t hi = HexOf(p[0]);
      const std::uint8_t lo = HexOf(p[1]);
      if ((hi | lo) & 0xF0u) {
        failure_ = NotAnInteger(std::string_view(p, 2));
        return false;
      }
      out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
  }

 private:
  std::string_view line_;
  HexLoadResult& failure_;
};

class RecordPass {
 public:
  RecordPass(std::string_view fileName, RecordSink& sink) : fileName_(fileName), sink_(sink) {}

  bool Piece(std::string_view s, bool lineEnds) {
    if (lineEnds && !split_) return Line(s, s.size());
    split_ = true;
    const std::size_t room = kLineHeadMax - headLength_;
    const std::size_t take = std::min(room, s.size());
    if (take > 0) std::memcpy(head_.data() + headLength_, s.data(), take);
    headLength_ += take;
    fullLength_ += s.size();
    if (!lineEnds) return true;
    const bool more = Line(std::string_view(head_.data(), headLength_), fullLength_);
    split_ = false;
    headLength_ = 0;
    fullLength_ = 0;
    return more;
  }

  bool markerReached() const { return markerReached_; }
  const HexLoadResult& failure() const { return failure_; }
  bool failed() const { return failure_.status != HexLoadStatus::Loaded; }

 private:
  // Reads `count` hex characters from 1-based position `pos`; a field cut short by the line's
  // end is the conversion error over the characters that exist.
  bool Field(std::string_view line, std::size_t pos, std::size_t count, std::uint32_t& value) {
    const std::string_view chars = pos - 1 < line.size() ? line.substr(pos - 1, count) : std::string_view{};
    std::uint32_t v = 0;
    bool ok = chars.size() == count;
    for (char c : chars) {
      const std::uint8_t d = HexOf(c);
      if (d == kNotHex) ok = false;
      v = v << 4 | (d & 0x0Fu);
    }
    if (!ok) {
      failure_ = NotAnInteger(chars);
      return false;
    }
    value = v;
    return true;
  }

  bool Line(std::string_view line, std::uint64_t fullLength) {
    if (fullLength == kEndMarker.size() && IsEndMarker(line)) {
      markerReached_ = true;
      return false;
    }
    const std::uint64_t lineIndex = lineIndex_++;
    if (line.empty() || line[0] != ':') return true;

    std::uint32_t type = 0, count = 0, address = 0;
    if (!Field(line, 8, 2, type)) return false;
    if (type == 4 && !Field(line, 10, 4, upperAddress_)) return false;
    if (type == 2 && !Field(line, 10, 4, segment_)) return false;
    if (!Field(line, 2, 2, count)) return false;
    if (!Field(line, 4, 4, address)) return false;
    // As GNU objcopy reads it: both bases add up, each kept until a record of its own type changes it.
    const std::uint64_t fullAddress = std::uint64_t{upperAddress_} * 0x10000u + segment_ * 16u + address;
    if (fullAddress > 0xFFFFFFFFu && type == 0) return Beyond(lineIndex, fullAddress);
    // Only a data record can reach past 4 GB here; any other is far above every flash base.
    const auto hexAddress = static_cast<std::uint32_t>(std::min<std::uint64_t>(fullAddress, 0xFFFFFFFFu));

    switch (sink_.Take(HexRecord(hexAddress, count, type == 0, line, failure_))) {
      case RecordVerdict::Taken:
        return true;
      case RecordVerdict::BelowFlashBase:
        failure_ = Fail(HexLoadStatus::FlashOffset, OffsetMessage(lineIndex));
        return false;
      case RecordVerdict::BeyondAnyDevice:
        return Beyond(lineIndex, hexAddress);
      case RecordVerdict::Unreadable:  // the record has set the conversion error
        return false;
    }
    return false;
  }

  bool Beyond(std::uint64_t lineIndex, std::uint64_t address) {
    failure_ = Fail(HexLoadStatus::TooLarge, BeyondMessage(lineIndex, fileName_, address));
    return false;
  }

  std::string_view fileName_;
  RecordSink& sink_;
  std::uint32_t upperAddress_ = 0;  // extended linear address (type 04)
  std::uint32_t segment_ = 0;       // extended segment address (type 02)
  std::uint64_t lineIndex_ = 0;
  bool markerReached_ = false;
  HexLoadResult failure_{HexLoadStatus::Loaded, {}};
  // A line split between two runs is gathered here, as far as any record can read.
  std::array<char, kLineHeadMax> head_{};
  std::size_t headLength_ = 0;
  std::uint64_t fullLength_ = 0;
  bool split_ = false;
};

}  // namespace

HexLoadResult ReadIntelHex(TextSource& source, std::string_view fileName, RecordSink& sink) {
  EarlyRecords early(fileName, sink);
  ChecksumPass checksums(fileName, early);
  if (!SplitLines(source, checksums)) {
    early.Discard();
    return Fail(HexLoadStatus::Unreadable, source.error());
  }
  // A bad line is read the general way, which has taken back what was handed on.
  if (checksums.failed()) return checksums.failure();

  // Rewound even when the text need not be read again: a source that cannot be read twice fails
  // alike whatever its lines look like.
  if (!source.Rewind()) {
    early.Discard();
    return Fail(HexLoadStatus::Unreadable, source.error());
  }
  if (early.usable()) return early.outcome();
  RecordPass records(fileName, sink);
  if (!SplitLines(source, records)) return Fail(HexLoadStatus::Unreadable, source.error());
  if (records.failed()) return records.failure();
  return {HexLoadStatus::Loaded, {}};
}

}  // namespace quorvel
