# A stand-in for the code of Windows' boot sector, placed at 0x54 of an NTFS
# boot sector (origin 0x7c54) behind its BPB: like Windows' own, it finds its
# volume by the hidden sectors field, reads its own sector again there
# through the BIOS, and says on the serial port whether that worked; it ends
# the machine through isa-debug-exit (port 0xf4).
.code16
.globl _start
_start:
    cli
    xor %ax, %ax
    mov %ax, %ds
    mov %ax, %es
    mov %ax, %ss
    mov $0x7c00, %sp
    sti
    movw $0x0010, 0x500
    movw $1, 0x502
    movw $0x8000, 0x504
    movw $0, 0x506
    movl 0x7c1c, %eax
    movl %eax, 0x508
    movl $0, 0x50c
    mov $0x500, %si
    mov $0x42, %ah
    int $0x13
    jc bad
    mov $0x7c00, %si
    mov $0x8000, %di
    mov $256, %cx
    cld
    repe cmpsw
    jne bad
    mov $good, %si
    call print
    mov $0x10, %al
    out %al, $0xf4
bad:
    mov $wrong, %si
    call print
    mov $0x20, %al
    out %al, $0xf4
hang:
    hlt
    jmp hang
print:
    lodsb
    test %al, %al
    jz done
    mov $0x3f8, %dx
    out %al, %dx
    jmp print
done:
    ret
good: .asciz "STARTED WINDOWS\r\n"
wrong: .asciz "DISK READ ERROR\r\n"
