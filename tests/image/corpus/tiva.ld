/* SPDX-License-Identifier: Apache-2.0 */
MEMORY
{
  FLASH (rx) : ORIGIN = 0x00000000, LENGTH = 256K
  RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 32K
}
INCLUDE sections.ld
