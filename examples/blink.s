; blink.s, the quick start's 6502 program. It drives the eight lines of
; port B with 55 and AA in turn, each for some 1.3 ms at 1 MHz, a square
; wave of some 390 Hz on every line. LEDs on them look half lit, a scope
; shows them toggle, and a slower clock makes them blink. (xa takes a colon
; for the end of a statement, even in a comment, so none stands here.)
;
; The board has a 6502 at 1 MHz, 2 KiB of RAM at 0000-07FF (zero page and
; stack), a 6522 VIA at 6000-600F whose port B drives eight LEDs, and an
; 8 KiB 2764 EPROM at E000-FFFF, which the CPU reads this program from.
; vectors.byte holds the vectors at FFFA-FFFF, RESET pointing at reset
; (E000), NMI and IRQ at ignore (E019).
;
; xa -o blink.bin blink.s

orb     = $6000         ; the VIA's port B
ddrb    = $6002         ; its data direction, 1 for an output

        * = $e000

reset   sei             ; no interrupts
        cld
        ldx #$ff        ; the stack from 01FF down
        txs
        lda #$ff        ; port B, eight outputs
        sta ddrb
        lda #$55        ; every other LED on
loop    sta orb
        eor #$ff        ; the others next time
        ldx #0
wait    dex             ; 256 times round, some 1.3 ms
        bne wait
        jmp loop
ignore  rti             ; NMI and IRQ, back to where the CPU was
