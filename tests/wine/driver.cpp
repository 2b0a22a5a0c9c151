// Test driver for karvelon.exe under Wine. It shares its console with the program it starts,
// writes console input records the way a keyboard would, and checks what the program shows
// while it waits; it also sets registry DACLs for the failure cases. Results go to a log file.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "deny_access.h"

namespace {

FILE* g_log = stdout;

void say(const char* format, const char* text = "", unsigned long number = 0)
{
    std::fprintf(g_log, format, text, number);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

INPUT_RECORD key(bool down, WORD vk, WORD scan, char ch, DWORD state = 0)
{
    INPUT_RECORD r{};
    r.EventType = KEY_EVENT;
    r.Event.KeyEvent.bKeyDown = down;
    r.Event.KeyEvent.wRepeatCount = 1;
    r.Event.KeyEvent.wVirtualKeyCode = vk;
    r.Event.KeyEvent.wVirtualScanCode = scan;
    r.Event.KeyEvent.uChar.AsciiChar = ch;
    r.Event.KeyEvent.dwControlKeyState = state;
    return r;
}

// Events that must not end the wait: modifiers and locks alone, releases, mouse and focus.
int not_a_key_press(INPUT_RECORD* out)
{
    int n = 0;
    out[n++] = key(true, VK_SHIFT, 0x2A, 0, SHIFT_PRESSED);
    out[n++] = key(true, VK_CONTROL, 0x1D, 0, LEFT_CTRL_PRESSED);
    out[n++] = key(true, VK_MENU, 0x38, 0, LEFT_ALT_PRESSED);
    out[n++] = key(true, VK_CAPITAL, 0x3A, 0, CAPSLOCK_ON);
    out[n++] = key(true, VK_LWIN, 0x5B, 0, ENHANCED_KEY);
    out[n++] = key(false, 'A', 0x1E, 'a');
    out[n++] = key(false, VK_F1, 0x3B, 0);
    INPUT_RECORD mouse{};
    mouse.EventType = MOUSE_EVENT;
    mouse.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
    // Read as a key event, these make a pressed Alt+D: only the event type tells them apart.
    mouse.Event.MouseEvent.dwMousePosition = COORD{10, 5};
    mouse.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
    mouse.Event.MouseEvent.dwControlKeyState = NUMLOCK_ON;
    out[n++] = mouse;
    INPUT_RECORD focus{};
    focus.EventType = FOCUS_EVENT;
    focus.Event.FocusEvent.bSetFocus = TRUE;
    out[n++] = focus;
    return n;
}

INPUT_RECORD key_press_named(const char* name)
{
    if (std::strcmp(name, "f1") == 0) return key(true, VK_F1, 0x3B, 0);
    if (std::strcmp(name, "up") == 0) return key(true, VK_UP, 0x48, 0, ENHANCED_KEY);
    if (std::strcmp(name, "esc") == 0) return key(true, VK_ESCAPE, 0x01, 0x1B);
    if (std::strcmp(name, "enter") == 0) return key(true, VK_RETURN, 0x1C, '\r');
    // A character above 127 on its own key, as the French keyboard has it on the key of 2.
    if (std::strcmp(name, "e-acute") == 0) return key(true, '2', 0x03, '\xe9');
    if (std::strcmp(name, "a") == 0) return key(true, 'A', 0x1E, 'a');
    return INPUT_RECORD{}; // no such key: a misspelt name must not test another key
}

HANDLE open_console(const char* device)
{
    return CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

bool write_input(HANDLE in, const INPUT_RECORD* records, int count)
{
    DWORD written = 0;
    return WriteConsoleInputA(in, records, static_cast<DWORD>(count), &written) && written == static_cast<DWORD>(count);
}

bool screen_shows(HANDLE out, const char* text)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info)) return false;
    static char screen[256 * 1024];
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD read = 0;
    COORD origin{0, 0};
    if (cells >= sizeof screen || !ReadConsoleOutputCharacterA(out, screen, cells, origin, &read)) return false;
    screen[read] = '\0';
    return std::strstr(screen, text) != nullptr;
}

// How the started program's standard output is connected.
enum class Output { Console, Pipe, File };

