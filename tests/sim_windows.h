// A simulated Windows behind the platform seam: a registry, files, a console input queue
// and standard output, with every call logged and any registry or file call able to fail.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace karvelon::test {

struct SimValue {
    std::uint32_t type;
    std::string data;
};

class SimWindows final : public Platform {
public:
    // The registry: "HKLM\\path", "HKCR\\path", "HKCU\\path", compared without letter case.
    std::map<std::string, std::map<std::string, SimValue>> keys;
    std::map<std::string, std::uint32_t> denied_rights; // folded key path -> KeyAccess bits denied
    std::set<std::string> files; // full paths, compared without letter case
    std::set<std::string> files_in_use;
    std::set<std::string> read_only_files; // folded, as files
    std::string system_directory = "C:\\WINDOWS\\System32";

    bool has_console = true;
    std::vector<InputRecord> console_queue;
    bool peek_overreports = false; // a peek answers one record more than it was asked for
    bool station_visible = true;
    int station_asked = 0;
    bool wait_fails = false;
    // Time, in milliseconds, passes only in waits and sleeps; an arriving event is queued then.
    std::uint64_t clock_ms = 0;
    std::vector<std::pair<std::uint64_t, InputRecord>> arriving; // in order of time
    std::size_t key_tests = 0; // past 100000 a key arrives, so that a wait that never pauses ends
    std::string output;

    std::vector<std::string> calls;      // every call but write_message, in order
    std::size_t fail_call = SIZE_MAX;    // the index (into fallible calls) that fails
    bool keep_failing = false;           // fail every fallible call from fail_call on
    Status fail_status = kErrorAccessDenied; // what a failing registry call answers
    std::size_t fallible_calls = 0;
    std::set<std::uintptr_t> open_keys;
    int open_consoles = 0;

    void add_key(const std::string& path) { keys[fold(path)]; }
    // Denies `rights` on the key to everyone, as a DACL would: opening it asking for any of them fails.
    void deny(const std::string& path, KeyAccess rights) { denied_rights[fold(path)] |= static_cast<std::uint32_t>(rights); }
    void set_value(const std::string& key, const std::string& name, std::uint32_t type, const std::string& data)
    {
        keys[fold(key)][fold(name)] = SimValue{type, data};
    }
    bool has_key(const std::string& path) const { return keys.count(fold(path)) != 0; }
    const SimValue* value(const std::string& key, const std::string& name) const;
    bool has_file(const std::string& path) const { return files.count(fold(path)) != 0; }
    void add_file(const std::string& path) { files.insert(fold(path)); }
    static std::string fold(std::string text);

    Status reg_open_key_ex(RootKey root, const char* subkey, KeyAccess access, KeyHandle* key) override;
    Status reg_query_value_ex(KeyHandle key, const char* name, std::uint32_t* type, unsigned char* data,
                              std::uint32_t* size) override;
    Status reg_set_value(RootKey root, const char* subkey, std::uint32_t type, const char* data, std::uint32_t size) override;
    Status reg_delete_key(RootKey root, const char* subkey) override;
    Status reg_close_key(KeyHandle key) override;
    Status sh_delete_value(RootKey root, const char* subkey, const char* name) override;
    std::uint32_t get_system_directory(char* buffer, std::uint32_t capacity) override;
    bool delete_file(const char* path) override;
    ConsoleHandle open_console_input() override;
    bool get_number_of_console_input_events(ConsoleHandle console, std::uint32_t* count) override;
    bool peek_console_input(ConsoleHandle console, InputRecord* records, std::uint32_t length, std::uint32_t* read) override;
    void close_console_input(ConsoleHandle console) override;
    std::uint32_t wait_for_console_input(ConsoleHandle console, std::uint32_t milliseconds) override;
    void sleep(std::uint32_t milliseconds) override;
    bool window_station_visible() override
    {
        ++station_asked;
        return station_visible;
    }
    void write_message(const char* text) override { output += text; }

private:
    bool injected_failure(const std::string& call);
    std::string path_of(RootKey root, const char* subkey) const;
    bool denies(const std::string& path, KeyAccess rights) const;
    bool console_open(ConsoleHandle console) const;
    void pass_time(std::uint32_t milliseconds, bool until_input);
    std::map<std::uintptr_t, std::string> handle_paths_;
    std::map<std::uintptr_t, KeyAccess> handle_access_;
    std::uintptr_t next_handle_ = 0x100;
};

// A machine in C:\WINDOWS\System32 carrying variant `row` (1 or 2; 0 for none): the
// auto-start value and the open command naming the variant's marker file (for none, the
// command as Windows has it), a value beside that command, both per-user keys, the three
// trojan files and a system file, an unrelated Run value, and a key press waiting.
SimWindows infected_machine(int row);

// A key-down event, as the console reports one.
InputRecord key_down(char ascii, std::uint16_t scan_code, std::uint32_t control_key_state = 0);
InputRecord other_event(std::uint16_t event_type);

} // namespace karvelon::test
