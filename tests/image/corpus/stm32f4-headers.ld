/* SPDX-License-Identifier: Apache-2.0 */
/* Code right after the ELF and program headers, as hosted linker scripts place it: the first
   loadable segment then holds the headers, from the start of flash. No flash image may take them. */
ENTRY(Reset_Handler)
SECTIONS
{
  . = 0x08000000 + SIZEOF_HEADERS;
  .text : { KEEP(*(.isr_vector)) *(.text*) *(.rodata*) }
  .ARM.exidx : { *(.ARM.exidx*) }
  .init_array :
  {
    __init_array_start = .;
    KEEP(*(.init_array*))
    __init_array_end = .;
  }
  .fini_array : { KEEP(*(.fini_array*)) }
  _sidata = .;
  .data 0x20000000 : AT(_sidata) { _sdata = .; *(.data*) _edata = .; }
  .bss (NOLOAD) : ALIGN(4) { _sbss = .; *(.bss*) *(COMMON) _ebss = .; }
  _estack = 0x20020000;
  /DISCARD/ : { *(.comment) *(.ARM.attributes) }
}
