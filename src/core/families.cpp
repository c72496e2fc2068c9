// Consistency of the family table, checked when it is compiled.
#include "core/families.h"

#include <cstddef>

namespace quorvel {
namespace {

constexpr bool CodesAreUnique() {
  for (std::size_t i = 0; i < kFamilyTable.size(); ++i) {
    for (std::size_t j = i + 1; j < kFamilyTable.size(); ++j) {
      if (kFamilyTable[i].code == kFamilyTable[j].code) return false;
    }
  }
  return true;
}

constexpr bool RowsAreConsistent() {
  for (const FamilyFacts& f : kFamilyTable) {
    if (f.wordBytes == 0 || f.wordUnits == 0 || f.maxProgramBytes == 0) return false;
    if ((f.erase == EraseKind::Sectors) == f.sectorStarts.empty()) return false;
    for (std::size_t i = 1; i < f.sectorStarts.size(); ++i) {
      if (f.sectorStarts[i] <= f.sectorStarts[i - 1]) return false;
    }
    // A sector map must describe all the flash the family may use.
    if (!f.sectorStarts.empty() && f.sectorStarts.back() < static_cast<std::int64_t>(f.maxProgramBytes))
      return false;
    if ((f.bootFlashBytes == 0) != (f.group != FamilyGroup::Pic32)) return false;
  }
  return true;
}

static_assert(CodesAreUnique());
static_assert(RowsAreConsistent());

}  // namespace
}  // namespace quorvel
