// SPDX-License-Identifier: Apache-2.0
// A small program with what a real one brings: initialised data loaded from flash, a constructor
// and a destructor (.init_array, .fini_array), unwind tables (.ARM.exidx) and read-only data.
#include <stdint.h>

#define LED (*(volatile uint32_t*)0x40020C14u)

static uint32_t counter = 0x1234u;
static const char greeting[] = "quorvel corpus";

__attribute__((constructor)) static void Prepare(void) { counter ^= 0xA5A5u; }
__attribute__((destructor)) static void Finish(void) { counter = 0; }

#ifdef BIG_TABLE
// Pseudo-random words, so that data placed at a wrong address cannot match by chance.
#define R(i) ((uint32_t)((i) * 2654435761u) ^ ((uint32_t)(i) >> 3))
#define X2(i) R(i), R((i) + 1)
#define X4(i) X2(i), X2((i) + 2)
#define X8(i) X4(i), X4((i) + 4)
#define X16(i) X8(i), X8((i) + 8)
#define X32(i) X16(i), X16((i) + 16)
#define X64(i) X32(i), X32((i) + 32)
#define X128(i) X64(i), X64((i) + 64)
#define X256(i) X128(i), X128((i) + 128)
#define X512(i) X256(i), X256((i) + 256)
#define X1024(i) X512(i), X512((i) + 512)
#define X2048(i) X1024(i), X1024((i) + 1024)
#define X4096(i) X2048(i), X2048((i) + 2048)
#define X8192(i) X4096(i), X4096((i) + 4096)
#define X16384(i) X8192(i), X8192((i) + 8192)
// 72 KB: the program reaches past 64 KB of flash at address 0.
const uint32_t table[18432] = {X16384(0), X2048(16384)};
#define TABLE_WORDS 18432u
#else
const uint32_t table[4] = {1, 2, 3, 4};
#define TABLE_WORDS 4u
#endif

int main(void) {
  for (uint32_t i = 0;; ++i) {
    LED = table[i % TABLE_WORDS] ^ counter ^ (uint32_t)greeting[i % sizeof greeting];
  }
}
