// What the program relies on Windows to do, one row per behaviour, each run through the
// platform seam: against the simulated Windows by the host tests (contract_test.cpp) and
// against Win32Platform under Wine (wine/contract.cpp). Both answer to the expectations here,
// so the simulation the other host tests trust cannot drift from Windows unseen.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace karvelon::contract {

// What each side sets up before a row's call and looks at after it, its own way: the
// simulation through its members, the Windows program through plain Win32 calls. Keys are
// under HKEY_CURRENT_USER; a key is added with its parents.
class World {
public:
    virtual void add_key(const char* subkey) = 0;
    virtual void set_value(const char* subkey, const char* name, std::uint32_t type, const char* data,
                           std::uint32_t size) = 0;
    virtual void deny_set_value(const char* subkey) = 0; // a DACL that denies KEY_SET_VALUE to everyone
    virtual void add_file(const char* path, bool read_only) = 0;
    virtual bool has_key(const char* subkey) = 0;
    virtual bool has_value(const char* subkey, const char* name) = 0;
    virtual bool has_file(const char* path) = 0;
    // The key's default value: true, with its type and bytes, when it has one.
    virtual bool default_value(const char* subkey, std::uint32_t* type, char* data, std::uint32_t* size) = 0;
    virtual const char* system_directory() = 0;
    virtual void queue_key_release() = 0;     // on the console input, where the console rows run
    virtual void move_to_new_window_station() = 0; // one the process creates, which no one sees

protected:
    ~World() = default;
};

// What the one call of a row answered and wrote back.
struct Observed {
    long answer = kNotCalled; // a status; 1 or 0 for true or false; or a length
    std::uint32_t size = 0;   // the size written back
    std::uint32_t type = 0;   // the value type written back
    char data[32] = {};       // the buffer the call was given, zero-filled before
    bool handle_given = false; // a key handle was written back; a console handle answered a call
    static constexpr long kNotCalled = -1; // a call before it failed
};

constexpr long kTrue = 1;
constexpr long kFalse = 0;
constexpr long kAnyFailure = -2; // any non-zero status
constexpr long kSeeResult = -3;  // the answer is a length, judged with the rest of the result

struct Row {
    const char* name;
    void (*arrange)(World&); // null: nothing to set up
    void (*call)(Platform&, Observed&);
    long answer;
    const char* result; // what else must hold, in words; null when the answer is all
    bool (*holds)(const Observed&, World&);
};

inline bool answer_as_expected(const Row& row, long answer)
{
    if (row.answer == kSeeResult) return true;
    if (row.answer == kAnyFailure) return answer != kSuccess && answer != Observed::kNotCalled;
    return answer == row.answer;
}

inline bool passes(const Row& row, const Observed& observed, World& world)
{
    return answer_as_expected(row, observed.answer) && (row.holds == nullptr || row.holds(observed, world));
}

constexpr char kKey[] = "Software\\KarvelonContract";
constexpr char kSubkey[] = "Software\\KarvelonContract\\Sub";
constexpr char kMissingKey[] = "Software\\KarvelonContract\\Missing";
constexpr char kFile[] = "C:\\karvelon-contract.tmp";
constexpr char kRepair[] = "\"%1\" %*"; // with its zero, the 8 bytes the repair writes
constexpr std::uint32_t kRegBinary = 3;

// Opens kKey for `access` and queries `name` with `size` given.
inline void query(Platform& platform, Observed& observed, KeyAccess access, const char* name, std::uint32_t size)
{
    KeyHandle key = nullptr;
    if (platform.reg_open_key_ex(RootKey::CurrentUser, kKey, access, &key) != kSuccess) return;
    observed.size = size;
    observed.answer = platform.reg_query_value_ex(key, name, &observed.type, reinterpret_cast<unsigned char*>(observed.data),
                                                   &observed.size);
    platform.reg_close_key(key);
}

inline bool zero_from(const Observed& observed, std::size_t first)
{
    for (std::size_t i = first; i < sizeof observed.data; ++i)
        if (observed.data[i] != '\0') return false;
    return true;
}