struct Child {
    PROCESS_INFORMATION process{};
    HANDLE pipe_read = nullptr;
};

// With a `desktop`, the program gets a console of its own there ("" for the driver's own desktop).
bool start(const char* command_line, Output output, const char* file, Child& child, char* desktop = nullptr)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (desktop != nullptr && desktop[0] != '\0') startup.lpDesktop = desktop;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE out = nullptr;
    if (output == Output::Pipe && !CreatePipe(&child.pipe_read, &out, &inheritable, 1 << 16)) return false;
    if (output == Output::Pipe) SetHandleInformation(child.pipe_read, HANDLE_FLAG_INHERIT, 0);
    if (output == Output::File)
        out = CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
    if (output != Output::Console) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    char line[1024];
    std::snprintf(line, sizeof line, "%s", command_line);
    const BOOL ok = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, desktop != nullptr ? CREATE_NEW_CONSOLE : 0,
                                   nullptr, nullptr, &startup, &child.process);
    if (out != nullptr) CloseHandle(out);
    return ok != 0;
}

DWORD pending_output(const Child& child, Output output, const char* file)
{
    if (output == Output::Pipe) {
        DWORD available = 0;
        PeekNamedPipe(child.pipe_read, nullptr, 0, nullptr, &available, nullptr);
        return available;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(file, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

// Starts the program, checks that it keeps waiting through events that are not key presses
// and what its output shows meanwhile, presses `key_name`, and checks that it ends and leaves
// the key queued. With `typed_ahead` the key is queued before the program starts.
int wait_scenario(const char* command_line, const char* key_name, Output output, const char* file, bool typed_ahead)
{
    HANDLE in = open_console("CONIN$"), screen = open_console("CONOUT$");
    if (in == INVALID_HANDLE_VALUE || screen == INVALID_HANDLE_VALUE) return say("FAIL no console"), 2;
    FlushConsoleInputBuffer(in);
    DWORD mode_before = 0, mode_after = 0;
    GetConsoleMode(in, &mode_before);

    const INPUT_RECORD press = key_press_named(key_name);
    if (press.EventType != KEY_EVENT) return say("FAIL no key named %s", key_name), 2;
    if (typed_ahead && !write_input(in, &press, 1)) return say("FAIL write input"), 2;

    Child child;
    if (!start(command_line, output, file, child)) return say("FAIL cannot start %s", command_line), 2;

    int failures = 0;
    if (!typed_ahead) {
        INPUT_RECORD quiet[16];
        const int count = not_a_key_press(quiet);
        if (!write_input(in, quiet, count)) return say("FAIL write input"), 2;
        // On a console the prompt shows when the program has reached its wait; on a busy
        // machine that can take a while. Elsewhere nothing shows, so give it time instead.
        bool shown = false;
        for (int tries = 0; output == Output::Console && !shown && tries < 200; ++tries) {
            shown = screen_shows(screen, "Press any key to continue....") && screen_shows(screen, "KARVELON Version 2.0");
            if (!shown) Sleep(100);
        }
        if (WaitForSingleObject(child.process.hProcess, shown ? 1000 : 2500) != WAIT_TIMEOUT) {
            say("FAIL ended before a key press");
            ++failures;
        } else {
            say("ok still waiting after events that are not key presses");
        }
        if (output == Output::Console) {
            say(shown ? "ok banner and prompt on screen during the wait" : "FAIL prompt not on screen during the wait");
            failures += shown ? 0 : 1;
        } else {
            const DWORD held = pending_output(child, output, file);
            say(held == 0 ? "ok output held back during the wait" : "FAIL %s output visible during the wait: %lu bytes",
                "", held);
            failures += held == 0 ? 0 : 1;
        }
        if (!write_input(in, &press, 1)) return say("FAIL write input"), 2;
    }

    if (WaitForSingleObject(child.process.hProcess, 15000) != WAIT_OBJECT_0) {
        TerminateProcess(child.process.hProcess, 99);
        say("FAIL did not end after the key press");
        return 1;
    }
    DWORD exit_code = 0;
    GetExitCodeProcess(child.process.hProcess, &exit_code);
    say("exit status %s%lu", "", exit_code);

    if (output == Output::Pipe && file != nullptr) {
        FILE* saved = std::fopen(file, "wb");
        char buffer[4096];
        DWORD got = 0;
        while (saved != nullptr && ReadFile(child.pipe_read, buffer, sizeof buffer, &got, nullptr) && got > 0)
            std::fwrite(buffer, 1, got, saved);
        if (saved != nullptr) std::fclose(saved);
    }

    // The key press that ended the wait is still queued, for whatever reads the console next.
    INPUT_RECORD queued[64];
    DWORD count = 0;
    bool still_queued = false;
    if (PeekConsoleInputA(in, queued, 64, &count))
        for (DWORD i = 0; i < count; ++i)
            if (queued[i].EventType == KEY_EVENT && queued[i].Event.KeyEvent.bKeyDown &&
                queued[i].Event.KeyEvent.wVirtualScanCode == press.Event.KeyEvent.wVirtualScanCode)
                still_queued = true;
    say(still_queued ? "ok key press still queued" : "FAIL key press was consumed");
    failures += still_queued ? 0 : 1;

    GetConsoleMode(in, &mode_after);
    say(mode_after == mode_before ? "ok console input mode unchanged" : "FAIL console input mode changed");
    failures += mode_after == mode_before ? 0 : 1;
    return failures == 0 ? 0 : 1;
}

// Starts the program as services and schedulers do, with a console of its own that no key reaches,
// on window station `station`: WinSta0, which a person sees, or else one created here, which no one
// does. Reports whether it ended within `seconds`; if not, ends it.
int unattended_scenario(const char* station, const char* command_line, const char* file, DWORD seconds)
{
    char desktop[64] = "";
    if (std::strcmp(station, "WinSta0") != 0) {
        const HWINSTA original = GetProcessWindowStation();
        const HWINSTA created = CreateWindowStationA(station, 0, WINSTA_ALL_ACCESS, nullptr);
        if (created == nullptr || !SetProcessWindowStation(created) ||
            CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr) == nullptr || !SetProcessWindowStation(original))
            return say("FAIL cannot make window station %s", station), 2;
        std::snprintf(desktop, sizeof desktop, "%s\\Default", station);
    }
    // CHILD_WINEDEBUG, where set, is Wine's debug channels for the program alone.
    char channels[64] = "";
    if (GetEnvironmentVariableA("CHILD_WINEDEBUG", channels, sizeof channels) > 0) SetEnvironmentVariableA("WINEDEBUG", channels);
    Child child;
    if (!start(command_line, Output::File, file, child, desktop)) return say("FAIL cannot start %s", command_line), 2;
    say("process %s%04lx", "", child.process.dwProcessId);
    if (WaitForSingleObject(child.process.hProcess, seconds * 1000) == WAIT_TIMEOUT) {
        TerminateProcess(child.process.hProcess, 99);
        WaitForSingleObject(child.process.hProcess, 10000);
        return say("still waiting after %s%lu s", "", seconds), 0;
    }
    DWORD exit_code = 0;
    GetExitCodeProcess(child.process.hProcess, &exit_code);
    return say("exit status %s%lu", "", exit_code), 0;
}

// For scripts/bench: starts the program in this console, a Shift key-down queued first when `shift`,
// says "waiting" once its prompt shows, and `seconds` later presses a key and says how long the
// program took to write its next line, which it does once the wait has ended and the probe run.
int measure_scenario(const char* command_line, bool shift, DWORD seconds)
{
    HANDLE in = open_console("CONIN$"), screen = open_console("CONOUT$");
    if (in == INVALID_HANDLE_VALUE || screen == INVALID_HANDLE_VALUE) return say("FAIL no console"), 2;
    FlushConsoleInputBuffer(in);
    const INPUT_RECORD shift_down = key(true, VK_SHIFT, 0x2A, 0, SHIFT_PRESSED), press = key(true, 'A', 0x1E, 'a');
    Child child;
    if ((shift && !write_input(in, &shift_down, 1)) || !start(command_line, Output::Console, nullptr, child))
        return say("FAIL cannot start %s", command_line), 2;
    for (int tries = 0; !screen_shows(screen, "Press any key to continue...."); ++tries)
        if (tries == 200) return say("FAIL no prompt"), 2;
        else Sleep(100);
    say("waiting");
    Sleep(seconds * 1000);
    CONSOLE_SCREEN_BUFFER_INFO before{}, now{};
    LARGE_INTEGER frequency{}, pressed{}, written{};
    GetConsoleScreenBufferInfo(screen, &before);
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&pressed);
    if (!write_input(in, &press, 1)) return say("FAIL write input"), 2;
    do {
        Sleep(1);
        GetConsoleScreenBufferInfo(screen, &now);
        QueryPerformanceCounter(&written);
    } while (now.dwCursorPosition.Y == before.dwCursorPosition.Y && written.QuadPart - pressed.QuadPart < frequency.QuadPart * 5);
    say("key to next line: %s%lu us", "", static_cast<unsigned long>((written.QuadPart - pressed.QuadPart) * 1000000 / frequency.QuadPart));
    return WaitForSingleObject(child.process.hProcess, 15000) == WAIT_OBJECT_0 ? 0 : 1;
}

HKEY root_named(const char* name)
{
    if (std::strcmp(name, "HKLM") == 0) return HKEY_LOCAL_MACHINE;
    if (std::strcmp(name, "HKCR") == 0) return HKEY_CLASSES_ROOT;
    return HKEY_CURRENT_USER;
}

// Denies `rights` on a key to everyone, allowing everything else.
int deny(const char* root, const char* subkey, REGSAM rights)
{
    HKEY key;
    if (RegOpenKeyExA(root_named(root), subkey, 0, WRITE_DAC | READ_CONTROL, &key) != ERROR_SUCCESS)
        return say("FAIL cannot open %s", subkey), 2;
    const LONG status = deny_to_everyone(key, rights);
    RegCloseKey(key);
    // Prove the denial holds before the program meets it.
    HKEY probe;
    const LONG check = RegOpenKeyExA(root_named(root), subkey, 0, rights, &probe);
    if (check == ERROR_SUCCESS) RegCloseKey(probe);
    if (status != ERROR_SUCCESS || check != ERROR_ACCESS_DENIED) return say("FAIL DACL not in force on %s", subkey), 2;
    say("ok denied on %s: access %lx", subkey, rights);
    return 0;
}

} // namespace

