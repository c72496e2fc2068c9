// SPDX-License-Identifier: Apache-2.0
#pragma once
// Writes small ELF files for tests with libelf: any class and byte order, one
// section per block, with or without a program header per block. Offsets are
// laid out here (ELF_F_LAYOUT), so a test can also point a header outside the
// file.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quorvel::testelf {

struct Block {
  std::uint64_t paddr = 0;  // segment's physical address
  std::uint64_t vaddr = 0;  // segment's virtual address and the section's address
  std::vector<std::uint8_t> bytes;
  std::uint64_t memExtra = 0;  // memory beyond the file bytes (.bss)
  std::uint32_t segmentType = PT_LOAD;
  std::uint32_t sectionType = SHT_PROGBITS;
  std::uint64_t sectionFlags = SHF_ALLOC;
  std::uint64_t offsetOverride = 0;  // non-zero: the headers claim this file offset
  // The segment starts at the beginning of the file, so it holds the ELF and program headers
  // before the section, as a linker script using SIZEOF_HEADERS makes it.
  bool segmentFromFileStart = false;
};

struct Layout {
  int elfClass = ELFCLASS32;
  int byteOrder = ELFDATA2LSB;
  std::uint16_t machine = EM_ARM;
  bool programHeaders = true;
  std::uint16_t type = ET_EXEC;
  // Non-empty: a section name table with one name per block, as linkers write it.
  std::vector<std::string> names = {};
};

inline std::string Write(const std::vector<Block>& blocks, const Layout& layout = {}) {
  if (elf_version(EV_CURRENT) == EV_NONE) std::abort();
  char path[] = "/tmp/quorvel-elf-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) std::abort();
  Elf* elf = elf_begin(fd, ELF_C_WRITE, nullptr);
  if (elf == nullptr || gelf_newehdr(elf, layout.elfClass) == nullptr) std::abort();
  elf_flagelf(elf, ELF_C_SET, ELF_F_LAYOUT);

  const bool wide = layout.elfClass == ELFCLASS64;
  const std::uint64_t ehdrSize = wide ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  const std::uint64_t phdrSize = wide ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
  const std::uint64_t shdrSize = wide ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
  std::uint64_t offset = ehdrSize + (layout.programHeaders ? phdrSize * blocks.size() : 0);

  std::string nameTable(1, '\0');
  std::vector<std::uint64_t> offsets;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const Block& block = blocks[i];
    offset = (offset + 7) & ~std::uint64_t{7};
    Elf_Scn* section = elf_newscn(elf);
    Elf_Data* data = elf_newdata(section);
    data->d_buf = const_cast<std::uint8_t*>(block.bytes.data());
    data->d_size = block.bytes.size();
    data->d_type = ELF_T_BYTE;
    data->d_align = 1;
    data->d_off = 0;
    GElf_Shdr header;
    gelf_getshdr(section, &header);
    header.sh_type = block.sectionType;
    header.sh_flags = block.sectionFlags;
    header.sh_addr = block.vaddr;
    header.sh_offset = offset;
    header.sh_size = block.bytes.size();
    header.sh_addralign = 1;
    if (i < layout.names.size()) {
      header.sh_name = static_cast<GElf_Word>(nameTable.size());
      nameTable += layout.names[i] + '\0';
    }
    gelf_update_shdr(section, &header);
    offsets.push_back(block.offsetOverride != 0 ? block.offsetOverride : offset);
    offset += block.bytes.size();
  }
  std::size_t nameSection = SHN_UNDEF;
  if (!layout.names.empty()) {
    Elf_Scn* section = elf_newscn(elf);
    Elf_Data* data = elf_newdata(section);
    data->d_buf = nameTable.data();
    data->d_size = nameTable.size();
    data->d_type = ELF_T_BYTE;
    data->d_align = 1;
    GElf_Shdr header;
    gelf_getshdr(section, &header);
    header.sh_name = static_cast<GElf_Word>(nameTable.size());
    header.sh_type = SHT_STRTAB;
    header.sh_offset = offset;
    header.sh_addralign = 1;
    nameTable += ".shstrtab";
    nameTable += '\0';
    header.sh_size = nameTable.size();
    data->d_buf = nameTable.data();
    data->d_size = nameTable.size();
    gelf_update_shdr(section, &header);
    nameSection = elf_ndxscn(section);
    offset += nameTable.size();
  }
  offset = (offset + 7) & ~std::uint64_t{7};

  GElf_Ehdr ehdr;
  gelf_getehdr(elf, &ehdr);
  ehdr.e_ident[EI_DATA] = static_cast<unsigned char>(layout.byteOrder);
  ehdr.e_type = layout.type;
  ehdr.e_machine = layout.machine;
  ehdr.e_version = EV_CURRENT;
  ehdr.e_shoff = offset;
  ehdr.e_phoff = layout.programHeaders ? ehdrSize : 0;
  ehdr.e_shentsize = static_cast<GElf_Half>(shdrSize);
  ehdr.e_shstrndx = static_cast<GElf_Half>(nameSection);
  gelf_update_ehdr(elf, &ehdr);

  if (layout.programHeaders) {
    gelf_newphdr(elf, blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const std::uint64_t before = blocks[i].segmentFromFileStart ? offsets[i] : 0;
      GElf_Phdr segment{};
      segment.p_type = blocks[i].segmentType;
      segment.p_offset = offsets[i] - before;
      segment.p_vaddr = blocks[i].vaddr - before;
      segment.p_paddr = blocks[i].paddr - before;
      segment.p_filesz = blocks[i].bytes.size() + before;
      segment.p_memsz = blocks[i].bytes.size() + before + blocks[i].memExtra;
      segment.p_flags = PF_R | PF_X;
      segment.p_align = 4;
      gelf_update_phdr(elf, static_cast<int>(i), &segment);
    }
  }
  if (elf_update(elf, ELF_C_WRITE) < 0) {
    std::fprintf(stderr, "elf_update: %s\n", elf_errmsg(-1));
    std::abort();
  }
  elf_end(elf);
  ::close(fd);
  // Not through istreambuf_iterator: GCC 12 -O3 warns of a null dereference in it.
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  ::unlink(path);
  return bytes.str();
}

}  // namespace quorvel::testelf
