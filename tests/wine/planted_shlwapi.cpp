// A shlwapi.dll of the tests' own, planted beside karvelon.exe where a search by bare name
// would find it first. karvelon.exe must never load it: loaded, it leaves a marker file, and
// its SHDeleteValueA answers success without deleting anything.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE marker = CreateFileA("C:\\planted-shlwapi-loaded", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) LONG WINAPI SHDeleteValueA(HKEY, LPCSTR, LPCSTR) { return ERROR_SUCCESS; }