// driver LOG wait CMDLINE KEY console|pipe|file [OUTFILE]
// driver LOG typeahead CMDLINE KEY
// driver LOG deny|deny-read HKLM|HKCR|HKCU SUBKEY   (KEY_SET_VALUE, or KEY_QUERY_VALUE)
// driver LOG unattended STATION CMDLINE OUTFILE SECONDS
// driver LOG measure CMDLINE idle|shift SECONDS
int main(int argc, char** argv)
{
    if (argc < 3) return 2;
    g_log = std::fopen(argv[1], "a");
    if (g_log == nullptr) return 2;
    const char* command = argv[2];
    if (std::strcmp(command, "deny") == 0 && argc == 5) return deny(argv[3], argv[4], KEY_SET_VALUE);
    if (std::strcmp(command, "deny-read") == 0 && argc == 5) return deny(argv[3], argv[4], KEY_QUERY_VALUE);
    if (std::strcmp(command, "measure") == 0 && argc == 6)
        return measure_scenario(argv[3], std::strcmp(argv[4], "shift") == 0, static_cast<DWORD>(std::atoi(argv[5])));
    if (std::strcmp(command, "unattended") == 0 && argc == 7)
        return unattended_scenario(argv[3], argv[4], argv[5], static_cast<DWORD>(std::atoi(argv[6])));
    if (std::strcmp(command, "typeahead") == 0 && argc == 5)
        return wait_scenario(argv[3], argv[4], Output::Console, nullptr, true);
    if (std::strcmp(command, "wait") == 0 && argc >= 6) {
        const Output output = std::strcmp(argv[5], "pipe") == 0   ? Output::Pipe
                              : std::strcmp(argv[5], "file") == 0 ? Output::File
                                                                  : Output::Console;
        return wait_scenario(argv[3], argv[4], output, argc > 6 ? argv[6] : nullptr, false);
    }
    say("FAIL usage");
    return 2;
}
