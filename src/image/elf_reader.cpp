// SPDX-License-Identifier: Apache-2.0
#include "image/elf_reader.h"

#include <gelf.h>
#include <libelf.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace quorvel {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

struct ElfCloser {
  void operator()(Elf* elf) const { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfCloser>;

class Reader {
 public:
  Reader(std::string_view bytes, std::string_view fileName) : bytes_(bytes), name_(fileName) {}

  ElfReadResult Read() {
    // libelf refuses to work until the caller has named the version it was written for.
    static const bool versionAccepted = elf_version(EV_CURRENT) != EV_NONE;
    if (!versionAccepted) return Fail("cannot be read: " + LibElfError());
    // ELF_C_READ never writes to the image it is given.
    ElfHandle elf(elf_memory(const_cast<char*>(bytes_.data()), bytes_.size()));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) return Fail("is not a valid ELF file");
    GElf_Ehdr header;
    if (gelf_getehdr(elf.get(), &header) == nullptr) return Fail("has a damaged header: " + LibElfError());

    std::size_t segments = 0;
    if (elf_getphdrnum(elf.get(), &segments) != 0)
      return Fail("has a damaged program header table: " + LibElfError());
    if (segments > 0) {
      if (!ReadSegments(elf.get(), segments)) return std::move(result_);
    } else if (!ReadSections(elf.get())) {
      return std::move(result_);
    }
    if (result_.pieces.empty()) return Fail("holds no data to load (no loadable segment or section)");
    return std::move(result_);
  }

 private:
  bool ReadSegments(Elf* elf, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      GElf_Phdr segment;
      if (gelf_getphdr(elf, static_cast<int>(i), &segment) == nullptr) {
        FailOnce("has a damaged program header " + std::to_string(i) + ": " + LibElfError());
        return false;
      }
      if (segment.p_type != PT_LOAD || segment.p_filesz == 0) continue;
      if (!Add("segment " + std::to_string(i), segment.p_paddr, segment.p_offset, segment.p_filesz))
        return false;
    }
    return true;
  }

  bool ReadSections(Elf* elf) {
    Elf_Scn* section = nullptr;
    while ((section = elf_nextscn(elf, section)) != nullptr) {
      GElf_Shdr header;
      if (gelf_getshdr(section, &header) == nullptr) {
        FailOnce("has a damaged section header: " + LibElfError());
        return false;
      }
      if (header.sh_type != SHT_PROGBITS || (header.sh_flags & SHF_ALLOC) == 0 || header.sh_size == 0)
        continue;
      if (!Add("section " + std::to_string(elf_ndxscn(section)), header.sh_addr, header.sh_offset,
               header.sh_size)) {
        return false;
      }
    }
    return true;
  }

  bool Add(const std::string& what, std::uint64_t address, std::uint64_t offset, std::uint64_t size) {
    if (offset > bytes_.size() || size > bytes_.size() - offset) {
      FailOnce("is damaged: its " + what + " (" + std::to_string(size) + " bytes at file offset " +
               std::to_string(offset) + ") reaches beyond the end of the file");
      return false;
    }
    if (address >= kAddressSpace || size > kAddressSpace - address) {
      FailOnce("places its " + what + " at " + Hex(address) + ", beyond 4 GB where no device has flash");
      return false;
    }
    result_.pieces.push_back(
        {static_cast<std::uint32_t>(address),
         bytes_.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(size))});
    return true;
  }

  static std::string LibElfError() {
    const char* text = elf_errmsg(-1);
    return text != nullptr ? text : "unknown error";
  }

  ElfReadResult Fail(const std::string& why) {
    FailOnce(why);
    return std::move(result_);
  }
  void FailOnce(const std::string& why) {
    result_.pieces.clear();
    result_.error = "ELF file '" + std::string(name_) + "' " + why + ".";
  }

  std::string_view bytes_;
  std::string_view name_;
  ElfReadResult result_;
};

}  // namespace

bool HasElfMagic(std::string_view bytes) {
  return bytes.size() >= SELFMAG && std::memcmp(bytes.data(), ELFMAG, SELFMAG) == 0;
}

ElfReadResult ReadElfPieces(std::string_view bytes, std::string_view fileName) {
  return Reader(bytes, fileName).Read();
}

}  // namespace quorvel
