// The one seam between the cleaner and Windows: one operation per Windows function the
// program calls, in a small vocabulary of its own so that the rest of the program builds
// and runs on Linux against the simulated Windows of the tests.
#pragma once

#include <cstdint>

namespace karvelon {

// 0 is success, anything else is the Windows error code the call answered.
using Status = long;
constexpr Status kSuccess = 0;
constexpr Status kErrorFileNotFound = 2;
constexpr Status kErrorAccessDenied = 5;
constexpr Status kErrorModNotFound = 126;  // a library that could not be loaded
constexpr Status kErrorProcNotFound = 127; // a library that lacks the function
constexpr Status kErrorMoreData = 234;

enum class RootKey : std::uint8_t { LocalMachine, ClassesRoot, CurrentUser };

// Access rights as Windows numbers them.
enum class KeyAccess : std::uint32_t { QueryValue = 0x0001, SetValue = 0x0002 };

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;

// What WaitForSingleObject answers.
constexpr std::uint32_t kWaitObject0 = 0x00000000;
constexpr std::uint32_t kWaitTimeout = 0x00000102;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

// Windows' own calling convention for its functions, where it differs from C's: for those looked
// up at run time.
#if defined(_WIN32) && defined(__i386__)
#define KARVELON_WINAPI __attribute__((stdcall))
#else
#define KARVELON_WINAPI
#endif

// Opaque handles. A key handle is only meaningful after a successful open; the console
// input handle names its own invalid value, as CreateFileA does.
using KeyHandle = void*;
using ConsoleHandle = void*;
inline ConsoleHandle invalid_console_handle() { return reinterpret_cast<ConsoleHandle>(~std::uintptr_t{0}); }

// Event types and control-key state bits as Windows numbers them.
constexpr std::uint16_t kKeyEvent = 0x0001;
constexpr std::uint16_t kMouseEvent = 0x0002;
constexpr std::uint16_t kWindowBufferSizeEvent = 0x0004;
constexpr std::uint16_t kMenuEvent = 0x0008;
constexpr std::uint16_t kFocusEvent = 0x0010;

constexpr std::uint32_t kRightAltPressed = 0x0001;
constexpr std::uint32_t kLeftAltPressed = 0x0002;
constexpr std::uint32_t kRightCtrlPressed = 0x0004;
constexpr std::uint32_t kLeftCtrlPressed = 0x0008;
constexpr std::uint32_t kShiftPressed = 0x0010;
constexpr std::uint32_t kNumLockOn = 0x0020;
constexpr std::uint32_t kScrollLockOn = 0x0040;
constexpr std::uint32_t kCapsLockOn = 0x0080;
constexpr std::uint32_t kEnhancedKey = 0x0100;

// Laid out byte for byte like the Windows INPUT_RECORD holding a KEY_EVENT_RECORD, so a peek
// fills an array of these directly (the Win32 layer checks the layout at compile time).
// Only the key-event fields are named; other events are told apart by event_type alone.
struct InputRecord {
    std::uint16_t event_type;
    std::uint16_t padding0;
    std::int32_t key_down;
    std::uint16_t repeat_count;
    std::uint16_t virtual_key_code;
    std::uint16_t virtual_scan_code;
    char ascii_char;        // low byte of the character union; what PeekConsoleInputA fills
    char unicode_high_byte; // the rest of that union, never read
    std::uint32_t control_key_state;
};
static_assert(sizeof(InputRecord) == 20, "InputRecord must match INPUT_RECORD");

class Platform {
public:
    // RegOpenKeyExA(root, subkey, 0, access, key): 0 and *key set when opened.
    virtual Status reg_open_key_ex(RootKey root, const char* subkey, KeyAccess access, KeyHandle* key) = 0;
    // RegQueryValueExA(key, name, NULL, type, data, size): 0 when *size bytes stand in data;
    // ERROR_MORE_DATA when the value holds more than *size bytes. `type` may be null; when
    // not, it receives the value's type.
    virtual Status reg_query_value_ex(KeyHandle key, const char* name, std::uint32_t* type, unsigned char* data,
                                      std::uint32_t* size) = 0;
    // RegSetValueA(root, subkey, type, data, size): sets the default value of root\subkey.
    virtual Status reg_set_value(RootKey root, const char* subkey, std::uint32_t type, const char* data, std::uint32_t size) = 0;
    // RegDeleteKeyA(root, subkey): deletes a key that has no subkeys.
    virtual Status reg_delete_key(RootKey root, const char* subkey) = 0;
    // RegCloseKey(key).
    virtual Status reg_close_key(KeyHandle key) = 0;
    // SHDeleteValueA(root, subkey, name): opens root\subkey itself and deletes one value.
    virtual Status sh_delete_value(RootKey root, const char* subkey, const char* name) = 0;

    // GetSystemDirectoryA(buffer, capacity): length written, or the size needed when it does not fit.
    virtual std::uint32_t get_system_directory(char* buffer, std::uint32_t capacity) = 0;
    // DeleteFileA(path): true when the file was deleted.
    virtual bool delete_file(const char* path) = 0;

    // CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
    // NULL, OPEN_EXISTING, 0, NULL): the console input device, or invalid_console_handle().
    virtual ConsoleHandle open_console_input() = 0;
    // GetNumberOfConsoleInputEvents(console, count): true on success.
    virtual bool get_number_of_console_input_events(ConsoleHandle console, std::uint32_t* count) = 0;
    // PeekConsoleInputA(console, records, length, read): true on success; removes nothing.
    virtual bool peek_console_input(ConsoleHandle console, InputRecord* records, std::uint32_t length, std::uint32_t* read) = 0;
    // CloseHandle(console).
    virtual void close_console_input(ConsoleHandle console) = 0;
    // WaitForSingleObject(console, milliseconds): kWaitObject0 at once while any event is queued,
    // or as soon as one is; kWaitTimeout when none came in time; kWaitFailed.
    virtual std::uint32_t wait_for_console_input(ConsoleHandle console, std::uint32_t milliseconds) = 0;
    // Sleep(milliseconds).
    virtual void sleep(std::uint32_t milliseconds) = 0;
    // Whether the process's window station is visible: GetUserObjectInformationA of
    // GetProcessWindowStation() with UOI_FLAGS has WSF_VISIBLE set. user32 is loaded for it, by its
    // full path in the system directory, and both looked up at run time. False only when Windows
    // answers that it is not: no user32, no such functions (Windows 95, 98 and ME have no window
    // stations) or a failed call all count as visible.
    virtual bool window_station_visible() = 0;

    // The C runtime's printf with text as the format and no arguments.
    virtual void write_message(const char* text) = 0;

protected:
    // Never destroyed through the interface, so the program needs no deleting destructor.
    ~Platform() = default;
};

} // namespace karvelon
