// Programs the reach check must reject for their code, one per value of KARVELON_BEYOND_I486:
// each runs one instruction that a 486 does not have, written out so that no compiler option
// decides whether it is there.
int main()
{
#if KARVELON_BEYOND_I486 == 1
    __asm__ volatile("cmovz %%ecx, %%eax" ::: "eax", "ecx", "cc");
#elif KARVELON_BEYOND_I486 == 2
    __asm__ volatile("fldz; fldz; fcomip %%st(1), %%st; fstp %%st(0)" ::: "cc");
#elif KARVELON_BEYOND_I486 == 3
    __asm__ volatile("rdtsc" ::: "eax", "edx");
#elif KARVELON_BEYOND_I486 == 4
    __asm__ volatile("movd %%eax, %%xmm0" ::: "memory");
#elif KARVELON_BEYOND_I486 == 5
    __asm__ volatile("nopl 0(%%eax)" :::);
#elif KARVELON_BEYOND_I486 == 6
    // With the lock prefix, as a 64-bit atomic built for the Pentium has it.
    unsigned long long value = 0;
    __asm__ volatile("lock cmpxchg8b %0" : "+m"(value)::"eax", "edx", "cc");
    return static_cast<int>(value);
#elif KARVELON_BEYOND_I486 == 7
    // No emms: the register alone must give MMX away, as no mnemonic on the list does.
    __asm__ volatile("movq %%mm0, %%mm1" :::);
#elif KARVELON_BEYOND_I486 == 8
    // The 11-byte nop the assembler pads with for a Pentium Pro, as bytes: objdump shows its
    // prefixes as words before the mnemonic ("data16 cs nopw", or "data16 nopw %cs:...").
    __asm__ volatile(".byte 0x66, 0x66, 0x2e, 0x0f, 0x1f, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00" :::);
#elif KARVELON_BEYOND_I486 == 9
    // Some late 486s have it; a program must not count on it.
    __asm__ volatile("cpuid" ::: "eax", "ebx", "ecx", "edx");
#elif KARVELON_BEYOND_I486 == 10
    // GCC writes a trap as ud2, a Pentium Pro instruction, whatever -march says.
    __builtin_trap();
#endif
    return 0;
}
