; A stand-in system loader for the boot test: the boot sector loads its first
; sectors to 0000:0700 and jumps to 0070:0000; it only says that it ran.
        bits    16
        org     0
        mov     ax, cs
        mov     ds, ax
        mov     si, message
.next:
        lodsb
        test    al, al
        jz      .halt
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     .next
.halt:
        hlt
        jmp     .halt
message:
        db      13, 10, "KX20 test loader started", 0
        times   2048 - ($ - $$) db 0x90
