; SPDX-License-Identifier: Apache-2.0
; PIC18F4550: counts on PORTB. gpasm writes the configuration bytes (0x300000) and the EEPROM data
; (0xF00000) into the HEX file too, outside program memory.
        list    p=18f4550
        #include <p18f4550.inc>
        config  FOSC = HS, WDT = OFF, LVP = OFF, PBADEN = OFF

        org     0
        goto    start
        org     0x08
        retfie
        org     0x18
        retfie
start:
        clrf    TRISB
loop:
        incf    LATB, f
        bra     loop

        org     0x0400
        db      "quorvel corpus", 0

        org     0xF00000
        de      "quorvel"
        end
