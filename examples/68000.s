| 68000.s, a 68000 that runs a two-instruction loop for ever.
|
| The board's ROM is two 32 KiB 27C256 at 000000-00FFFF, the even bytes in
| the chip on D15-D8, the odd bytes in the chip on D7-D0. The loop touches
| no RAM and no I/O, and never the stack: the stack pointer at reset,
| 00010000, is the first address past the ROM, which a program that calls
| a subroutine or takes an interrupt sets to the top of its RAM instead.

        .text
        .long   0x00010000      | the stack pointer at reset
        .long   _start          | the program counter at reset
        .org    0x400, 0xff     | the other vectors unused, left blank
        .globl  _start          | where ld looks for the program's entry
_start:
loop:   nop                     | the CPU fetches 0400-0403 over and over
        bra.s   loop
