; Boot sector of the station's FAT12/FAT16 volumes.
;
; The master boot record loads this sector to 0000:7C00 and jumps to it with
; the BIOS drive number in DL. The code reads the root directory named by the
; parameter block, looks for the system loader ("IO      SYS" or
; "WINBOOT SYS") together with "MSDOS   SYS", loads the first four sectors of
; the loader's first cluster to 0000:0700 and jumps to 0070:0000 with
; DL = boot drive. Without the system files it prints "Invalid system disk",
; on a read failure "Disk I/O error", then "Replace the disk, and then press
; any key", waits for a key and hands back to the BIOS (INT 19h).
;
; Sectors are read by CHS with the geometry the BIOS reports for the drive
; (the volumes end below 2 GiB, well within CHS reach).
;
; The formatter overwrites the computed parameter block fields; the values
; below are only defaults.

        bits    16
        cpu     386
        org     0x7C00

; Parameter block fields addressed through BP = 7C00h (one byte shorter).
%define V(field) bp + (field - $$)

DIR_BUFFER      equ     0x7E00
LOADER_ADDR     equ     0x0700
LOADER_SECTORS  equ     4
READ_ATTEMPTS   equ     3

        jmp     short boot_code
        nop
oem_name:               db      "MSWIN4.1"
bytes_per_sector:       dw      512
sectors_per_cluster:    db      8
reserved_sectors:       dw      1
number_of_fats:         db      2
root_entries:           dw      512
total_sectors_16:       dw      0
media_descriptor:       db      0xF8
sectors_per_fat:        dw      0
sectors_per_track:      dw      32
heads:                  dw      255
hidden_sectors:         dd      32
total_sectors_32:       dd      0
drive_number:           db      0x80
reserved_byte:          db      0
boot_signature:         db      0x29
volume_serial:          dd      0
volume_label:           db      "NO NAME    "
file_system_type:       db      "FAT16   "
found_files:            db      0           ; run-time scratch, not part of the BPB
                        db      0

        %if ($ - $$) != 64
        %error "boot code must begin at offset 64"
        %endif

boot_code:
        cli
        xor     ax, ax
        mov     ds, ax
        mov     es, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     bp, sp                  ; BP addresses the parameter block
        sti
        cld
        mov     [V(drive_number)], dl

        ; Take the geometry the BIOS uses for this drive; keep the parameter
        ; block's values when it does not tell.
        mov     ah, 0x08
        int     0x13
        jc      .layout
        and     cx, 0x3F
        mov     [V(sectors_per_track)], cx
        movzx   dx, dh
        inc     dx
        mov     [V(heads)], dx
        push    ds                      ; INT 13h/08h may change ES
        pop     es

.layout:
        ; root directory = hidden + reserved + FATs * sectors per FAT
        mov     al, [V(number_of_fats)]
        cbw
        mul     word [V(sectors_per_fat)]
        add     ax, [V(reserved_sectors)]
        movzx   eax, ax
        add     eax, [V(hidden_sectors)]
        mov     [V(volume_serial)], eax ; the serial's bytes serve as scratch
        mov     di, [V(root_entries)]
        shr     di, 4                   ; DI = root directory sectors (16 entries each)

.next_sector:
        mov     bx, DIR_BUFFER
        call    read_sector
        jc      io_error
        push    di
        mov     di, DIR_BUFFER
        mov     dx, 16
.next_entry:
        cmp     byte [di], 0            ; end of the directory (the saved DI
        je      .search_done            ; stays on the stack: nothing returns)
        mov     si, system_files
        call    match_name              ; "IO      SYS"
        je      .loader
        call    match_name              ; "MSDOS   SYS"
        je      .msdos
        call    match_name              ; "WINBOOT SYS"
        jne     .skip
.loader:
        mov     cx, [di + 26]           ; first cluster
        mov     [loader_cluster], cx
        or      byte [V(found_files)], 1 ; bit 0: loader, bit 1: MSDOS.SYS
        jmp     .skip
.msdos:
        or      byte [V(found_files)], 2
.skip:
        add     di, 32
        dec     dx
        jnz     .next_entry
        pop     di
        inc     eax
        dec     di
        jnz     .next_sector
.search_done:
        cmp     byte [V(found_files)], 3
        jne     invalid_disk

        ; data area = root directory + its sectors; loader cluster n at
        ; data + (n - 2) * sectors per cluster
        mov     cx, [loader_cluster]
        dec     cx
        dec     cx
        movzx   ax, byte [V(sectors_per_cluster)]
        mul     cx
        push    dx
        push    ax
        pop     eax
        add     eax, [V(volume_serial)]
        movzx   ecx, word [V(root_entries)]
        shr     cx, 4
        add     eax, ecx
        mov     bx, LOADER_ADDR
        mov     cx, LOADER_SECTORS
.load:
        call    read_sector
        jc      io_error
        inc     eax
        add     bh, 2                   ; next 512 bytes
        loop    .load
        mov     dl, [V(drive_number)]
        jmp     0x0070:0x0000

invalid_disk:
        mov     si, msg_invalid_disk
        jmp     fail
io_error:
        mov     si, msg_io_error
fail:
        call    print
        mov     si, msg_replace
        call    print
        xor     ax, ax
        int     0x16                    ; wait for a key
        int     0x19                    ; and let the BIOS boot again

; Compares the 11-byte name at DS:SI with the directory entry at ES:DI.
; ZF set when equal; SI moves on to the next name; DI is kept, CX is not.
match_name:
        push    di
        push    si
        mov     cx, 11
        repe    cmpsb
        pop     si
        pop     di
        lea     si, [si + 11]           ; keeps the flags of the compare
        ret

; Reads the sector EAX to ES:BX. CF set on failure. Keeps every register.
read_sector:
        pushad
        mov     di, READ_ATTEMPTS
.attempt:
        pushad
        xor     edx, edx
        movzx   ecx, word [V(sectors_per_track)]
        div     ecx                     ; EAX = track, EDX = sector - 1
        inc     dx
        mov     cl, dl
        xor     edx, edx
        movzx   esi, word [V(heads)]
        div     esi                     ; EAX = cylinder, EDX = head
        mov     dh, dl
        mov     ch, al
        shl     ah, 6
        or      cl, ah
        mov     dl, [V(drive_number)]
        mov     ax, 0x0201
        int     0x13
        popad
        jnc     .done
        pushad
        mov     ah, 0                   ; reset the disk system
        mov     dl, [V(drive_number)]
        int     0x13
        popad
        dec     di
        jnz     .attempt
        stc
.done:
        popad
        ret

; Prints the text at DS:SI up to a NUL or 0xFF byte.
print:
        lodsb
        test    al, al
        jz      .done
        cmp     al, 0xFF
        je      .done
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     print
.done:
        ret

loader_cluster:         dw      0
system_files:           db      "IO      SYS", "MSDOS   SYS", "WINBOOT SYS"
msg_invalid_disk:       db      13, 10, "Invalid system disk", 0xFF
msg_io_error:           db      13, 10, "Disk I/O error", 0xFF
msg_replace:            db      13, 10, "Replace the disk, and then press any key", 13, 10, 0

        %if ($ - $$) > 510
        %error "boot code too long"
        %endif
        times   510 - ($ - $$) db 0
        dw      0xAA55
