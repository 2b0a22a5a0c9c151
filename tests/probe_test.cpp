// The infection probe against the simulated registry: what matches, what does not, and
// that the Run key is left open exactly when removal will need it; and the system paths
// the probe and the Win32 layer build, and the hardening calls the Win32 layer makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "cleaner/probe.h"
#include "platform/hardening.h"
#include "platform/system_library_path.h"
#include "tests/sim_windows.h"

namespace karvelon::test {
namespace {

constexpr char kRunKey[] = "HKLM\\software\\microsoft\\windows\\currentversion\\run";
constexpr std::uint32_t kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7;

// A directory long enough that its marker path, with its zero, takes exactly `bytes` bytes.
std::string directory_for_marker_of(std::size_t bytes)
{
    return "C:\\" + std::string(bytes - 1 - 3 - 12, 'D');
}

struct ProbeCase {
    const char* name;
    std::string directory;
    bool value_present;
    std::uint32_t type;
    std::string data; // as stored, zero bytes included
    int expected_row;  // 0 for no match
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

    WorkingStorage storage{};
    const Match match = probe(windows, storage);

    if (c.expected_row == 0) {
        EXPECT_EQ(match.variant, nullptr);
        EXPECT_TRUE(windows.open_keys.empty()) << "the Run key is released without a match";
    } else {
        ASSERT_EQ(match.variant, &kVariants[c.expected_row - 1]);
        // A directory too long for its buffer is not written: the bare file name remains.
        const std::string directory = c.directory.size() < kTextBufferSize ? c.directory : "";
        EXPECT_EQ(std::string(match.marker_path), directory + kVariants[c.expected_row - 1].marker_file_name);
        EXPECT_EQ(windows.open_keys.size(), 1u) << "the Run key stays open for removal";
    }
    const bool asked_for_directory = std::count(windows.calls.begin(), windows.calls.end(), "GetSystemDirectoryA") != 0;
    EXPECT_EQ(asked_for_directory, c.value_present && c.data.size() <= 128);
}

const std::string kSys = "C:\\WINDOWS\\System32";
const std::string kLong = directory_for_marker_of(128);
const std::string kLonger = directory_for_marker_of(129);
std::string z(std::string text) { return text.append(1, '\0'); }

INSTANTIATE_TEST_SUITE_P(Probe, ProbeTable, ::testing::Values(
    ProbeCase{"Row1Exact", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EXE"), 1},
    ProbeCase{"Row1LowerCase", kSys, true, kRegSz, z("c:\\windows\\system32\\winsvrc.exe"), 1},
    ProbeCase{"FoldsZ", "C:\\WINDOZE\\ZZ", true, kRegSz, z("c:\\windoze\\zz\\wintask.exe"), 2},
    ProbeCase{"Row2MixedCase", kSys, true, kRegSz, z("C:\\Windows\\SYSTEM32\\WinTask.exe"), 2},
    ProbeCase{"Quoted", kSys, true, kRegSz, z("\"" + kSys + "\\WINSVRC.EXE\""), 0},
    ProbeCase{"WithArguments", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EXE /run"), 0},
    ProbeCase{"AnotherDirectory", kSys, true, kRegSz, z("C:\\WINDOWS\\WINSVRC.EXE"), 0},
    ProbeCase{"ShortForm", "C:\\Program Files\\Sys", true, kRegSz, z("C:\\PROGRA~1\\Sys\\WINTASK.EXE"), 0},
    ProbeCase{"PrefixOnly", kSys, true, kRegSz, z(kSys + "\\WINSVRC.EX"), 0},
    ProbeCase{"HighBytesAreNotFolded", "C:\\Syst\xe8me", true, kRegSz, z("C:\\SYST\xc8ME\\WINSVRC.EXE"), 0},
    ProbeCase{"HighBytesIdentical", "C:\\Syst\xe8me", true, kRegSz, z("c:\\syst\xe8me\\winsvrc.exe"), 1},
    ProbeCase{"ExpandSzType", kSys, true, 2, z(kSys + "\\WINTASK.EXE"), 2},
    ProbeCase{"DwordTypeComparedAsText", kSys, true, kRegDword, z(kSys + "\\WINTASK.EXE"), 2},
    ProbeCase{"MultiSzUpToFirstZero", kSys, true, kRegMultiSz, z(z(kSys + "\\WINSVRC.EXE") + "other") + '\0', 1},
    ProbeCase{"Exactly128BytesWithZero", kLong, true, kRegSz, z(kLong + "\\WINSVRC.EXE"), 1},
    ProbeCase{"Binary128BytesNoZero", kLonger, true, kRegBinary, kLonger + "\\WINSVRC.EXE", 1},
    ProbeCase{"129BytesWithZero", kLonger, true, kRegSz, z(kLonger + "\\WINSVRC.EXE"), 0},
    ProbeCase{"LongerThan128First128Match", kLonger, true, kRegBinary, kLonger + "\\WINSVRC.EXE" + "trailing", 0},
    ProbeCase{"EmptyValue", kSys, true, kRegSz, z(""), 0},
    ProbeCase{"ValueAbsent", kSys, false, kRegSz, "", 0},
    ProbeCase{"DirectoryFillsItsBuffer", std::string(1023, 'D'), true, kRegSz, z("\\WINSVRC.EXE"), 0},
    ProbeCase{"DirectoryPastItsBuffer", std::string(2000, 'D'), true, kRegSz, z("\\WINSVRC.EXE"), 1},
    ProbeCase{"EmptyDirectoryBareNames", "", true, kRegSz, z("\\wintask.exe"), 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Probe, NoRunKeyOrUnreadableValueIsNoMatch)
{
    for (std::size_t fail : {0u, 1u}) { // RegOpenKeyExA, then RegQueryValueExA
        SimWindows windows;
        windows.add_key(kRunKey);
        windows.set_value(kRunKey, "Win32BaseServiceMOD", kRegSz, z(kSys + "\\WINSVRC.EXE"));
        windows.fail_call = fail;
        WorkingStorage storage{};
        EXPECT_EQ(probe(windows, storage).variant, nullptr);
        EXPECT_TRUE(windows.open_keys.empty());
    }
    SimWindows no_key;
    WorkingStorage storage{};
    EXPECT_EQ(probe(no_key, storage).variant, nullptr);
}

TEST(Probe, FailedDirectoryQueryComparesTheBareNames)
{
    SimWindows windows;
    windows.add_key(kRunKey);
    windows.set_value(kRunKey, "Win32BaseServiceMOD", kRegSz, z("\\WINSVRC.EXE"));
    windows.fail_call = 2; // GetSystemDirectoryA
    WorkingStorage storage{};
    const Match match = probe(windows, storage);
    ASSERT_EQ(match.variant, &kVariants[0]);
    EXPECT_STREQ(match.marker_path, "\\WINSVRC.EXE");
    windows.reg_close_key(storage.run_key);
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

} // namespace
} // namespace karvelon::test
