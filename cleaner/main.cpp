// The Windows entry point: hardens the process, makes the Win32 platform and hands it to the
// run. Arguments and the environment are not read.
#include "cleaner/run.h"
#include "platform/win32_platform.h"

int main()
{
    karvelon::harden_process();
    karvelon::Win32Platform platform;
    return karvelon::run(platform);
}
