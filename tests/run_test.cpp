// Whole runs against the simulated Windows: the exact output and exit status, the registry
// and files afterwards, and a fault sweep over every registry and file call of a full clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include "cleaner/run.h"
#include "tests/sim_windows.h"

namespace karvelon::test {
namespace {

const std::string kSys = "C:\\WINDOWS\\System32";
constexpr char kRunKey[] = "HKLM\\software\\microsoft\\windows\\currentversion\\run";
constexpr char kCommandKey[] = "HKCR\\exefile\\shell\\open\\command";
const std::string kRepaired = std::string("\"%1\" %*") + '\0';

std::string banner_and_prompt()
{
    std::ifstream golden(KARVELON_GOLDEN_DIR "/banner.txt", std::ios::binary);
    std::stringstream text;
    text << golden.rdbuf();
    return text.str();
}

struct RunCase {
    const char* name;
    int row;
    std::function<void(SimWindows&)> arrange;
    std::vector<std::string> lines; // after the prompt
    int exit_status;
    std::function<void(const SimWindows&)> verify;
    friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
};

const char* const kNotice1 = " Your system is infected with TROJ_NAVIDAD.A.\n";
const char* const kNotice2 = " Your system is infected with TROJ_EMMANUEL, new variant of navidad.\n";
const char* const kVxdDeleted = " Trojan file WINSVRC.VXD deleted.\n";
const char* const kTaskDeleted = " Trojan file WINTASK.EXE deleted.\n";
const char* const kCleaned = " System registry cleaned.\n";
const char* const kReboot = " Please reboot your system and scan using at least pattern file #806.\n";
const char* const kNotCleaned = " System registry could not be cleaned.\n";
const char* const kAdmin = " Please log on as an administrator and run this program again.\n";
const char* const kNeedsShlwapi = " This program needs shlwapi.dll, which Internet Explorer 4.0 or later installs.\n";
const char* const kNotInfected = " Your system is not infected with TROJ_NAVIDAD.A or TROJ_NAVIDAD.E.\n";
const char* const kNotChecked = " Your system could not be checked for TROJ_NAVIDAD.A or TROJ_NAVIDAD.E.\n";

bool value_gone(const SimWindows& w) { return w.value(kRunKey, "Win32BaseServiceMOD") == nullptr; }
bool repaired(const SimWindows& w)
{
    const SimValue* command = w.value(kCommandKey, "");
    return command != nullptr && command->type == kRegSz && command->data == kRepaired;
}
bool user_keys_gone(const SimWindows& w) { return !w.has_key("HKCU\\software\\Navidad") && !w.has_key("HKCU\\software\\Emanuel"); }

bool is_key_wait_call(const std::string& call)
{
    return call == "CreateFileA CONIN$" || call == "GetNumberOfConsoleInputEvents" || call == "PeekConsoleInputA";
}

class RunTable : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTable, WritesExactlyWhatHappenedAndExitsAccordingly)
{
    const RunCase& c = GetParam();
    SimWindows w = infected_machine(c.row);
    if (c.arrange) c.arrange(w);
    const int status = run(w);

