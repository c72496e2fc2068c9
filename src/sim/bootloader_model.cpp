// SPDX-License-Identifier: Apache-2.0
#include "sim/bootloader_model.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "core/families.h"

namespace quorvel::sim {

namespace {

constexpr std::uint8_t kMarker = 0x0F;
constexpr std::uint8_t kSync = 1, kInfo = 2, kBoot = 3, kReboot = 4, kWrite = 11, kErase = 21;
// A family code the uploader does not know: byte-addressed flash from 0, erased in blocks.
constexpr FamilyFacts kUnknownFamily{
    0, "", "", "", FamilyGroup::Pic8, 1, 1, 1, 0, BelowHexBase::Ignored, OldHexLimit::BootStart, 0, 0,
    EraseKind::Blocks, {}, 0, 0, 0, EntryCode::None, 0, 1, {}, 0xFF};

const FamilyFacts* FactsOf(std::uint8_t code) {
  const FamilyFacts* f = FindFamily(code);
  return f != nullptr ? f : &kUnknownFamily;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

std::string Format(const char* verb, std::uint32_t address, std::uint32_t count) {
  char line[64];
  std::snprintf(line, sizeof line, "%s 0x%08X %u", verb, address, count);
  return line;
}

std::string Addr(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

BootloaderModel::BootloaderModel(SimProfile profile)
    : profile_(std::move(profile)), facts_(FactsOf(profile_.family)) {}

TByteArray BootloaderModel::BuildInfoRecord(const SimProfile& p) {
  TByteArray rec(64, 0);
  std::size_t pos = 1;
  auto put = [&](std::uint8_t tag, std::uint32_t value, int width) {
    rec[pos++] = tag;
    const std::size_t align = RecordValueAlignment(p.family, static_cast<std::size_t>(width));
    while (pos % align != 0) rec[pos++] = 0;
    for (int k = 0; k < width; ++k) rec[pos++] = static_cast<std::uint8_t>(value >> (8 * k));
  };
  rec[pos++] = 1;
  rec[pos++] = p.family;
  put(3, p.eraseBlock, 2);
  put(4, p.writeBlock, 2);
  put(5, p.revision, 2);
  put(6, p.bootStart, 4);
  put(8, p.size, 4);
  put(9, p.programStart, 4);
  // The description goes last, cut so the record and its zero fit one report.
  rec[pos++] = 7;
  const std::size_t room = rec.size() - pos - 1;
  const std::size_t n = std::min(room, p.description.size());
  for (std::size_t i = 0; i < n && p.description[i] != '\0'; ++i) rec[pos++] = static_cast<std::uint8_t>(p.description[i]);
  rec[pos++] = 0;
  rec[0] = static_cast<std::uint8_t>(pos);
  rec.resize(pos);
  return rec;
}

std::string BootloaderModel::TraceText() const {
  std::string out;
  for (const auto& line : trace_) {
    out += line;
    out += '\n';
  }
  return out;
}

std::uint32_t BootloaderModel::ByteIndex(std::uint32_t address) const {
  if (facts_->group == FamilyGroup::Pic32) return address & kPhysicalAddressMask;
  return static_cast<std::uint32_t>(UnitsToImage(*facts_, address));
}

std::vector<BootloaderModel::Range> BootloaderModel::FlashRegions() const {
  if (facts_->bootFlashBytes != 0) {
    return {{facts_->commandBase, ProgramEnd()}, {facts_->bootFlashBase, BootFlashEnd()}};
  }
  return {{0, profile_.size}};
}

std::uint64_t BootloaderModel::BootFlashEnd() const {
  return std::uint64_t{facts_->bootFlashBase} + facts_->bootFlashBytes;
}

std::vector<BootloaderModel::Range> BootloaderModel::BootloaderRegions() const {
  std::vector<Range> out;
  const bool bottom = (profile_.revision & 1u) != 0;
  const bool pic32 = facts_->group == FamilyGroup::Pic32;
  const std::uint64_t base = facts_->commandBase;
  const std::uint64_t end = ProgramEnd();
  if (bottom) {
    // A PIC32 program start is an offset into program flash.
    const std::uint64_t programStart = pic32 ? base + profile_.programStart : ByteIndex(profile_.programStart);
    out.push_back({base, programStart});
  } else {
    out.push_back({ByteIndex(profile_.bootStart), end});
  }
  if (facts_->bootFlashBytes != 0) {
    // The last boot-flash block holds the configuration words.
    out.push_back({BootFlashEnd() - std::min<std::uint32_t>(profile_.eraseBlock, facts_->bootFlashBytes), BootFlashEnd()});
  }
  return out;
}

std::uint64_t BootloaderModel::ProgramEnd() const {
  if (facts_->group != FamilyGroup::Pic32) return profile_.size;
  // Program flash never reaches the boot flash.
  return std::uint64_t{facts_->commandBase} + std::min<std::uint64_t>(profile_.size, facts_->maxProgramBytes);
}

bool BootloaderModel::InFlash(std::uint64_t begin, std::uint64_t end) const {
  for (const Range& r : FlashRegions()) {
    if (begin >= r.begin && end <= r.end) return true;
  }
  return false;
}

bool BootloaderModel::TouchesBootloader(std::uint64_t begin, std::uint64_t end) const {
  for (const Range& r : BootloaderRegions()) {
    if (begin < r.end && r.begin < end) return true;
  }
  return false;
}

std::uint8_t BootloaderModel::StateOf(std::uint32_t index) const {
  auto it = pages_.find(index >> 12);
  return it == pages_.end() ? std::uint8_t{kUnknown} : it->second.state[index & 0xFFF];
}

void BootloaderModel::SetState(std::uint32_t index, std::uint8_t state, std::uint8_t value) {
  Page& page = pages_[index >> 12];
  page.state[index & 0xFFF] = state;
  page.data[index & 0xFFF] = value;
}

std::optional<std::uint8_t> BootloaderModel::FlashByte(std::uint32_t index) const {
  auto it = pages_.find(index >> 12);
  if (it == pages_.end() || it->second.state[index & 0xFFF] != kWritten) return std::nullopt;
  return it->second.data[index & 0xFFF];
}

bool BootloaderModel::IsErased(std::uint32_t index) const { return StateOf(index) == kErased; }

TByteArray BootloaderModel::FlashRange(std::uint32_t index, std::uint32_t count, std::uint8_t fill) const {
  TByteArray out(count, fill);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (auto b = FlashByte(index + i)) out[i] = *b;
  }
  return out;
}

std::size_t BootloaderModel::WrittenCount() const {
  std::size_t n = 0;
  for (const auto& [key, page] : pages_) n += static_cast<std::size_t>(std::count(page.state.begin(), page.state.end(), kWritten));
  return n;
}

std::uint32_t BootloaderModel::Traced(std::string line) {
  trace_.push_back(std::move(line));
  return ++events_;
}

void BootloaderModel::Violation(std::string text) {
  // In the trace right after the event that caused it.
  trace_.push_back("VIOLATION " + text);
  violations_.push_back(std::move(text));
}

BootloaderModel::Reaction BootloaderModel::OnOutputReport(const std::uint8_t* data, std::size_t size) {
  if (vanished_ || stalled_) return {};
  Report r{};
  if (data != nullptr) std::copy_n(data, std::min<std::size_t>(size, r.size()), r.begin());
  const std::uint32_t eventsBefore = events_;
  Reaction reaction;
  if (writeOpen_) {
    reaction = HandleData(r);
  } else {
    const bool afterWrite = justFinishedWrite_;
    justFinishedWrite_ = false;
    reaction = HandleFrame(r, afterWrite);
  }
  // Time before the answer: the firmware's own, plus any erase time.
  if (reaction.replies.empty()) {
    reaction.delayMs = 0;
  } else if (profile_.lateEvent == 0 || (events_ != eventsBefore && events_ == profile_.lateEvent)) {
    reaction.delayMs += profile_.answerMs;
  }
  return reaction;
}

void BootloaderModel::ConnectionEnded() {
  if (!writeOpen_ || vanished_ || stalled_ || endReported_) return;
  endReported_ = true;
  const auto missing = writeRemaining_ - static_cast<std::uint32_t>(chunk_.size());
  Violation("ended inside Write: " + std::to_string(missing) + " of " + std::to_string(writeAnnounced_) +
            " bytes missing");
}

// Answers event `event` with `normal` unless a fault says otherwise. Returns
// false when the device vanishes or hangs instead (the operation is then not
// carried out).
bool BootloaderModel::ApplyFault(std::uint32_t event, std::uint8_t code, Reaction& reaction) {
  if (profile_.unplugEvent != 0 && event == profile_.unplugEvent) {
    vanished_ = true;
    writeOpen_ = false;
    reaction.vanish = true;
    return false;
  }
  if (profile_.stallEvent != 0 && event == profile_.stallEvent) {
    stalled_ = true;
    writeOpen_ = false;
    reaction.stall = true;
    return false;
  }
  if (code == 0) return true;  // the event has no answer anyway
  Report answer{};
  answer[0] = kMarker;
  if (profile_.dropEvent != 0 && event == profile_.dropEvent) return true;
  answer[1] = (profile_.nakEvent != 0 && event == profile_.nakEvent) ? 0 : code;
  reaction.replies.push_back(answer);
  return true;
}

BootloaderModel::Reaction BootloaderModel::HandleFrame(const Report& r, bool afterWrite) {
  Reaction reaction;
  const std::uint8_t code = r[0] == kMarker ? r[1] : 0xFF;
  const std::uint32_t address = static_cast<std::uint32_t>(r[2]) | static_cast<std::uint32_t>(r[3]) << 8 |
                                static_cast<std::uint32_t>(r[4]) << 16 | static_cast<std::uint32_t>(r[5]) << 24;
  const std::uint16_t count = static_cast<std::uint16_t>(r[6] | r[7] << 8);
  switch (code) {
    case kSync:
    case kBoot:
      ApplyFault(Traced(code == kSync ? "SYNC" : "BOOT"), code, reaction);
      return reaction;
    case kInfo: {
      const std::uint32_t event = Traced("INFO");
      if (!ApplyFault(event, 0, reaction)) return reaction;
      if (profile_.dropEvent == event) return reaction;
      Report answer{};
      if (profile_.nakEvent == event) {
        answer[0] = kMarker;
      } else {
        const TByteArray record = BuildInfoRecord(profile_);
        std::copy(record.begin(), record.end(), answer.begin());
      }
      reaction.replies.push_back(answer);
      return reaction;
    }
    case kReboot: {
      const std::uint32_t event = Traced("REBOOT");
      const bool carriedOut = ApplyFault(event, 0, reaction);
      if (stalled_) return reaction;
      if (carriedOut && profile_.nakEvent == event) {
        Report answer{};
        answer[0] = kMarker;
        reaction.replies.push_back(answer);
      }
      vanished_ = true;
      reaction.vanish = true;
      return reaction;
    }
    case kErase: {
      const std::uint32_t event = Traced(Format("ERASE", address, count));
      if (!ApplyFault(event, 0, reaction)) return reaction;
      if (event != profile_.skipEvent) Erase(address, count);
      ApplyFault(event, kErase, reaction);
      // Erasing takes time per erase unit (per sector on sector-erase parts).
      reaction.delayMs = static_cast<std::uint32_t>(std::min<std::uint64_t>(
          std::uint64_t{count} * profile_.eraseMs, std::numeric_limits<std::uint32_t>::max()));
      return reaction;
    }
    case kWrite: {
      const std::uint32_t event = Traced(Format("WRITE", address, count));
      if (!ApplyFault(event, 0, reaction)) return reaction;
      if (count > 0x8000) Violation("WRITE " + Addr(address) + " announces more than 0x8000 bytes");
      writeOpen_ = count > 0;
      writeAddress_ = address;
      writeRemaining_ = count;
      writeAnnounced_ = count;
      endReported_ = false;
      chunkLength_ = 0;
      chunk_.clear();
      // A Write frame itself gets no answer; only its chunks are acknowledged.
      if (profile_.nakEvent == event) {
        Report answer{};
        answer[0] = kMarker;
        reaction.replies.push_back(answer);
      }
      return reaction;
    }
    default: {
      std::size_t n = r.size();
      while (n > 2 && r[n - 1] == 0) --n;
      const std::uint32_t event = Traced("FRAME " + Hex(r.data(), n));
      // Straight after a Write's last chunk, a report that is no frame is more
      // data than the Write announced.
      Violation(afterWrite ? "chunk longer than announced: data after the last announced byte"
                           : "unexpected frame " + Hex(r.data(), n));
      ApplyFault(event, 0, reaction);
      return reaction;
    }
  }
}

BootloaderModel::Reaction BootloaderModel::HandleData(const Report& r) {
  Reaction reaction;
  if (chunkLength_ == 0) {
    const std::uint32_t block = profile_.eraseBlock != 0 ? profile_.eraseBlock : 64;
    chunkLength_ = std::min(block, writeRemaining_);
    chunk_.clear();
  }
  const std::size_t take = std::min<std::size_t>(r.size(), chunkLength_ - chunk_.size());
  chunk_.insert(chunk_.end(), r.begin(), r.begin() + static_cast<std::ptrdiff_t>(take));
  if (chunk_.size() < chunkLength_) return reaction;  // more reports of this chunk follow

  const std::uint32_t event = Traced("DATA " + Hex(chunk_.data(), chunk_.size()));
  if (!ApplyFault(event, 0, reaction)) return reaction;
  if (event != profile_.skipEvent) StoreChunk();
  const std::uint32_t len = chunkLength_;
  writeAddress_ += static_cast<std::uint32_t>(ImageToUnits(*facts_, len));
  writeRemaining_ -= len;
  chunkLength_ = 0;
  chunk_.clear();
  if (writeRemaining_ == 0) {
    writeOpen_ = false;
    justFinishedWrite_ = true;
  }
  ApplyFault(event, kWrite, reaction);
  // A refused chunk ends its Write: the rest of the announced data is not
  // expected, and the next report is read as a frame.
  if (event == profile_.nakEvent) writeOpen_ = false;
  return reaction;
}

void BootloaderModel::Erase(std::uint32_t address, std::uint16_t count) {
  const std::string what = "ERASE " + Addr(address) + " " + std::to_string(count);
  if (count == 0) {
    Violation(what + ": no blocks");
    return;
  }
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  if (facts_->erase == EraseKind::Sectors) {
    // Sector i spans sectors[i] to sectors[i + 1].
    const std::span<const std::int64_t> sectors = facts_->sectorStarts;
    int top = -1;
    for (std::size_t s = 0; s + 1 < sectors.size(); ++s) {
      if (sectors[s] == address) top = static_cast<int>(s);
    }
    if (top < 0) {
      Violation(what + ": not the start of a sector");
      return;
    }
    if (count > top + 1) {
      Violation(what + ": reaches below the start of flash");
      return;
    }
    begin = static_cast<std::uint64_t>(sectors[static_cast<std::size_t>(top - count + 1)]);
    end = static_cast<std::uint64_t>(sectors[static_cast<std::size_t>(top + 1)]);
  } else {
    const std::uint64_t block = profile_.eraseBlock;
    if (block == 0) {
      Violation(what + ": erase block is 0");
      return;
    }
    if (address % facts_->wordUnits != 0) {
      Violation(what + ": odd address");
      return;
    }
    const std::uint64_t topIndex = ByteIndex(address);
    const std::uint64_t span = (count - 1u) * block;
    const bool inBootFlash = facts_->bootFlashBytes != 0 && topIndex >= facts_->bootFlashBase;
    const std::uint64_t regionBase = inBootFlash ? facts_->bootFlashBase : facts_->commandBase;
    if (topIndex < regionBase + span) {
      Violation(what + ": reaches below the start of flash");
      return;
    }
    if ((topIndex - regionBase) % block != 0) {
      Violation(what + ": not on an erase-block boundary");
      return;
    }
    begin = topIndex - span;
    end = topIndex + block;
  }
  if (!InFlash(begin, end)) {
    Violation(what + ": outside flash");
    return;
  }
  if (TouchesBootloader(begin, end)) {
    Violation(what + ": erase inside the bootloader");
    return;
  }
  for (std::uint64_t i = begin; i < end; ++i) SetState(static_cast<std::uint32_t>(i), kErased, 0xFF);
}

void BootloaderModel::StoreChunk() {
  const std::uint64_t begin = ByteIndex(writeAddress_);
  const std::uint64_t end = begin + chunk_.size();
  const std::string what = "WRITE chunk at " + Addr(writeAddress_);
  if (!InFlash(begin, end)) {
    Violation(what + ": outside flash");
    return;
  }
  if (TouchesBootloader(begin, end)) {
    Violation(what + ": write inside the bootloader");
    return;
  }
  bool unerased = false;
  for (std::size_t i = 0; i < chunk_.size(); ++i) {
    const auto index = static_cast<std::uint32_t>(begin + i);
    if (StateOf(index) != kErased) unerased = true;
    SetState(index, kWritten, chunk_[i]);
  }
  if (unerased) Violation(what + ": write to unerased flash");
}

}  // namespace quorvel::sim
