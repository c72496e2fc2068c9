/* SPDX-License-Identifier: Apache-2.0 */
MEMORY
{
  FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K
  RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 20K
}
INCLUDE sections.ld
