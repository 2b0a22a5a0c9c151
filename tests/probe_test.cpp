// The infection probe against the simulated registry: what matches, what does not, and
// that the Run key is left open exactly when removal will need it; and the system paths
// the probe and the Win32 layer build, the hardening calls it makes and what it makes of the
// window station's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "cleaner/probe.h"
#include "platform/hardening.h"
#include "platform/system_library_path.h"
#include "platform/window_station.h"
#include "tests/sim_windows.h"

namespace karvelon::test {
namespace {

constexpr char kRunKey[] = "HKLM\\software\\microsoft\\windows\\currentversion\\run";
constexpr char kCommandKey[] = "HKCR\\exefile\\shell\\open\\command";
constexpr std::uint32_t kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7;

// A directory long enough that its marker path, with its zero, takes exactly `bytes` bytes.
std::string directory_for_marker_of(std::size_t bytes)
{
    return "C:\\" + std::string(bytes - 1 - 3 - 12, 'D');
}

struct Expected {
    Finding finding;
    int row; // 0 for none
};
constexpr Expected kNone{Finding::NotInfected, 0};
constexpr Expected kValue1{Finding::AutoStartValue, 1}, kValue2{Finding::AutoStartValue, 2};
constexpr Expected kCommand1{Finding::OpenCommand, 1}, kCommand2{Finding::OpenCommand, 2};
constexpr Expected kNotChecked{Finding::NotChecked, 0};

struct ProbeCase {
    const char* name;
    std::string directory;
    bool value_present;
    std::uint32_t type;
    std::string data; // as stored, zero bytes included
    Expected expected;
    std::string command = {}; // the open command's default value as stored; empty: no such key
    std::uint32_t command_type = kRegSz;
    friend void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }
};

class ProbeTable : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTable, MatchesExactlyTheMarkerPaths)
{
    const ProbeCase& c = GetParam();
    SimWindows windows;
    windows.system_directory = c.directory;
    windows.add_key(kRunKey);
    if (c.value_present) windows.set_value(kRunKey, "Win32BaseServiceMOD", c.type, c.data);
    if (!c.command.empty()) windows.set_value(kCommandKey, "", c.command_type, c.command);

    WorkingStorage storage{};
    const Match match = probe(windows, storage);

    EXPECT_EQ(match.finding, c.expected.finding);
    if (c.expected.row == 0) {
        EXPECT_EQ(match.variant, nullptr);
    } else {
        ASSERT_EQ(match.variant, &kVariants[c.expected.row - 1]);
        EXPECT_EQ(std::string(match.marker_path), c.directory + kVariants[c.expected.row - 1].marker_file_name);
    }
    if (match.finding == Finding::AutoStartValue) {
        EXPECT_EQ(windows.open_keys.size(), 1u) << "the Run key stays open for removal";
        windows.reg_close_key(storage.run_key);
    }
    EXPECT_TRUE(windows.open_keys.empty());
    const bool read_command = std::count(windows.calls.begin(), windows.calls.end(), "RegOpenKeyExA " + SimWindows::fold(kCommandKey)) != 0;
    const bool value_named_nothing =
        !c.value_present || c.expected.finding == Finding::NotInfected || c.expected.finding == Finding::OpenCommand;
    EXPECT_EQ(read_command, value_named_nothing) << "the open command is read when, and only when, the value names nothing";
    EXPECT_LE(std::count(windows.calls.begin(), windows.calls.end(), "GetSystemDirectoryA"), 1);
}

const std::string kSys = "C:\\WINDOWS\\System32";
const std::string kLong = directory_for_marker_of(128);
const std::string kLonger = directory_for_marker_of(129);
std::string z(std::string text) { return text.append(1, '\0'); }
const std::string kArgs = " \"%1\" %*";
// A hijacked open command padded with spaces and one more character to `bytes` bytes, its zero not counted.
std::string padded(std::size_t bytes)
{
    const std::string command = kSys + "\\WINTASK.EXE" + kArgs;
    return command + std::string(bytes - command.size() - 1, ' ') + 'x';
}

