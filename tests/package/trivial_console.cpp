// The smallest console program, built with karvelon.exe's toolchain and flags: the bench's
// baseline for the cost of starting a program under Wine, and (linked for a newer Windows, or
// with the packaged runtime) a program the reach check must reject.
#include <cstdio>

int main()
{
    std::fputs(" Done.\n", stdout);
    return 0;
}