inline void key_with_value(World& w) { w.set_value(kKey, "Value", kRegSz, "0123456789", 11); }
inline void delete_scratch_file(Platform& p, Observed& o) { o.answer = p.delete_file(kFile) ? kTrue : kFalse; }

inline bool asks_for_the_directory_and_its_zero(const Observed& o, World& w)
{
    return o.answer == static_cast<long>(std::strlen(w.system_directory()) + 1) && zero_from(o, 0);
}

inline bool count_console_events(Platform& p, ConsoleHandle console)
{
    std::uint32_t count = 0;
    return p.get_number_of_console_input_events(console, &count);
}
inline bool peek_console(Platform& p, ConsoleHandle console)
{
    InputRecord records[4] = {};
    std::uint32_t read = 0;
    return p.peek_console_input(console, records, 4, &read);
}

// Opens the console input, makes `call` through it, closes it, and makes `call` once more.
inline void call_after_closing(Platform& p, Observed& o, bool (*call)(Platform&, ConsoleHandle))
{
    const ConsoleHandle console = p.open_console_input();
    if (console == invalid_console_handle()) return;
    o.handle_given = call(p, console);
    p.close_console_input(console);
    o.answer = call(p, console) ? kTrue : kFalse;
}

inline void wait_on_console(Platform& p, Observed& o)
{
    const ConsoleHandle console = p.open_console_input();
    if (console == invalid_console_handle()) return;
    o.answer = static_cast<long>(p.wait_for_console_input(console, 0));
    p.close_console_input(console);
}
inline void window_station_visible(Platform& p, Observed& o) { o.answer = p.window_station_visible() ? kTrue : kFalse; }

