// SPDX-License-Identifier: Apache-2.0
// Prints every family keyword of the family table on one line, in table
// order, so files made at build time list the families the table holds.
#include <cstdio>
#include <string>

#include "core/families.h"

int main() {
  std::string line;
  for (const quorvel::FamilyFacts& family : quorvel::kFamilyTable) {
    if (!line.empty()) line += ' ';
    line += family.keyword;
  }
  std::printf("%s\n", line.c_str());
  return 0;
}
