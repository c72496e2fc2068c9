// SPDX-License-Identifier: Apache-2.0
#include "image/elf_reader.h"

#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/families.h"

namespace quorvel {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

// How a refusal names the processor an ELF file was built for.
std::string MachineName(int machine) {
  switch (machine) {
    case EM_NONE: return "no processor";
    case EM_SPARC: return "SPARC";
    case EM_386: return "x86";
    case EM_68K: return "Motorola 68000";
    case EM_MIPS: return "MIPS";
    case EM_PPC: return "PowerPC";
    case EM_PPC64: return "64-bit PowerPC";
    case EM_S390: return "IBM Z";
    case EM_ARM: return "ARM";
    case EM_SH: return "SuperH";
    case EM_SPARCV9: return "SPARC V9";
    case EM_IA_64: return "IA-64";
    case EM_X86_64: return "x86-64";
    case EM_AVR: return "AVR";
    case EM_XTENSA: return "Xtensa";
    case EM_MSP430: return "MSP430";
    case EM_DSPIC30F: return "dsPIC30F/PIC24";
    case EM_AARCH64: return "AArch64";
    case EM_RISCV: return "RISC-V";
    case EM_LOONGARCH: return "LoongArch";
    default: break;
  }
  return "processor " + std::to_string(machine);
}

struct ElfCloser {
  void operator()(Elf* elf) const { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfCloser>;

// A section with contents to load, and where.
struct Loadable {
  std::string name;
  std::uint64_t address = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Whether `section` lies in `segment` by its file offset and its address, as BFD decides which
// segment gives an allocated section with contents its load address.
bool InSegment(const GElf_Shdr& section, const GElf_Phdr& segment) {
  const bool tls = (section.sh_flags & SHF_TLS) != 0;
  if (tls ? segment.p_type != PT_TLS : segment.p_type != PT_LOAD) return false;
  const std::uint64_t size = section.sh_size;
  return section.sh_offset >= segment.p_offset && size <= segment.p_filesz &&
         section.sh_offset - segment.p_offset <= segment.p_filesz - size && section.sh_addr >= segment.p_vaddr &&
         size <= segment.p_memsz && section.sh_addr - segment.p_vaddr <= segment.p_memsz - size;
}

class Reader {
 public:
  Reader(std::string_view bytes, std::string_view fileName, std::uint8_t family)
      : bytes_(bytes), name_(fileName), family_(family) {}

  ElfReadResult Read() {
    // libelf refuses to work until the caller has named the version it was written for.
    static const bool versionAccepted = elf_version(EV_CURRENT) != EV_NONE;
    if (!versionAccepted) return Fail("cannot be read: " + LibElfError());
    // ELF_C_READ never writes to the image it is given.
    ElfHandle elf(elf_memory(const_cast<char*>(bytes_.data()), bytes_.size()));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return Fail("is not a valid ELF file");
    GElf_Ehdr header;
    if (gelf_getehdr(elf.get(), &header) == nullptr) return Fail("has a damaged header: " + LibElfError());
    if (!ForThisBoard(header)) return std::move(result_);

    if (!ReadSegments(elf.get()) || !ReadSections(elf.get())) return std::move(result_);
    if (loadables_.empty()) return Fail("holds no data to load (no allocated section with contents)");
    std::stable_sort(loadables_.begin(), loadables_.end(),
                     [](const Loadable& a, const Loadable& b) { return a.address < b.address; });
    if (!NoOverlap()) return std::move(result_);
    for (const Loadable& l : loadables_) {
      result_.pieces.push_back({static_cast<std::uint32_t>(l.address),
                                bytes_.substr(static_cast<std::size_t>(l.offset), static_cast<std::size_t>(l.size))});
    }
    return std::move(result_);
  }

 private:
  // Refused before anything else: a file for another processor, or one that is not a linked program.
  bool ForThisBoard(const GElf_Ehdr& header) {
    // Appended piece by piece: GCC 12 at -O3 takes "'" + std::string(...) for an overlapping copy.
    std::string quoted(1, '\'');
    quoted.append(name_);
    quoted += '\'';
    if (family_ != 0) {
      const int wanted = ElfMachineOfFamily(family_);
      const std::string family(McuFamilyName(family_));
      if (wanted == 0) {
        return Refuse(quoted + " is an ELF file, which " + family + " boards do not take: use the HEX file your "
                               "toolchain writes.");
      }
      if (wanted > 0 && header.e_machine != wanted) {
        return Refuse(quoted + " is built for " + MachineName(header.e_machine) + " (ELF machine " +
                      std::to_string(header.e_machine) + "), not for " + family + ", which takes " +
                      MachineName(wanted) + " programs.");
      }
    }
    switch (header.e_type) {
      case ET_EXEC:
        return true;
      case ET_REL:
        return Refuse(quoted + " is an object file, not a linked program.");
      case ET_DYN:
        return Refuse(quoted + " is a shared object or position-independent program, not a program linked "
                               "for the flash.");
      case ET_CORE:
        return Refuse(quoted + " is a core dump, not a linked program.");
      default:
        break;
    }
    return Refuse(quoted + " has ELF type " + std::to_string(header.e_type) + ", not that of a linked program.");
  }

  bool ReadSegments(Elf* elf) {
    std::size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
      FailOnce("has a damaged program header table: " + LibElfError());
      return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
      GElf_Phdr segment;
      if (gelf_getphdr(elf, static_cast<int>(i), &segment) == nullptr) {
        FailOnce("has a damaged program header " + std::to_string(i) + ": " + LibElfError());
        return false;
      }
      if (segment.p_type == PT_LOAD && segment.p_filesz != 0 &&
          !WithinFile("segment " + std::to_string(i), segment.p_offset, segment.p_filesz)) {
        return false;
      }
      segments_.push_back(segment);
    }
    return true;
  }

  bool ReadSections(Elf* elf) {
    // Linkers that leave every physical address 0 in several segments: BFD then loads each section
    // at its own address rather than piling them up at 0, and so does this.
    bool anyPhysical = false;
    int loads = 0;
    for (const GElf_Phdr& s : segments_) {
      anyPhysical = anyPhysical || s.p_paddr != 0;
      if (s.p_type == PT_LOAD && s.p_memsz != 0) ++loads;
    }
    const bool ownAddresses = !anyPhysical && loads > 1;

    std::size_t namesIndex = 0;
    const bool named = elf_getshdrstrndx(elf, &namesIndex) == 0 && namesIndex != SHN_UNDEF;
    Elf_Scn* section = nullptr;
    while ((section = elf_nextscn(elf, section)) != nullptr) {
      GElf_Shdr sh;
      if (gelf_getshdr(section, &sh) == nullptr) {
        FailOnce("has a damaged section header: " + LibElfError());
        return false;
      }
      if ((sh.sh_flags & SHF_ALLOC) == 0 || sh.sh_type == SHT_NOBITS || sh.sh_type == SHT_NULL || sh.sh_size == 0)
        continue;
      const char* text = named ? elf_strptr(elf, namesIndex, sh.sh_name) : nullptr;
      Loadable l;
      l.name = text != nullptr && *text != '\0' ? "section '" + std::string(text) + "'"
                                                : "section " + std::to_string(elf_ndxscn(section));
      l.address = sh.sh_addr;
      l.offset = sh.sh_offset;
      l.size = sh.sh_size;
      if (!ownAddresses) {
        for (const GElf_Phdr& segment : segments_) {
          if (!InSegment(sh, segment)) continue;
          l.address = segment.p_paddr + (sh.sh_offset - segment.p_offset);
          break;
        }
      }
      if (!WithinFile(l.name, l.offset, l.size)) return false;
      if (l.address >= kAddressSpace || l.size > kAddressSpace - l.address) {
        FailOnce("places its " + l.name + " at " + Hex(l.address) + ", beyond 4 GB where no device has flash");
        return false;
      }
      loadables_.push_back(std::move(l));
    }
    return true;
  }

  // Sorted by address: each section must end before the next begins. objcopy would let one
  // overwrite the other, so neither is what the program meant.
  bool NoOverlap() {
    std::size_t reach = 0;  // the section that ends highest so far
    for (std::size_t i = 1; i < loadables_.size(); ++i) {
      const Loadable& a = loadables_[reach];
      const Loadable& b = loadables_[i];
      if (b.address < a.address + a.size) {
        FailOnce("has overlapping sections: its " + a.name + " at " + Hex(a.address) + " (" +
                 std::to_string(a.size) + " bytes) and its " + b.name + " at " + Hex(b.address) + " (" +
                 std::to_string(b.size) + " bytes)");
        return false;
      }
      if (b.address + b.size > a.address + a.size) reach = i;
    }
    return true;
  }

  bool WithinFile(const std::string& what, std::uint64_t offset, std::uint64_t size) {
    if (offset <= bytes_.size() && size <= bytes_.size() - offset) return true;
    FailOnce("is damaged: its " + what + " (" + std::to_string(size) + " bytes at file offset " +
             std::to_string(offset) + ") reaches beyond the end of the file");
    return false;
  }

  static std::string LibElfError() {
    const char* text = elf_errmsg(-1);
    return text != nullptr ? text : "unknown error";
  }

  ElfReadResult Fail(const std::string& why) {
    FailOnce(why);
    return std::move(result_);
  }
  void FailOnce(const std::string& why) { Refuse("ELF file '" + std::string(name_) + "' " + why + "."); }
  bool Refuse(std::string line) {
    result_.pieces.clear();
    result_.error = std::move(line);
    return false;
  }

  std::string_view bytes_;
  std::string_view name_;
  std::uint8_t family_;
  std::vector<GElf_Phdr> segments_;
  std::vector<Loadable> loadables_;
  ElfReadResult result_;
};

}  // namespace

bool HasElfMagic(std::string_view bytes) {
  return bytes.size() >= SELFMAG && std::memcmp(bytes.data(), ELFMAG, SELFMAG) == 0;
}

int ElfMachineOfFamily(std::uint8_t code) {
  const FamilyFacts* f = FindFamily(code);
  if (f == nullptr) return -1;
  switch (f->group) {
    case FamilyGroup::Pic8:
      return 0;
    case FamilyGroup::Pic16Bit:
      return EM_DSPIC30F;
    case FamilyGroup::Pic32:
      return EM_MIPS;
    case FamilyGroup::Arm:
      return EM_ARM;
  }
  return -1;
}

ElfReadResult ReadElfPieces(std::string_view bytes, std::string_view fileName, std::uint8_t family) {
  return Reader(bytes, fileName, family).Read();
}

}  // namespace quorvel
