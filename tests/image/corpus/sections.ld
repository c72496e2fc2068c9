/* SPDX-License-Identifier: Apache-2.0 */
/* The output sections every corpus program has; the memory map comes from the including script. */
ENTRY(Reset_Handler)
SECTIONS
{
  .isr_vector : { KEEP(*(.isr_vector)) } > FLASH
  .text : { *(.text*) } > FLASH
  .ARM.exidx : ALIGN(8) { *(.ARM.exidx*) } > FLASH
  .init_array : ALIGN(16)
  {
    __init_array_start = .;
    KEEP(*(.init_array*))
    __init_array_end = .;
  } > FLASH
  .fini_array : { KEEP(*(.fini_array*)) } > FLASH
  /* The padding before this stays erased flash in the HEX twin. */
  .rodata : ALIGN(256) { *(.rodata*) } > FLASH
  _sidata = LOADADDR(.data);
  .data : ALIGN(4)
  {
    _sdata = .;
    *(.data*)
    _edata = .;
  } > RAM AT > FLASH
  .bss (NOLOAD) : ALIGN(4)
  {
    _sbss = .;
    *(.bss*) *(COMMON)
    _ebss = .;
  } > RAM
  _estack = ORIGIN(RAM) + LENGTH(RAM);
  /DISCARD/ : { *(.comment) *(.ARM.attributes) }
}
