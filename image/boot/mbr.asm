; Master boot record of the station's disks.
;
; The BIOS loads this sector to 0000:7C00 with the boot drive in DL. The code
; moves itself to 0000:0600, looks for the active partition entry (flag 0x80),
; loads that partition's first sector by its CHS start to 0000:7C00 and jumps
; to it with DL = boot drive and DS:SI = the active entry.
;
; Layout constraints checked at assembly time below:
;   - the three messages begin at offsets 139, 163 and 194, NUL-terminated;
;   - bytes 440-445 (disk signature area) are zero;
;   - 446-509 is the partition table (all zero here: the formatter fills
;     entry 1), 510-511 the boot signature.

        bits    16
        org     0x0600

RELOC           equ     0x0600
LOAD_ADDR       equ     0x7C00
PART_TABLE      equ     RELOC + 446
SIG_OFFSET      equ     LOAD_ADDR + 510
LOAD_ATTEMPTS   equ     5

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, LOAD_ADDR
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, LOAD_ADDR
        mov     di, RELOC
        mov     cx, 256
        rep     movsw
        jmp     0x0000:relocated

relocated:
        mov     [boot_drive], dl
        mov     si, PART_TABLE
        mov     cx, 4
.find:
        mov     al, [si]
        cmp     al, 0x80
        je      found_active
        test    al, al
        jnz     invalid_table
        add     si, 16
        loop    .find
        int     0x18                    ; nothing active: back to the BIOS
        jmp     halt

found_active:
        mov     bp, si                  ; BP = active entry
.rest:
        dec     cx
        jz      load_partition
        add     si, 16
        cmp     byte [si], 0
        je      .rest
        jmp     invalid_table

load_partition:
        mov     di, LOAD_ATTEMPTS
.attempt:
        mov     bx, LOAD_ADDR
        mov     ax, 0x0201              ; read one sector
        mov     dl, [boot_drive]
        mov     dh, [bp + 1]            ; start head
        mov     cx, [bp + 2]            ; start sector / cylinder
        int     0x13
        jnc     loaded
        xor     ax, ax                  ; reset the disk system, then retry
        mov     dl, [boot_drive]
        int     0x13
        dec     di
        jnz     .attempt
        mov     si, msg_load_error
        jmp     print_and_halt

invalid_table:
        mov     si, msg_invalid_table
        jmp     print_and_halt

        times   139 - ($ - $$) db 0
msg_invalid_table:
        db      "Invalid partition table", 0
msg_load_error:
        db      "Error loading operating system", 0
msg_missing_os:
        db      "Missing operating system", 0

loaded:
        cmp     word [SIG_OFFSET], 0xAA55
        jne     missing_os
        mov     si, bp
        mov     dl, [boot_drive]
        jmp     0x0000:LOAD_ADDR

missing_os:
        mov     si, msg_missing_os
        ; falls through

print_and_halt:
        lodsb
        test    al, al
        jz      halt
        mov     ah, 0x0E                ; teletype output
        mov     bx, 0x0007
        int     0x10
        jmp     print_and_halt

halt:
        hlt
        jmp     halt

boot_drive:
        db      0

        %if ($ - $$) > 440
        %error "master boot code runs into the disk signature area"
        %endif
        times   446 - ($ - $$) db 0     ; 440-445 stay zero
        times   64 db 0                 ; partition table
        dw      0xAA55

        %if (msg_invalid_table - $$) != 139 || (msg_load_error - $$) != 163 || (msg_missing_os - $$) != 194
        %error "message offsets moved"
        %endif
