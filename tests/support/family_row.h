// SPDX-License-Identifier: Apache-2.0
#pragma once
// The family row of a code a test names. An optimising build sees FindFamily's
// null for unknown codes, so tests take the row through here: a code missing
// from the table fails loudly instead of reading through null.
#include <stdexcept>
#include <string>

#include "core/families.h"

namespace quorvel::test {

inline const FamilyFacts& FamilyRow(std::uint8_t code) {
  const FamilyFacts* f = FindFamily(code);
  if (f == nullptr) throw std::invalid_argument("no family row for code " + std::to_string(code));
  return *f;
}

}  // namespace quorvel::test
