// SPDX-License-Identifier: Apache-2.0
// Fuzz entry for the report-descriptor reader: any bytes must be parsed or
// refused without reading past the input, and lengths must stay consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "hid/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto summary = quorvel::hid::ParseReportDescriptor(data, size);
  if (summary) {
    // A report with data always has room for its ID byte.
    if (summary->maxInputBytes > 0 && summary->InputReportByteLength() < 2) std::abort();
    if (summary->maxOutputBytes > 0 && summary->OutputReportByteLength() < 2) std::abort();
  }
  return 0;
}
