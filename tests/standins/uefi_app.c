// A stand-in for a UEFI boot manager or loader, built with mingw-w64 as an
// EFI application: it says MESSAGE on the serial port and ends the machine
// through isa-debug-exit, needing nothing of the firmware's services.
static void out(unsigned short port, unsigned char value)
{
    __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}
unsigned long long efi_main(void* image, void* system)
{
    (void)image;
    (void)system;
    for (const char* text = MESSAGE; *text; ++text)
        out(0x3f8, (unsigned char)*text);
    out(0xf4, 0x10);
    for (;;)
        __asm__ volatile("hlt");
}
