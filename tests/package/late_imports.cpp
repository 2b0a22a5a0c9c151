// Programs the reach check must reject for their imports, one per macro: a function that came
// with Vista, one that came with Windows 98 (and NT 3.51), one that karvelon.exe may only look
// up at run time, or a DLL outside the three karvelon.exe may use. Declared by hand so that no Windows
// version macro decides what the headers offer; nothing else is called.

#if defined(KARVELON_IMPORT_VISTA_FUNCTION)
extern "C" __declspec(dllimport) unsigned long long __stdcall GetTickCount64();
int main() { return static_cast<int>(GetTickCount64() & 1u); }
#elif defined(KARVELON_IMPORT_WINDOWS98_FUNCTION)
extern "C" __declspec(dllimport) int __stdcall IsDebuggerPresent();
int main() { return IsDebuggerPresent(); }
#elif defined(KARVELON_IMPORT_SEARCH_FUNCTION)
extern "C" __declspec(dllimport) int __stdcall SetDefaultDllDirectories(unsigned long flags);
int main() { return SetDefaultDllDirectories(0x800); }
#elif defined(KARVELON_IMPORT_FOREIGN_DLL)
extern "C" __declspec(dllimport) int __stdcall MessageBeep(unsigned type);
int main() { return MessageBeep(0) != 0 ? 0 : 1; }
#endif
