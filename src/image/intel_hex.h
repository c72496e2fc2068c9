// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Intel HEX reader: lines, checksums, record types and line numbers. It
// reads its text in runs, so that a huge file never has to fit in memory, in
// two passes: the first checks every line's checksum up to the end marker, the
// second hands each record to a sink (image/record_source.h) and words the
// sink's refusals with the line they concern. A bad checksum anywhere loads
// nothing. When every line is a record, as toolchains write them, the first
// pass hands the records on itself and the text is read once; should a later
// line fail, the sink is restarted (RecordSink::Restart), as if it had been
// given nothing.
#include <cstdint>
#include <string>
#include <string_view>

#include "image/hex_loader.h"
#include "image/record_source.h"

namespace quorvel {

// Text the reader takes in runs.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // Next run of text in `run`; an empty run marks the end. False on a read error (see error()).
  virtual bool Next(std::string_view& run) = 0;
  virtual bool Rewind() = 0;
  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

// Text already in memory, as one run.
class MemorySource final : public TextSource {
 public:
  explicit MemorySource(std::string_view text) : text_(text) {}
  bool Next(std::string_view& run) override {
    run = done_ ? std::string_view{} : text_;
    done_ = true;
    return true;
  }
  bool Rewind() override {
    done_ = false;
    return true;
  }

 private:
  std::string_view text_;
  bool done_ = false;
};

// Reads `source` into `sink`. `fileName` (without its folder) is used in
// messages. Loaded when both passes ran to the end marker or the end of the
// text; otherwise the failure with its exact message (Unreadable carries the
// source's error). Records before a failure of the second pass, or before a
// refusal of the sink, stay with the sink; a failure of the first pass leaves
// it with nothing.
HexLoadResult ReadIntelHex(TextSource& source, std::string_view fileName, RecordSink& sink);

}  // namespace quorvel
