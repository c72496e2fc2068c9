// SPDX-License-Identifier: Apache-2.0
// Cortex-M start-up for the corpus programs: the vector table, copying .data from flash, clearing
// .bss and running the constructors, as an embedded C runtime does.
#include <stdint.h>

extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss, _estack;
extern void (*__init_array_start[])(void);
extern void (*__init_array_end[])(void);
int main(void);

void Reset_Handler(void) {
  uint32_t* from = &_sidata;
  for (uint32_t* to = &_sdata; to < &_edata;) *to++ = *from++;
  for (uint32_t* to = &_sbss; to < &_ebss;) *to++ = 0;
  for (void (**f)(void) = __init_array_start; f < __init_array_end; ++f) (*f)();
  main();
  for (;;) {
  }
}

void Default_Handler(void) {
  for (;;) {
  }
}

// Unwind tables (-funwind-tables) name these personality routines; nothing here unwinds.
void __aeabi_unwind_cpp_pr0(void) {}
void __aeabi_unwind_cpp_pr1(void) {}

__attribute__((section(".isr_vector"), used)) void (*const vectors[16])(void) = {
    (void (*)(void))&_estack, Reset_Handler, Default_Handler, Default_Handler,
    Default_Handler, Default_Handler, Default_Handler, 0, 0, 0, 0,
    Default_Handler, Default_Handler, 0, Default_Handler, Default_Handler,
};