inline const Row kRows[] = {
    {"OpenMissingKey", nullptr,
     [](Platform& p, Observed& o) {
         KeyHandle key = nullptr;
         o.answer = p.reg_open_key_ex(RootKey::CurrentUser, kMissingKey, KeyAccess::QueryValue, &key);
         if (o.answer == kSuccess) p.reg_close_key(key);
     },
     kErrorFileNotFound, nullptr, nullptr},
    {"QueryMissingValue", key_with_value,
     [](Platform& p, Observed& o) { query(p, o, KeyAccess::QueryValue, "Missing", 16); },
     kErrorFileNotFound, nullptr, nullptr},
    {"QueryLongerThanTheSizeGiven", key_with_value,
     [](Platform& p, Observed& o) { query(p, o, KeyAccess::QueryValue, "Value", 4); },
     kErrorMoreData, "the size needed, 11, written back, and nothing written past the 4 bytes given",
     [](const Observed& o, World&) { return o.size == 11 && zero_from(o, 4); }},
    {"QueryExactlyTheSizeGiven", [](World& w) { w.set_value(kKey, "Value", kRegSz, "exactly", 8); },
     [](Platform& p, Observed& o) { query(p, o, KeyAccess::QueryValue, "Value", 8); },
     kSuccess, "its 8 bytes, size 8",
     [](const Observed& o, World&) { return o.size == 8 && std::memcmp(o.data, "exactly", 8) == 0; }},
    {"QueryBinaryWithoutAZero", [](World& w) { w.set_value(kKey, "Value", kRegBinary, "BINARY!!", 8); },
     [](Platform& p, Observed& o) { query(p, o, KeyAccess::QueryValue, "Value", 16); },
     kSuccess, "its 8 bytes as stored, size 8, and no zero added",
     [](const Observed& o, World&) { return o.size == 8 && std::memcmp(o.data, "BINARY!!", 8) == 0 && zero_from(o, 8); }},
    {"QueryDefaultValueWithItsType", [](World& w) { w.set_value(kKey, "", kRegExpandSz, "%1 %*", 6); },
     [](Platform& p, Observed& o) { query(p, o, KeyAccess::QueryValue, "", 16); },
     kSuccess, "REG_EXPAND_SZ and its 6 bytes as stored, unexpanded",
     [](const Observed& o, World&) { return o.type == kRegExpandSz && o.size == 6 && std::memcmp(o.data, "%1 %*", 6) == 0; }},
    {"QueryThroughAHandleOpenedToSetValues", key_with_value,
     [](Platform& p, Observed& o) { query(p, o, KeyAccess::SetValue, "Value", 16); },
     kErrorAccessDenied, nullptr, nullptr},

    {"OpenForARightTheDaclDenies",
     [](World& w) {
         key_with_value(w);
         w.deny_set_value(kKey);
     },
     [](Platform& p, Observed& o) {
         KeyHandle key = nullptr;
         o.answer = p.reg_open_key_ex(RootKey::CurrentUser, kKey, KeyAccess::SetValue, &key);
         o.handle_given = key != nullptr;
         if (o.answer == kSuccess) p.reg_close_key(key);
     },
     kErrorAccessDenied, "no handle given", [](const Observed& o, World&) { return !o.handle_given; }},

    {"DeleteValue", key_with_value,
     [](Platform& p, Observed& o) { o.answer = p.sh_delete_value(RootKey::CurrentUser, kKey, "Value"); },
     kSuccess, "the value is gone", [](const Observed&, World& w) { return !w.has_value(kKey, "Value"); }},
    {"DeleteMissingValue", key_with_value,
     [](Platform& p, Observed& o) { o.answer = p.sh_delete_value(RootKey::CurrentUser, kKey, "Missing"); },
     kErrorFileNotFound, nullptr, nullptr},
    {"DeleteValueOfAMissingKey", nullptr,
     [](Platform& p, Observed& o) { o.answer = p.sh_delete_value(RootKey::CurrentUser, kMissingKey, "Value"); },
     kErrorFileNotFound, nullptr, nullptr},
    {"DeleteValueDeniedByTheDacl",
     [](World& w) {
         key_with_value(w);
         w.deny_set_value(kKey);
     },
     [](Platform& p, Observed& o) { o.answer = p.sh_delete_value(RootKey::CurrentUser, kKey, "Value"); },
     kErrorAccessDenied, "the value stays", [](const Observed&, World& w) { return w.has_value(kKey, "Value"); }},

    {"SetDefaultValue", [](World& w) { w.add_key(kKey); },
     [](Platform& p, Observed& o) { o.answer = p.reg_set_value(RootKey::CurrentUser, kKey, kRegSz, kRepair, 8); },
     kSuccess, "the default value is REG_SZ holding the 8 bytes given",
     [](const Observed&, World& w) {
         std::uint32_t type = 0, size = 16;
         char data[16] = {};
         return w.default_value(kKey, &type, data, &size) && type == kRegSz && size == 8 && std::memcmp(data, kRepair, 8) == 0;
     }},
    {"SetDefaultValueDeniedByTheDacl",
     [](World& w) {
         w.set_value(kKey, "", kRegSz, "before", 7);
         w.deny_set_value(kKey);
     },
     [](Platform& p, Observed& o) { o.answer = p.reg_set_value(RootKey::CurrentUser, kKey, kRegSz, kRepair, 8); },
     kErrorAccessDenied, "the default value stays as it was",
     [](const Observed&, World& w) {
         std::uint32_t type = 0, size = 16;
         char data[16] = {};
         return w.default_value(kKey, &type, data, &size) && size == 7 && std::memcmp(data, "before", 7) == 0;
     }},
    {"SetDefaultValueOfAMissingSubkey", [](World& w) { w.add_key(kKey); },
     [](Platform& p, Observed& o) { o.answer = p.reg_set_value(RootKey::CurrentUser, kSubkey, kRegSz, kRepair, 8); },
     kSuccess, "the subkey is created", [](const Observed&, World& w) { return w.has_key(kSubkey); }},

    {"DeleteLeafKey", [](World& w) { w.add_key(kSubkey); },
     [](Platform& p, Observed& o) { o.answer = p.reg_delete_key(RootKey::CurrentUser, kSubkey); },
     kSuccess, "the key is gone", [](const Observed&, World& w) { return !w.has_key(kSubkey) && w.has_key(kKey); }},
    {"DeleteMissingKey", nullptr,
     [](Platform& p, Observed& o) { o.answer = p.reg_delete_key(RootKey::CurrentUser, kMissingKey); },
     kErrorFileNotFound, nullptr, nullptr},
    {"DeleteKeyWithASubkey", [](World& w) { w.add_key(kSubkey); },
     [](Platform& p, Observed& o) { o.answer = p.reg_delete_key(RootKey::CurrentUser, kKey); },
     kAnyFailure, "the key stays, with its subkey", [](const Observed&, World& w) { return w.has_key(kSubkey); }},

    {"DeleteFile", [](World& w) { w.add_file(kFile, false); },
     delete_scratch_file,
     kTrue, "the file is gone", [](const Observed&, World& w) { return !w.has_file(kFile); }},
    {"DeleteMissingFile", nullptr,
     delete_scratch_file,
     kFalse, nullptr, nullptr},
    // Windows refuses with ERROR_ACCESS_DENIED; a trojan may well have set the attribute.
    {"DeleteReadOnlyFile", [](World& w) { w.add_file(kFile, true); },
     delete_scratch_file,
     kFalse, "the file stays", [](const Observed&, World& w) { return w.has_file(kFile); }},

    {"SystemDirectoryIntoTooSmallABuffer", nullptr,
     [](Platform& p, Observed& o) { o.answer = static_cast<long>(p.get_system_directory(o.data, 8)); },
     kSeeResult, "the size needed, the directory's length and its zero, and nothing written",
     asks_for_the_directory_and_its_zero},
    {"SystemDirectoryIntoExactlyItsLength", nullptr,
     [](Platform& p, Observed& o) {
         char directory[sizeof o.data] = {};
         const std::uint32_t length = p.get_system_directory(directory, sizeof directory);
         if (length < sizeof directory) o.answer = static_cast<long>(p.get_system_directory(o.data, length));
     },
     kSeeResult, "the size needed, the directory's length and its zero, and nothing written",
     asks_for_the_directory_and_its_zero},

    {"CountConsoleEventsOnAnInvalidHandle", nullptr,
     [](Platform& p, Observed& o) { o.answer = count_console_events(p, invalid_console_handle()) ? kTrue : kFalse; },
     kFalse, nullptr, nullptr},
    {"PeekConsoleOnAnInvalidHandle", nullptr,
     [](Platform& p, Observed& o) { o.answer = peek_console(p, invalid_console_handle()) ? kTrue : kFalse; },
     kFalse, nullptr, nullptr},
    {"CountConsoleEventsOnAClosedHandle", nullptr,
     [](Platform& p, Observed& o) { call_after_closing(p, o, count_console_events); },
     kFalse, "an answer while it was open", [](const Observed& o, World&) { return o.handle_given; }},
    {"PeekConsoleOnAClosedHandle", nullptr,
     [](Platform& p, Observed& o) { call_after_closing(p, o, peek_console); },
     kFalse, "an answer while it was open", [](const Observed& o, World&) { return o.handle_given; }},
    // The wait for a key relies on these: the handle stays signalled while an event is queued.
    {"WaitOnAConsoleWithAKeyReleaseQueued", [](World& w) { w.queue_key_release(); }, wait_on_console,
     static_cast<long>(kWaitObject0), nullptr, nullptr},
    {"WaitOnAConsoleWithNothingQueued", nullptr, wait_on_console, static_cast<long>(kWaitTimeout), nullptr, nullptr},
    {"WindowStationOfAConsoleProgram", nullptr, window_station_visible, kTrue, nullptr, nullptr},
    {"WindowStationTheProgramCreated", [](World& w) { w.move_to_new_window_station(); }, window_station_visible, kFalse,
     nullptr, nullptr},
};

} // namespace karvelon::contract
