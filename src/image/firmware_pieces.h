// SPDX-License-Identifier: Apache-2.0
#pragma once
// Bytes of a firmware file at the addresses they belong to, before any family
// rule has looked at them. The bytes stay in the caller's buffer.
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvel {

struct FirmwarePiece {
  std::uint32_t address = 0;
  std::string_view bytes;  // address + bytes.size() never exceeds 4 GB
};

using FirmwarePieces = std::vector<FirmwarePiece>;

}  // namespace quorvel