    std::string expected = banner_and_prompt();
    for (const std::string& line : c.lines) expected += line;
    EXPECT_EQ(w.output, expected);
    EXPECT_EQ(status, c.exit_status);
    EXPECT_TRUE(w.open_keys.empty());
    EXPECT_EQ(w.open_consoles, 0);
    EXPECT_EQ(w.console_queue.size(), 1u) << "the key press stays queued";
    EXPECT_TRUE(w.has_file(kSys + "\\WINSVRC.EXE")) << "the file the value named is never deleted";
    // Nothing is read or changed before the wait has ended: the key wait's calls all come first.
    const auto first_touch = std::find_if_not(w.calls.begin(), w.calls.end(), is_key_wait_call);
    EXPECT_NE(first_touch, w.calls.begin());
    EXPECT_TRUE(std::none_of(first_touch, w.calls.end(), is_key_wait_call)) << "touched before the key press was seen";
    if (w.has_key(kRunKey)) {
        EXPECT_NE(w.value(kRunKey, "OtherProgram"), nullptr);
    }
    if (c.verify) c.verify(w);
}

INSTANTIATE_TEST_SUITE_P(Runs, RunTable, ::testing::Values(
    RunCase{"CleanSystem", 0, nullptr, {kNotInfected}, 0,
            [](const SimWindows& w) {
                EXPECT_EQ(std::count(w.calls.begin(), w.calls.end(), "RegSetValueA " + SimWindows::fold(kCommandKey)), 0);
                EXPECT_TRUE(w.has_key("HKCU\\software\\Navidad"));
            }},
    RunCase{"NoRunKey", 0, [](SimWindows& w) { w.keys.erase(SimWindows::fold(kRunKey)); }, {kNotInfected}, 0, nullptr},
    RunCase{"ValueNamesAnotherFile", 0,
            [](SimWindows& w) { w.set_value(kRunKey, "Win32BaseServiceMOD", kRegSz, kSys + "\\WINSVRC.EXE -q" + '\0'); },
            {kNotInfected}, 0, [](const SimWindows& w) { EXPECT_FALSE(value_gone(w)); }},
    RunCase{"Row1FullClean", 1, nullptr, {kNotice1, kVxdDeleted, kCleaned, kReboot}, 0,
            [](const SimWindows& w) {
                EXPECT_TRUE(value_gone(w) && repaired(w) && user_keys_gone(w));
                EXPECT_FALSE(w.has_file(kSys + "\\WINSVRC.VXD"));
                EXPECT_TRUE(w.has_file(kSys + "\\WINTASK.EXE"));
                EXPECT_EQ(w.value(kCommandKey, "Extra")->data, std::string("kept") + '\0');
            }},
    RunCase{"Row2FullClean", 2, nullptr, {kNotice2, kTaskDeleted, kCleaned, kReboot}, 0,
            [](const SimWindows& w) {
                EXPECT_TRUE(value_gone(w) && repaired(w) && user_keys_gone(w));
                EXPECT_FALSE(w.has_file(kSys + "\\WINTASK.EXE"));
                EXPECT_TRUE(w.has_file(kSys + "\\WINSVRC.VXD"));
            }},
    RunCase{"Row1LowerCaseValue", 1,
            [](SimWindows& w) { w.set_value(kRunKey, "Win32BaseServiceMOD", kRegSz, std::string("c:\\windows\\system32\\winsvrc.exe") + '\0'); },
            {kNotice1, kVxdDeleted, kCleaned, kReboot}, 0, nullptr},
    RunCase{"FileMissing", 2, [](SimWindows& w) { w.files.clear(); w.add_file(kSys + "\\WINSVRC.EXE"); },
            {kNotice2, kCleaned, kReboot}, 0, [](const SimWindows& w) { EXPECT_TRUE(value_gone(w) && repaired(w)); }},
    RunCase{"FileInUse", 1, [](SimWindows& w) { w.files_in_use.insert(SimWindows::fold(kSys + "\\WINSVRC.VXD")); },
            {kNotice1, kCleaned, kReboot}, 0, [](const SimWindows& w) { EXPECT_TRUE(w.has_file(kSys + "\\WINSVRC.VXD")); }},
    RunCase{"OpenCommandAbsent", 2, [](SimWindows& w) { w.keys.erase(SimWindows::fold(kCommandKey)); },
            {kNotice2, kTaskDeleted, kCleaned, kReboot}, 0,
            [](const SimWindows& w) { EXPECT_FALSE(w.has_key(kCommandKey)) << "never created"; }},
    RunCase{"UserKeysAbsentOrWithSubkeys", 1,
            [](SimWindows& w) { w.keys.erase("hkcu\\software\\emanuel"); w.add_key("HKCU\\software\\Navidad\\Sub"); },
            {kNotice1, kVxdDeleted, kCleaned, kReboot}, 0,
            [](const SimWindows& w) { EXPECT_TRUE(w.has_key("HKCU\\software\\Navidad\\Sub") && w.has_key("HKCU\\software\\Navidad")); }},
    RunCase{"ValueVanishedSinceTheProbe", 1, [](SimWindows& w) { w.fail_call = 3; w.fail_status = kErrorFileNotFound; },
            {kNotice1, kCleaned, kReboot}, 0, [](const SimWindows& w) { EXPECT_TRUE(w.has_file(kSys + "\\WINSVRC.VXD")); }},
    RunCase{"ShellLibraryMissing", 1, [](SimWindows& w) { w.fail_call = 3; w.fail_status = kErrorModNotFound; },
            {kNotice1, kNotCleaned, kNeedsShlwapi}, 1,
            [](const SimWindows& w) { EXPECT_TRUE(w.has_file(kSys + "\\WINSVRC.VXD") && repaired(w) && user_keys_gone(w)); }},
    RunCase{"ShellLibraryTooOldAndOpenCommandDenied", 2,
            [](SimWindows& w) { w.fail_call = 3; w.fail_status = kErrorProcNotFound; w.deny(kCommandKey, KeyAccess::SetValue); },
            {kNotice2, kNotCleaned, kNeedsShlwapi}, 1, [](const SimWindows& w) { EXPECT_TRUE(w.has_file(kSys + "\\WINTASK.EXE")); }},
    RunCase{"RunKeyDeniesDeletion", 2, [](SimWindows& w) { w.deny(kRunKey, KeyAccess::SetValue); },
            {kNotice2, kNotCleaned, kAdmin}, 1,
            [](const SimWindows& w) {
                EXPECT_FALSE(value_gone(w));
                EXPECT_TRUE(w.has_file(kSys + "\\WINTASK.EXE"));
                EXPECT_TRUE(repaired(w) && user_keys_gone(w)) << "the other steps still run";
            }},
    RunCase{"OpenCommandDeniesWrites", 1, [](SimWindows& w) { w.deny(kCommandKey, KeyAccess::SetValue); },
            {kNotice1, kVxdDeleted, kNotCleaned, kAdmin}, 1,
            [](const SimWindows& w) { EXPECT_TRUE(value_gone(w) && !repaired(w) && user_keys_gone(w)); }},
    RunCase{"OpenCommandDeniesOnlyQuerying", 2, [](SimWindows& w) { w.deny(kCommandKey, KeyAccess::QueryValue); },
            {kNotice2, kTaskDeleted, kCleaned, kReboot}, 0, [](const SimWindows& w) { EXPECT_TRUE(repaired(w)); }},
    RunCase{"RunKeyUnreadable", 1, [](SimWindows& w) { w.deny(kRunKey, KeyAccess::QueryValue); }, {kNotChecked, kAdmin}, 2,
            [](const SimWindows& w) { EXPECT_TRUE(!value_gone(w) && !repaired(w) && w.has_file(kSys + "\\WINSVRC.VXD")); }},
    RunCase{"OnlyTheOpenCommandNamesTheMarker", 1, [](SimWindows& w) { w.keys[SimWindows::fold(kRunKey)].erase("win32baseservicemod"); },
            {kNotice1, kCleaned, kReboot}, 0,
            [](const SimWindows& w) {
                EXPECT_TRUE(repaired(w) && user_keys_gone(w));
                EXPECT_TRUE(w.has_file(kSys + "\\WINSVRC.VXD")) << "no value deleted, so no file either";
                EXPECT_TRUE(std::none_of(w.calls.begin(), w.calls.end(), [](const std::string& call) { return call.rfind("SHDeleteValueA", 0) == 0; }));
            }},
    RunCase{"NoConsole", 2, [](SimWindows& w) { w.has_console = false; },
            {kNotice2, kTaskDeleted, kCleaned, kReboot}, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// What a run may change: the auto-start value, the variant's file, the open command's
// default value, and the two per-user keys.
void expect_only_named_items_changed(const SimWindows& before, const SimWindows& after, int row)
{
    const std::string removable_file = SimWindows::fold(kSys + (row == 1 ? "\\WINSVRC.VXD" : "\\WINTASK.EXE"));
    for (const std::string& file : before.files) {
        EXPECT_TRUE(file == removable_file || after.files.count(file)) << "deleted " << file;
    }
    for (const auto& [path, values] : after.keys) EXPECT_TRUE(before.keys.count(path)) << "created " << path;
    for (const auto& [path, values] : before.keys) {
        const bool user_key = path == "hkcu\\software\\navidad" || path == "hkcu\\software\\emanuel";
        if (!after.keys.count(path)) {
            EXPECT_TRUE(user_key) << "deleted " << path;
            continue;
        }
        for (const auto& [name, value] : values) {
            const bool may_change = (path == SimWindows::fold(kRunKey) && name == "win32baseservicemod") ||
                                    (path == SimWindows::fold(kCommandKey) && name.empty());
            const SimValue* now = after.value(path, name);
            if (may_change) continue;
            ASSERT_NE(now, nullptr) << path << " " << name;
            EXPECT_EQ(now->data, value.data);
        }
        EXPECT_LE(after.keys.at(path).size(), values.size());
    }
}

TEST(FaultSweep, NoFailureIsEverReportedAsACleanOrLeaksAHandle)
{
    std::size_t runs = 0;
    for (int row : {1, 2}) {
        SimWindows counted = infected_machine(row);
        ASSERT_EQ(run(counted), 0);
        std::vector<std::string> fallible;
        std::copy_if(counted.calls.begin(), counted.calls.end(), std::back_inserter(fallible),
                     [](const std::string& call) { return !is_key_wait_call(call) && call != "CloseHandle CONIN$"; });
        ASSERT_EQ(fallible.size(), counted.fallible_calls);
        ASSERT_GE(fallible.size(), 10u);
        for (std::size_t k = 0; k < fallible.size(); ++k) {
            for (bool keep_failing : {false, true}) {
                SCOPED_TRACE("row " + std::to_string(row) + ", call " + std::to_string(k) + " (" + fallible[k] + ")" +
                             (keep_failing ? " and every later one" : " once"));
                const SimWindows before = infected_machine(row);
                SimWindows w = before;
                w.fail_call = k;
                w.keep_failing = keep_failing;
                const int status = run(w);
                ++runs;

                EXPECT_TRUE(w.open_keys.empty());
                EXPECT_EQ(w.open_consoles, 0);
                const bool says_cleaned = w.output.find(kCleaned) != std::string::npos;
                const bool says_infected = w.output.find(" Your system is infected") != std::string::npos;
                EXPECT_EQ(says_cleaned, w.output.find(kReboot) != std::string::npos);
                if (says_cleaned) {
                    EXPECT_EQ(status, 0);
                    EXPECT_TRUE(value_gone(w)) << "cleaned, yet the auto-start value remains";
                    EXPECT_TRUE(repaired(w)) << "cleaned, yet the open command is still hijacked";
                } else if (says_infected) {
                    EXPECT_EQ(status, 1);
                    EXPECT_NE(w.output.find(kNotCleaned), std::string::npos);
                } else {
                    // The probe could not read: it says so, never "not infected", and touches nothing.
                    EXPECT_EQ(status, 2);
                    EXPECT_EQ(w.output.substr(w.output.size() - std::strlen(kNotChecked) - std::strlen(kAdmin)),
                              std::string(kNotChecked) + kAdmin);
                    EXPECT_FALSE(value_gone(w));
                }
                expect_only_named_items_changed(before, w, row);

                // Whatever the failure left, a second run without one finishes the clean.
                w.fail_call = SIZE_MAX;
                EXPECT_EQ(run(w), 0);
                EXPECT_TRUE(value_gone(w) && repaired(w)) << "a second run left the auto-start value or the hijack";
            }
        }
    }
    RecordProperty("runs", static_cast<int>(runs));
}

} // namespace
} // namespace karvelon::test
