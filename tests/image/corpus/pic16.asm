; SPDX-License-Identifier: Apache-2.0
; PIC16F628A: counts on PORTB. gpasm writes the configuration word (0x2007) and the EEPROM data
; (0x2100) into the HEX file too, outside program memory.
        list    p=16f628a
        #include <p16f628a.inc>
        __config _CP_OFF & _WDT_OFF & _INTOSC_OSC_NOCLKOUT & _LVP_OFF

        org     0
        goto    start
        org     4
        retfie
start:
        bsf     STATUS, RP0
        clrf    TRISB
        bcf     STATUS, RP0
loop:
        incf    PORTB, f
        goto    loop

        org     0x0200
        dt      "quorvel"

        org     0x2100
        de      "quorvel"
        end
