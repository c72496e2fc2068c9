// SPDX-License-Identifier: Apache-2.0
// Blinks the four user LEDs of an STM32F4 Discovery board (PD12..PD15) in
// turn. Registers are written directly so the sample needs no vendor headers.
#include <stdint.h>

#define REG32(addr) (*(volatile uint32_t*)(addr))

#define RCC_AHB1ENR REG32(0x40023830u)
#define GPIOD_MODER REG32(0x40020C00u)
#define GPIOD_ODR REG32(0x40020C14u)

#define RCC_AHB1ENR_GPIODEN (1u << 3)

// The core runs from its 16 MHz internal oscillator after reset; this is
// roughly a quarter of a second there.
static void delay(uint32_t loops) {
  while (loops-- != 0u) {
    __asm__ volatile("nop");
  }
}

int main(void) {
  RCC_AHB1ENR |= RCC_AHB1ENR_GPIODEN;
  (void)RCC_AHB1ENR;  // the clock needs two cycles before the port answers

  // PD12..PD15 as general-purpose outputs (mode 01).
  uint32_t moder = GPIOD_MODER;
  moder &= ~(0xFFu << 24);
  moder |= 0x55u << 24;
  GPIOD_MODER = moder;

  uint32_t led = 0;
  for (;;) {
    GPIOD_ODR = (GPIOD_ODR & ~(0xFu << 12)) | (1u << (12 + led));
    led = (led + 1u) & 3u;
    delay(1000000u);
  }
}
