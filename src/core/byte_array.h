// SPDX-License-Identifier: Apache-2.0
#pragma once
// A growable array of bytes whose length is its byte count. Flash images, the
// transfer buffer and the upload's working copies all use it.
#include <cstdint>
#include <vector>

namespace quorvel {
using TByteArray = std::vector<std::uint8_t>;
}  // namespace quorvel
