// A library of the tests' own that leaves a marker file C:\MARKER-loaded when it is loaded and
// C:\MARKER-freed when FreeLibrary lets it go (a detach with lpReserved NULL; the process
// ending passes non-NULL). Built as a shlwapi.dll without SHDeleteValueA, as Internet Explorer
// 3 left one, and as a shcore.dll and a user32.dll to plant beside the program; MARKER names the build.
#include <windows.h>

namespace {

void leave_marker(const char* path)
{
    HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) leave_marker("C:\\" MARKER "-loaded");
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) leave_marker("C:\\" MARKER "-freed");
    return TRUE;
}
