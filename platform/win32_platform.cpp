// The Win32 implementation of the platform seam: one call through to Windows per operation;
// and the hardening of the process at its start. This is the only file of the program that
// includes <windows.h>. The shell utility library and user32 are not imported: each is loaded
// from the system directory only when it is needed.
#include "platform/win32_platform.h"

#include "platform/hardening.h"
#include "platform/system_library_path.h"
#include "platform/window_station.h"

#include <cstddef>
#include <cstdio>

#include <windows.h>
#include <shlwapi.h>

namespace karvelon {
namespace {

static_assert(sizeof(InputRecord) == sizeof(INPUT_RECORD), "InputRecord layout");
static_assert(offsetof(InputRecord, event_type) == offsetof(INPUT_RECORD, EventType), "InputRecord layout");
static_assert(offsetof(InputRecord, key_down) == offsetof(INPUT_RECORD, Event.KeyEvent.bKeyDown), "InputRecord layout");
static_assert(offsetof(InputRecord, virtual_key_code) == offsetof(INPUT_RECORD, Event.KeyEvent.wVirtualKeyCode), "InputRecord layout");
static_assert(offsetof(InputRecord, virtual_scan_code) == offsetof(INPUT_RECORD, Event.KeyEvent.wVirtualScanCode), "InputRecord layout");
static_assert(offsetof(InputRecord, ascii_char) == offsetof(INPUT_RECORD, Event.KeyEvent.uChar.AsciiChar), "InputRecord layout");
static_assert(offsetof(InputRecord, control_key_state) == offsetof(INPUT_RECORD, Event.KeyEvent.dwControlKeyState), "InputRecord layout");
static_assert(KEY_EVENT == kKeyEvent && ENHANCED_KEY == kEnhancedKey && SHIFT_PRESSED == kShiftPressed, "event numbering");
static_assert(static_cast<DWORD>(KeyAccess::QueryValue) == KEY_QUERY_VALUE, "access numbering");
static_assert(static_cast<DWORD>(KeyAccess::SetValue) == KEY_SET_VALUE, "access numbering");
static_assert(kRegSz == REG_SZ && kRegExpandSz == REG_EXPAND_SZ, "numbering");
static_assert(kErrorMoreData == ERROR_MORE_DATA && kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "numbering");
static_assert(kLoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32 && kProcessDepEnable == PROCESS_DEP_ENABLE, "numbering");
static_assert(kSafeSearchModeForGood == (BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT), "numbering");
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT && kWaitFailed == WAIT_FAILED, "numbering");
static_assert(kUoiFlags == UOI_FLAGS && kWsfVisible == WSF_VISIBLE && sizeof(UserObjectFlags) == sizeof(USEROBJECTFLAGS),
              "USEROBJECTFLAGS layout");
static_assert(kErrorModNotFound == ERROR_MOD_NOT_FOUND && kErrorProcNotFound == ERROR_PROC_NOT_FOUND, "numbering");

HKEY root_of(RootKey root)
{
    switch (root) {
    case RootKey::LocalMachine: return HKEY_LOCAL_MACHINE;
    case RootKey::ClassesRoot: return HKEY_CLASSES_ROOT;
    case RootKey::CurrentUser: return HKEY_CURRENT_USER;
    }
    return HKEY_CURRENT_USER;
}

HKEY key_of(KeyHandle key) { return static_cast<HKEY>(key); }
HANDLE handle_of(ConsoleHandle console) { return static_cast<HANDLE>(console); }

// A loaded library, freed when this goes away.
class Library {
public:
    explicit Library(HMODULE module) : module_(module) {}
    ~Library()
    {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// `name` of `module`, looked up at run time: Windows versions that lack a function refuse to
// start a program that imports it. Null where it is missing.
template <typename Function>
Function function_of(HMODULE module, const char* name)
{
    // Through the generic function type, which any function pointer may be cast to and from.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The library `name` ("\\x.dll") from the system directory, by its full path, with its own
// dependencies searched from there too; never by bare name, so a copy planted beside the
// program or in the current directory is never loaded. Null when it cannot be loaded.
HMODULE load_system_library(const char* name)
{
    char path[1024] = {};
    const UINT answered = GetSystemDirectoryA(path, sizeof path);
    if (!system_library_path(path, sizeof path, answered, name)) return nullptr;
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace

// Looks up what the running Windows has of the hardening functions (importing one would keep
// older Windows from starting the program) and hands them on.
void harden_process()
{
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == nullptr) return;
    HardeningFunctions found{};
    found.set_default_dll_directories =
        function_of<decltype(found.set_default_dll_directories)>(kernel32, "SetDefaultDllDirectories");
    found.set_dll_directory = function_of<decltype(found.set_dll_directory)>(kernel32, "SetDllDirectoryA");
    found.set_search_path_mode = function_of<decltype(found.set_search_path_mode)>(kernel32, "SetSearchPathMode");
    found.set_process_dep_policy = function_of<decltype(found.set_process_dep_policy)>(kernel32, "SetProcessDEPPolicy");
    harden_with(found);
}

Status Win32Platform::reg_open_key_ex(RootKey root, const char* subkey, KeyAccess access, KeyHandle* key)
{
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(root_of(root), subkey, 0, static_cast<REGSAM>(access), &opened);
    *key = opened;
    return status;
}

Status Win32Platform::reg_query_value_ex(KeyHandle key, const char* name, std::uint32_t* type, unsigned char* data,
                                         std::uint32_t* size)
{
    DWORD in_out = *size;
    DWORD value_type = 0;
    const LONG status = RegQueryValueExA(key_of(key), name, nullptr, type != nullptr ? &value_type : nullptr, data, &in_out);
    if (type != nullptr) *type = value_type;
    *size = in_out;
    return status;
}

Status Win32Platform::reg_set_value(RootKey root, const char* subkey, std::uint32_t type, const char* data, std::uint32_t size)
{
    return RegSetValueA(root_of(root), subkey, type, data, size);
}

Status Win32Platform::reg_delete_key(RootKey root, const char* subkey) { return RegDeleteKeyA(root_of(root), subkey); }

Status Win32Platform::reg_close_key(KeyHandle key) { return RegCloseKey(key_of(key)); }

// A run that finds no infection never gets here, so it never loads shlwapi. A library that
// cannot be loaded, or lacks the function, answers its own error: never success, and never
// ERROR_FILE_NOT_FOUND, which would tell the caller that the value is already gone.
Status Win32Platform::sh_delete_value(RootKey root, const char* subkey, const char* name)
{
    const Library shlwapi(load_system_library("\\shlwapi.dll"));
    if (shlwapi.get() == nullptr) return kErrorModNotFound;
    const auto delete_value = function_of<decltype(&SHDeleteValueA)>(shlwapi.get(), "SHDeleteValueA");
    if (delete_value == nullptr) return kErrorProcNotFound;
    return static_cast<Status>(delete_value(root_of(root), subkey, name));
}

std::uint32_t Win32Platform::get_system_directory(char* buffer, std::uint32_t capacity)
{
    return GetSystemDirectoryA(buffer, capacity);
}

bool Win32Platform::delete_file(const char* path) { return DeleteFileA(path) != 0; }

ConsoleHandle Win32Platform::open_console_input()
{
    static_assert(sizeof(HANDLE) == sizeof(ConsoleHandle), "handle size");
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    // cppcheck-suppress resourceLeak ; the handle goes to the caller, which closes it
    return console == INVALID_HANDLE_VALUE ? invalid_console_handle() : console;
}

bool Win32Platform::get_number_of_console_input_events(ConsoleHandle console, std::uint32_t* count)
{
    DWORD events = 0;
    const BOOL ok = GetNumberOfConsoleInputEvents(handle_of(console), &events);
    *count = events;
    return ok != 0;
}

bool Win32Platform::peek_console_input(ConsoleHandle console, InputRecord* records, std::uint32_t length,
                                       std::uint32_t* read)
{
    DWORD peeked = 0;
    const BOOL ok = PeekConsoleInputA(handle_of(console), reinterpret_cast<INPUT_RECORD*>(records), length, &peeked);
    *read = peeked;
    return ok != 0;
}

void Win32Platform::close_console_input(ConsoleHandle console) { CloseHandle(handle_of(console)); }

std::uint32_t Win32Platform::wait_for_console_input(ConsoleHandle console, std::uint32_t milliseconds)
{
    return WaitForSingleObject(handle_of(console), milliseconds);
}

void Win32Platform::sleep(std::uint32_t milliseconds) { Sleep(milliseconds); }

// Asked only once the console input device has opened, so a run without a console never loads
// user32. It stays loaded until the process ends, a moment later, as in any program that imports
// it; freeing it would gain nothing.
bool Win32Platform::window_station_visible()
{
    WindowStationFunctions found{};
    const HMODULE user32 = load_system_library("\\user32.dll");
    if (user32 != nullptr) {
        found.get_process_window_station =
            function_of<decltype(found.get_process_window_station)>(user32, "GetProcessWindowStation");
        found.get_user_object_information =
            function_of<decltype(found.get_user_object_information)>(user32, "GetUserObjectInformationA");
    }
    return window_station_visible_with(found);
}

// MinGW's C++ headers turn printf into MinGW's own formatter, which writes through at once
// whatever standard output is; msvcrt's printf keeps the C runtime's rules (text mode, and
// buffering when standard output is a file or a pipe). The texts hold no '%'.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void Win32Platform::write_message(const char* text) { __ms_printf(text); }
#pragma GCC diagnostic pop

} // namespace karvelon
