// The platform contract (tests/platform_contract.h) against Windows itself: each row through
// Win32Platform, set up and looked at with plain Win32 calls, in a scratch key of the current
// user and a scratch file. Prints one line per row and exits 1 when a row fails.
#define _WIN32_WINNT 0x0600 // RegDeleteTreeA, for clearing the scratch key between rows
#include <windows.h>

#include <cstdio>

#include "platform/win32_platform.h"
#include "tests/platform_contract.h"
#include "tests/wine/deny_access.h"

namespace {

using karvelon::contract::Observed;
using karvelon::contract::Row;

class Win32World final : public karvelon::contract::World {
public:
    void add_key(const char* subkey) override
    {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0)
            RegCloseKey(key);
    }
    void set_value(const char* subkey, const char* name, std::uint32_t type, const char* data, std::uint32_t size) override
    {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) return;
        RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    // Everything allowed but KEY_SET_VALUE, which is denied first.
    void deny_set_value(const char* subkey) override
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, WRITE_DAC, &key) != 0) return;
        deny_to_everyone(key, KEY_SET_VALUE);
        RegCloseKey(key);
    }
    void add_file(const char* path, bool read_only) override
    {
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        WriteFile(file, "contract", 8, &written, nullptr);
        CloseHandle(file);
        if (read_only) SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY);
    }
    bool has_key(const char* subkey) override
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_QUERY_VALUE, &key) != 0) return false;
        RegCloseKey(key);
        return true;
    }
    bool has_value(const char* subkey, const char* name) override
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_QUERY_VALUE, &key) != 0) return false;
        const LONG status = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        return status == 0;
    }
    bool has_file(const char* path) override { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }
    bool default_value(const char* subkey, std::uint32_t* type, char* data, std::uint32_t* size) override
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_QUERY_VALUE, &key) != 0) return false;
        DWORD value_type = 0, value_size = *size;
        const LONG status = RegQueryValueExA(key, nullptr, nullptr, &value_type, reinterpret_cast<BYTE*>(data), &value_size);
        RegCloseKey(key);
        *type = value_type;
        *size = value_size;
        return status == 0;
    }
    const char* system_directory() override
    {
        GetSystemDirectoryA(directory_, sizeof directory_);
        return directory_;
    }

    void queue_key_release() override
    {
        HANDLE in = console_input();
        INPUT_RECORD release{};
        release.EventType = KEY_EVENT;
        release.Event.KeyEvent.wVirtualScanCode = 0x1E;
        DWORD written = 0;
        WriteConsoleInputA(in, &release, 1, &written);
        CloseHandle(in);
    }
    void move_to_new_window_station() override
    {
        const HWINSTA original = GetProcessWindowStation();
        const HWINSTA created = CreateWindowStationA("karvelon-contract", 0, WINSTA_ALL_ACCESS, nullptr);
        if (created != nullptr && SetProcessWindowStation(created)) original_station_ = original;
    }

    // Back to nothing: no scratch key, no scratch file, no console input, the first window station.
    void clear()
    {
        if (original_station_ != nullptr) {
            const HWINSTA created = GetProcessWindowStation();
            SetProcessWindowStation(original_station_);
            CloseWindowStation(created);
            original_station_ = nullptr;
        }
        HANDLE in = console_input();
        FlushConsoleInputBuffer(in);
        CloseHandle(in);
        RegDeleteTreeA(HKEY_CURRENT_USER, karvelon::contract::kKey);
        RegDeleteKeyA(HKEY_CURRENT_USER, karvelon::contract::kKey);
        SetFileAttributesA(karvelon::contract::kFile, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(karvelon::contract::kFile);
    }

private:
    static HANDLE console_input()
    {
        return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }

    char directory_[MAX_PATH] = {};
    HWINSTA original_station_ = nullptr;
};

// The console rows need a console, and Wine gives a program started without a terminal none that
// works. A process started without a window gets one of its own (under Wine, one that needs no
// display): the rows run in such a copy of this program, into the same output.
int in_a_console_of_its_own()
{
    char path[MAX_PATH] = {};
    char line[MAX_PATH + 16] = {};
    if (GetModuleFileNameA(nullptr, path, sizeof path) == 0) return 2;
    std::snprintf(line, sizeof line, "\"%s\" console", path);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child))
        return 2;
    DWORD status = 2;
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(status);
}

} // namespace

// contract [console]: "console" when started in a console of its own.
int main(int argc, char**)
{
    if (argc == 1) return in_a_console_of_its_own();
    karvelon::Win32Platform platform;
    Win32World world;
    int failures = 0;
    for (const Row& row : karvelon::contract::kRows) {
        world.clear();
        if (row.arrange != nullptr) row.arrange(world);
        Observed observed;
        row.call(platform, observed);
        const bool passed = karvelon::contract::passes(row, observed, world);
        char expected[16] = "non-zero";
        if (row.answer != karvelon::contract::kAnyFailure) std::snprintf(expected, sizeof expected, "%ld", row.answer);
        std::printf("%s %s: answered %ld, size %lu; expected %s%s%s\n", passed ? "ok" : "FAIL", row.name,
                    observed.answer, static_cast<unsigned long>(observed.size),
                    row.answer == karvelon::contract::kSeeResult ? "" : expected,
                    row.result != nullptr ? ", and " : "", row.result != nullptr ? row.result : "");
        if (!passed) ++failures;
    }
    world.clear();
    std::printf("%d of %u rows failed\n", failures, static_cast<unsigned>(sizeof karvelon::contract::kRows / sizeof(Row)));
    return failures == 0 ? 0 : 1;
}