INSTANTIATE_TEST_SUITE_P(Probe, ProbeTable, ::testing::Values(
    ProbeCase{"Row1Exact", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EXE"), kValue1},
    ProbeCase{"Row1LowerCase", kSys, true, kRegSz, z("c:\\windows\\system32\\winsvrc.exe"), kValue1},
    ProbeCase{"FoldsZ", "C:\\WINDOZE\\ZZ", true, kRegSz, z("c:\\windoze\\zz\\wintask.exe"), kValue2},
    ProbeCase{"Row2MixedCase", kSys, true, kRegSz, z("C:\\Windows\\SYSTEM32\\WinTask.exe"), kValue2},
    ProbeCase{"Quoted", kSys, true, kRegSz, z("\"" + kSys + "\\WINSVRC.EXE\""), kNone},
    ProbeCase{"WithArguments", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EXE /run"), kNone},
    ProbeCase{"OneTrailingSpace", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EXE "), kNone},
    ProbeCase{"AnotherDirectory", kSys, true, kRegSz, z("C:\\WINDOWS\\WINSVRC.EXE"), kNone},
    ProbeCase{"BareName", kSys, true, kRegSz, z("WINSVRC.EXE"), kNone},
    ProbeCase{"ShortForm", "C:\\Program Files\\Sys", true, kRegSz, z("C:\\PROGRA~1\\Sys\\WINTASK.EXE"), kNone},
    ProbeCase{"PrefixOnly", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EX"), kNone},
    ProbeCase{"HighBytesAreNotFolded", "C:\\Syst\xe8me", true, kRegSz, z("C:\\SYST\xc8ME\\WINSVRC.EXE"), kNone},
    ProbeCase{"HighBytesIdentical", "C:\\Syst\xe8me", true, kRegSz, z("c:\\syst\xe8me\\winsvrc.exe"), kValue1},
    ProbeCase{"ExpandSzType", kSys, true, kRegExpandSz, z(kSys + "\\WINTASK.EXE"), kValue2},
    ProbeCase{"DwordTypeComparedAsText", kSys, true, kRegDword, z(kSys + "\\WINTASK.EXE"), kValue2},
    ProbeCase{"MultiSzUpToFirstZero", kSys, true, kRegMultiSz, z(z(kSys + "\\WINSVRC.EXE") + "other") + '\0', kValue1},
    ProbeCase{"Exactly128BytesWithZero", kLong, true, kRegSz, z(kLong + "\\WINSVRC.EXE"), kValue1},
    ProbeCase{"Binary128BytesNoZero", kLonger, true, kRegBinary, kLonger + "\\WINSVRC.EXE", kValue1},
    ProbeCase{"129BytesWithZero", kLonger, true, kRegSz, z(kLonger + "\\WINSVRC.EXE"), kNone},
    ProbeCase{"LongerThan128First128Match", kLonger, true, kRegBinary, kLonger + "\\WINSVRC.EXE" + "trailing", kNone},
    ProbeCase{"EmptyValue", kSys, true, kRegSz, z(""), kNone},
    ProbeCase{"ValueAbsent", kSys, false, kRegSz, "", kNone},
    ProbeCase{"DirectoryFillsItsBuffer", std::string(1023, 'D'), true, kRegSz, z("\\WINSVRC.EXE"), kNone},
    ProbeCase{"DirectoryPastItsBuffer", std::string(2000, 'D'), true, kRegSz, z("\\WINSVRC.EXE"), kNotChecked},
    ProbeCase{"EmptyDirectory", "", true, kRegSz, z("\\wintask.exe"), kNotChecked},
    // The open command, read only when the value names nothing.
    ProbeCase{"CommandQuoted", kSys, false, kRegSz, "", kCommand2, z("\"" + kSys + "\\WINTASK.EXE\"" + kArgs)},
    ProbeCase{"CommandUnquoted", kSys, true, kRegSz, z("C:\\other.exe"), kCommand1, z(kSys + "\\WINSVRC.EXE" + kArgs)},
    ProbeCase{"CommandBareName", kSys, false, kRegSz, "", kCommand2, z("WINTASK.EXE" + kArgs)},
    ProbeCase{"CommandOtherCase", kSys, false, kRegSz, "", kCommand1, z("c:\\windows\\SYSTEM32\\winsvrc.exe" + kArgs)},
    ProbeCase{"CommandQuoteNeverClosed", kSys, false, kRegSz, "", kCommand2, z("\"winTask.exe")},
    ProbeCase{"CommandExpandSzNotExpanded", kSys, false, kRegSz, "", kNone, z("%SystemRoot%\\System32\\WINTASK.EXE" + kArgs), kRegExpandSz},
    ProbeCase{"CommandExpandSzLiteral", kSys, false, kRegSz, "", kCommand2, z(kSys + "\\WINTASK.EXE" + kArgs), kRegExpandSz},
    ProbeCase{"CommandAnotherProgram", kSys, false, kRegSz, "", kNone, z(kSys + "\\WINTASKS.EXE" + kArgs)},
    ProbeCase{"CommandMarkerAsArgument", kSys, false, kRegSz, "", kNone, z("\"%1\" " + kSys + "\\WINTASK.EXE")},
    ProbeCase{"CommandRepaired", kSys, false, kRegSz, "", kNone, z("\"%1\" %*")},
    ProbeCase{"CommandNotAString", kSys, false, kRegSz, "", kNone, z(kSys + "\\WINTASK.EXE"), kRegBinary},
    // Padding after the arguments hides nothing; only a command longer than any Windows starts names nothing.
    ProbeCase{"CommandPaddedTo1100Bytes", kSys, false, kRegSz, "", kCommand2, z(padded(1100))},
    ProbeCase{"CommandPaddedTo5000Bytes", kSys, false, kRegSz, "", kCommand2, z(padded(5000))},
    ProbeCase{"CommandFillsTheLargestRead", kSys, false, kRegSz, "", kCommand2, z(padded(kCommandQuerySize - 1))},
    ProbeCase{"CommandLongerThanTheLargestRead", kSys, false, kRegSz, "", kNone, z(padded(kCommandQuerySize))},
    ProbeCase{"ValueMatchesBeforeTheCommand", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EXE"), kValue1, z("WINTASK.EXE" + kArgs)},
    ProbeCase{"CommandNeedsTheDirectory", "", false, kRegSz, "", kNotChecked, z("WINTASK.EXE" + kArgs)}),
    [](const auto& info) { return std::string(info.param.name); });

// A read that fails is not an answer: the key or the value being absent is; so is data too long
// to be a marker path. The machine's value names another file, so that every read is made.
TEST(Probe, NotCheckedWhenAReadFails)
{
    struct Case {
        const char* name;
        std::size_t fail_call; // into: RegOpenKeyExA Run, RegQueryValueExA, GetSystemDirectoryA,
                               // RegCloseKey, RegOpenKeyExA command, RegQueryValueExA, RegCloseKey
        Status status;
        Finding finding;
    };
    const Case cases[] = {
        {"Run key denied", 0, kErrorAccessDenied, Finding::NotChecked},
        {"Run key absent", 0, kErrorFileNotFound, Finding::OpenCommand},
        {"value unreadable", 1, 1009 /* ERROR_BADDB */, Finding::NotChecked},
        {"value absent", 1, kErrorFileNotFound, Finding::OpenCommand},
        {"value too long", 1, kErrorMoreData, Finding::OpenCommand},
        {"no system directory", 2, 0, Finding::NotChecked},
        {"closing the Run key fails", 3, kErrorAccessDenied, Finding::OpenCommand},
        {"open command denied", 4, kErrorAccessDenied, Finding::NotChecked},
        {"open command absent", 4, kErrorFileNotFound, Finding::NotInfected},
        {"open command unreadable", 5, kErrorAccessDenied, Finding::NotChecked},
        {"open command too long", 5, kErrorMoreData, Finding::NotInfected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimWindows windows = infected_machine(2);
        windows.set_value(kRunKey, "Win32BaseServiceMOD", kRegSz, z("C:\\other.exe"));
        windows.fail_call = c.fail_call;
        windows.fail_status = c.status;
        WorkingStorage storage{};
        EXPECT_EQ(probe(windows, storage).finding, c.finding);
        EXPECT_TRUE(windows.open_keys.empty());
    }
    SimWindows denied = infected_machine(1); // a DACL that denies reading the Run key
    denied.deny(kRunKey, KeyAccess::QueryValue);
    WorkingStorage storage{};
    EXPECT_EQ(probe(denied, storage).finding, Finding::NotChecked);
}

TEST(MarkerPath, RefusesWhatDoesNotFitAndLeavesItEmpty)
{
    char path[16];
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_TRUE(build_marker_path(path, sizeof path, "C:\\X", 5, "\\NAME.EXE"));
    EXPECT_STREQ(path, "C:\\X\\NAME.EXE");
    EXPECT_TRUE(build_marker_path(path, sizeof path, "C:\\XYZ", 7, "\\NAME.EXE")); // 15 characters and the zero
    EXPECT_FALSE(build_marker_path(path, sizeof path, "C:\\WXYZ", 8, "\\NAME.EXE"));
    EXPECT_STREQ(path, "");
    EXPECT_FALSE(build_marker_path(path, sizeof path, unterminated, sizeof unterminated, ""));
    EXPECT_STREQ(path, "");
}

TEST(SystemLibraryPath, LoadsOnlyFromADirectoryTheAnswerVouchesFor)
{
    struct Case {
        const char* name;
        std::string written; // what GetSystemDirectoryA left in the 32-byte buffer
        std::uint32_t answered;
        const char* expected; // null: refused
    };
    const Case cases[] = {
        {"told", "C:\\WINDOWS\\System32", 19, "C:\\WINDOWS\\System32\\shlwapi.dll"},
        {"answered 0, nothing written", "", 0, nullptr},
        {"answered 0 over an old text", "C:\\WINDOWS", 0, nullptr},
        {"the size it would have needed", "", 40, nullptr},
        {"an answer that is not the text's length", "C:\\WIN", 10, nullptr},
        {"the full path just fits", "C:\\" + std::string(16, 'D'), 19, "C:\\DDDDDDDDDDDDDDDD\\shlwapi.dll"},
        {"one byte too long", "C:\\" + std::string(17, 'D'), 20, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char path[32] = {};
        c.written.copy(path, sizeof path - 1);
        EXPECT_EQ(system_library_path(path, sizeof path, c.answered, "\\shlwapi.dll"), c.expected != nullptr);
        EXPECT_STREQ(path, c.expected != nullptr ? c.expected : "");
    }
}

// What the fake hardening functions below were called with, in order.
std::string hardening_calls;
std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "(%#x) ", value);
    return text;
}
int KARVELON_WINAPI system_directory_only(std::uint32_t f) { hardening_calls += "SetDefaultDllDirectories" + hex(f); return 1; }
int KARVELON_WINAPI system_directory_only_fails(std::uint32_t f) { system_directory_only(f); return 0; }
int KARVELON_WINAPI dll_directory(const char* path)
{
    hardening_calls += path == nullptr ? "SetDllDirectoryA(null) " : "SetDllDirectoryA(\"" + std::string(path) + "\") ";
    return 1;
}
int KARVELON_WINAPI search_path_mode(std::uint32_t f) { hardening_calls += "SetSearchPathMode" + hex(f); return 1; }
int KARVELON_WINAPI dep_policy(std::uint32_t f) { hardening_calls += "SetProcessDEPPolicy" + hex(f); return 1; }

TEST(Hardening, NarrowsTheLibrarySearchWithWhatTheRunningWindowsHas)
{
    struct Case {
        const char* name;
        HardeningFunctions found;
        const char* calls;
    };
    const Case cases[] = {
        {"all four", {system_directory_only, dll_directory, search_path_mode, dep_policy},
         "SetDefaultDllDirectories(0x800) SetSearchPathMode(0x8001) SetProcessDEPPolicy(0x1) "},
        {"no SetDefaultDllDirectories", {nullptr, dll_directory, search_path_mode, dep_policy},
         "SetDllDirectoryA(\"\") SetSearchPathMode(0x8001) SetProcessDEPPolicy(0x1) "},
        {"SetDefaultDllDirectories fails", {system_directory_only_fails, dll_directory, search_path_mode, dep_policy},
         "SetDefaultDllDirectories(0x800) SetDllDirectoryA(\"\") SetSearchPathMode(0x8001) SetProcessDEPPolicy(0x1) "},
        {"only SetDllDirectoryA", {nullptr, dll_directory, nullptr, nullptr}, "SetDllDirectoryA(\"\") "},
        {"none", {nullptr, nullptr, nullptr, nullptr}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hardening_calls.clear();
        harden_with(c.found);
        EXPECT_EQ(hardening_calls, c.calls);
    }
}

void* KARVELON_WINAPI station() { return &hardening_calls; }
void* KARVELON_WINAPI no_station() { return nullptr; }
std::uint32_t station_flags;
int KARVELON_WINAPI flags_of(void* object, int index, void* information, std::uint32_t length, std::uint32_t*)
{
    if (object != station() || index != kUoiFlags || length != sizeof(UserObjectFlags)) return 0;
    static_cast<UserObjectFlags*>(information)->flags = station_flags;
    return 1;
}
int KARVELON_WINAPI flags_fail(void*, int, void*, std::uint32_t, std::uint32_t*) { return 0; }

TEST(WindowStation, IsNotVisibleOnlyWhenWindowsSaysSo)
{
    const struct {
        const char* name;
        WindowStationFunctions found;
        std::uint32_t flags;
        bool visible;
    } cases[] = {
        {"visible", {station, flags_of}, kWsfVisible, true},
        {"not visible", {station, flags_of}, 0, false},
        {"no user32, or Windows 95", {nullptr, nullptr}, 0, true},
        {"no GetProcessWindowStation", {nullptr, flags_of}, 0, true},
        {"no GetUserObjectInformationA", {station, nullptr}, 0, true},
        {"no station", {no_station, flags_of}, 0, true},
        {"the flags cannot be had", {station, flags_fail}, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        station_flags = c.flags;
        EXPECT_EQ(window_station_visible_with(c.found), c.visible);
    }
}

} // namespace
} // namespace karvelon::test
