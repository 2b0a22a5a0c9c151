// Fuzz target for the infection probe and the removal that follows a match. The input decodes
// into a Run value (or, where that is absent, an open command), its registry type and a system
// directory text (layout at decode()); the probe and a whole run are checked against a plain
// reference comparison, and every path that reaches DeleteFileA must be the full, untruncated
// marker path of the matched row.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cleaner/probe.h"
#include "cleaner/removal.h"
#include "cleaner/run.h"
#include "tests/sim_windows.h"

namespace karvelon::test {
namespace {

// The reference's own copy of the limits: the system directory's and the marker paths' buffers
// hold 1024 bytes (DEVELOPING.md); at most 128 bytes of the value and 65,535 of the open command
// are read (README.md); and these are the rows' marker and removed file names.
constexpr std::size_t kBuffer = 1024;
constexpr std::size_t kValueLimit = 128;
constexpr std::size_t kCommandLimit = 65535;
constexpr const char* kMarkerNames[] = {"\\WINSVRC.EXE", "\\WINTASK.EXE"};
constexpr const char* kRemovedNames[] = {"\\WINSVRC.VXD", "\\WINTASK.EXE"};
static_assert(kBuffer == kTextBufferSize && kValueLimit == kValueQuerySize && kCommandLimit == kCommandQuerySize,
              "the reference has fallen behind the probe");

constexpr char kRunKey[] = "HKLM\\software\\microsoft\\windows\\currentversion\\run";
constexpr char kRunKeyAsSimulated[] = "hklm\\software\\microsoft\\windows\\currentversion\\run";
constexpr char kCommandKey[] = "HKCR\\exefile\\shell\\open\\command";
constexpr char kValueName[] = "Win32BaseServiceMOD";

// How the simulated GetSystemDirectoryA answers a buffer of `capacity` bytes.
enum class DirectoryCall : std::uint8_t {
    Honest,       // text and zero when they fit, else nothing; answers the length or the size needed
    Fails,        // writes nothing, answers 0
    Unterminated, // as much text as fits and no zero; answers the text length
    CutShort,     // as much text as fits before a zero in the last byte; answers the size needed
};
constexpr std::uint8_t kDirectoryCalls = 4;

struct Scenario {
    DirectoryCall directory_call;
    std::string directory; // the system directory text, any bytes, any length
    bool value_present;
    std::uint32_t value_type;
    std::string value; // the data as stored; its size is the length the registry reports
    bool removed_file_present;
    bool run_key_denies_writes;
    bool open_command_key_present;
};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte()
    {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    std::string rest() { return take(size_); }
    std::string take(std::size_t count)
    {
        count = std::min(count, size_);
        std::string taken(reinterpret_cast<const char*>(data_), count);
        data_ += count;
        size_ -= count;
        return taken;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Byte 0: the directory call (mod 4). Byte 1: flags, bit by bit from the lowest: the value is
// built from the directory (else it is the rest of the input), built for row 2 (else row 1),
// built without its zero, built with the case of every letter-like byte flipped, the value is
// absent (and the open command, where its key exists, holds it instead), the file removal would
// delete is present, the Run key denies writes, the open command key exists. Byte 2: the
// registry type. Byte 3: how many leading directory bytes come
// from the input. Bytes 4-5: the directory length, little-endian, mod 2100; the rest of it is
// 'D's. Then a built value gets the rest of the input appended after its name (and zero).
Scenario decode(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    Scenario s{};
    s.directory_call = static_cast<DirectoryCall>(in.byte() % kDirectoryCalls);
    const std::uint8_t flags = in.byte();
    s.value_type = in.byte();
    const std::size_t from_input = in.byte();
    const std::size_t low = in.byte();
    const std::size_t length = (low | std::size_t{in.byte()} << 8) % 2100;
    s.directory = in.take(std::min(from_input, length));
    s.directory.resize(length, 'D');

    if (flags & 0x01) {
        s.value = s.directory + kMarkerNames[(flags & 0x02) ? 1 : 0];
        if (!(flags & 0x04)) s.value += '\0';
        s.value += in.rest();
        if (flags & 0x08) {
            for (char& c : s.value) {
                const auto folded = static_cast<unsigned char>(c | 0x20);
                if ((folded >= 'a' && folded <= 'z') || (folded >= 0xE0 && folded != 0xF7 && folded != 0xFF))
                    c = static_cast<char>(c ^ 0x20);
            }
        }
    } else {
        s.value = in.rest();
    }
    s.value_present = !(flags & 0x10);
    s.removed_file_present = (flags & 0x20) != 0;
    s.run_key_denies_writes = (flags & 0x40) != 0;
    s.open_command_key_present = (flags & 0x80) != 0;
    return s;
}

// ---- The reference: plain string work, none of the program's routines.

std::string fold_a_to_z(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The directory text as it stands in the probe's zero-filled buffer after the call; nothing
// when the directory cannot be had: the call answered 0, or anything but the length of the
// text it left in the buffer.
std::optional<std::string> delivered_directory(const Scenario& s)
{
    std::string buffer(kBuffer, '\0');
    const std::string& text = s.directory;
    std::size_t answered = text.size();
    switch (s.directory_call) {
    case DirectoryCall::Honest:
        if (text.size() < kBuffer) buffer.replace(0, text.size(), text);
        else answered = text.size() + 1;
        break;
    case DirectoryCall::Fails: answered = 0; break;
    case DirectoryCall::Unterminated: buffer.replace(0, std::min(text.size(), kBuffer), text, 0, kBuffer); break;
    case DirectoryCall::CutShort:
        buffer.replace(0, std::min(text.size(), kBuffer - 1), text, 0, kBuffer - 1);
        if (text.size() >= kBuffer) answered = text.size() + 1;
        break;
    }
    const std::size_t zero = buffer.find('\0');
    if (answered == 0 || zero != answered) return std::nullopt;
    return buffer.substr(0, zero);
}

// The open command as the scenario stores it: when the value is absent, it holds what the value
// would have held (so that the command's own path is fuzzed too), else a program of no interest.
std::string command_of(const Scenario& s) { return s.value_present ? std::string("x") : s.value; }
std::uint32_t command_type_of(const Scenario& s) { return s.value_present ? kRegSz : s.value_type; }

struct Expected {
    Finding finding;
    int row; // 1 or 2, or 0
};

// The row whose marker path `text` is, or whose marker file name alone (when bare names count).
Expected named_by(const std::optional<std::string>& directory, const std::string& text, bool bare_name_counts,
                  Finding finding)
{
    if (!directory) return {Finding::NotChecked, 0};
    for (int row = 1; row <= 2; ++row) {
        const std::string marker = *directory + kMarkerNames[row - 1];
        const bool named = fold_a_to_z(text) == fold_a_to_z(marker) ||
                           (bare_name_counts && fold_a_to_z(text) == fold_a_to_z(kMarkerNames[row - 1] + 1));
        if (marker.size() <= kBuffer - 1 && named) return {finding, row};
    }
    return {Finding::NotInfected, 0};
}

Expected expected_finding(const Scenario& s)
{
    const std::optional<std::string> directory = delivered_directory(s);
    if (s.value_present && s.value.size() <= kValueLimit) {
        const Expected by_value = named_by(directory, s.value.substr(0, s.value.find('\0')), false, Finding::AutoStartValue);
        if (by_value.finding != Finding::NotInfected) return by_value;
    }
    const std::string command = command_of(s);
    const std::uint32_t type = command_type_of(s);
    if (!s.open_command_key_present || command.size() > kCommandLimit || (type != kRegSz && type != kRegExpandSz))
        return {Finding::NotInfected, 0};
    std::string program = command.substr(0, command.find('\0'));
    if (!program.empty() && program[0] == '"') program = program.substr(1, program.find('"', 1) - 1);
    else program = program.substr(0, program.find(' '));
    return named_by(directory, program, true, Finding::OpenCommand);
}

// ---- The simulated Windows, with the directory call and the value read as the scenario says.

class FuzzWindows final : public Platform {
public:
    SimWindows sim;

    explicit FuzzWindows(const Scenario& s) : scenario_(s)
    {
        sim.system_directory = s.directory;
        sim.add_key(kRunKey);
        if (s.value_present) sim.set_value(kRunKey, kValueName, s.value_type, s.value);
        if (s.run_key_denies_writes) sim.deny(kRunKeyAsSimulated, KeyAccess::SetValue);
        if (s.open_command_key_present) sim.set_value(kCommandKey, "", command_type_of(s), command_of(s));
        const std::optional<std::string> directory = delivered_directory(s);
        // Both rows' files, so that removing the wrong one would show too.
        if (s.removed_file_present && directory)
            for (const char* name : kRemovedNames) sim.add_file(*directory + name);
        sim.has_console = false;
    }

    Status reg_query_value_ex(KeyHandle key, const char* name, std::uint32_t* type, unsigned char* data,
                              std::uint32_t* size) override
    {
        const std::uint32_t capacity = *size;
        const Status status = sim.reg_query_value_ex(key, name, type, data, size);
        // Windows leaves the buffer's contents undefined here: fill it with what is there.
        if (status == kErrorMoreData) std::memcpy(data, scenario_.value.data(), capacity);
        return status;
    }

    std::uint32_t get_system_directory(char* buffer, std::uint32_t capacity) override
    {
        const std::string& text = scenario_.directory;
        const auto length = static_cast<std::uint32_t>(text.size());
        switch (scenario_.directory_call) {
        case DirectoryCall::Honest: return sim.get_system_directory(buffer, capacity);
        case DirectoryCall::Fails: return 0;
        case DirectoryCall::Unterminated:
            std::memcpy(buffer, text.data(), std::min(length, capacity));
            return length;
        case DirectoryCall::CutShort:
            if (capacity == 0) return length + 1;
            std::memcpy(buffer, text.data(), std::min(length, capacity - 1));
            buffer[std::min(length, capacity - 1)] = '\0';
            return length < capacity ? length : length + 1;
        }
        return 0;
    }

    Status reg_open_key_ex(RootKey root, const char* subkey, KeyAccess access, KeyHandle* key) override
    {
        return sim.reg_open_key_ex(root, subkey, access, key);
    }
    Status reg_set_value(RootKey root, const char* subkey, std::uint32_t type, const char* data, std::uint32_t size) override
    {
        return sim.reg_set_value(root, subkey, type, data, size);
    }
    Status reg_delete_key(RootKey root, const char* subkey) override { return sim.reg_delete_key(root, subkey); }
    Status reg_close_key(KeyHandle key) override { return sim.reg_close_key(key); }
    Status sh_delete_value(RootKey root, const char* subkey, const char* name) override
    {
        return sim.sh_delete_value(root, subkey, name);
    }
    bool delete_file(const char* path) override { return sim.delete_file(path); }
    ConsoleHandle open_console_input() override { return sim.open_console_input(); }
    bool get_number_of_console_input_events(ConsoleHandle console, std::uint32_t* count) override
    {
        return sim.get_number_of_console_input_events(console, count);
    }
    bool peek_console_input(ConsoleHandle console, InputRecord* records, std::uint32_t length, std::uint32_t* read) override
    {
        return sim.peek_console_input(console, records, length, read);
    }
    void close_console_input(ConsoleHandle console) override { sim.close_console_input(console); }
    std::uint32_t wait_for_console_input(ConsoleHandle console, std::uint32_t ms) override
    {
        return sim.wait_for_console_input(console, ms);
    }
    void sleep(std::uint32_t ms) override { sim.sleep(ms); }
    bool window_station_visible() override { return sim.window_station_visible(); }
    void write_message(const char* text) override { sim.write_message(text); }

private:
    const Scenario& scenario_;
};

// ---- The checks.

std::string printable(const std::string& bytes)
{
    std::string shown;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            shown += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            shown += escaped;
        }
    }
    return shown;
}

void check(bool holds, const char* what, const Scenario& s, const std::string& detail = "")
{
    if (holds) return;
    std::fprintf(stderr,
                 "fuzz_probe: %s\n  directory call %d, directory (%zu bytes) \"%s\"\n"
                 "  value %s, type %u, %zu bytes \"%s\"\n  file present %d, Run key denies writes %d, open command key %d\n%s%s\n",
                 what, static_cast<int>(s.directory_call), s.directory.size(), printable(s.directory).c_str(),
                 s.value_present ? "present" : "absent", s.value_type, s.value.size(), printable(s.value).c_str(),
                 s.removed_file_present, s.run_key_denies_writes, s.open_command_key_present,
                 detail.empty() ? "" : "  ", printable(detail).c_str());
    std::abort();
}

void check_probe(const Scenario& s, const Expected& expected)
{
    FuzzWindows windows(s);
    // Value-initialised, so zero-filled as the run's is; on the heap, so its edges are guarded.
    const auto storage = std::make_unique<WorkingStorage>();
    const Match match = probe(windows, *storage);
    check(match.finding == expected.finding && match.variant == (expected.row == 0 ? nullptr : &kVariants[expected.row - 1]),
          "the probe found another answer than the reference", s,
          "expected finding " + std::to_string(static_cast<int>(expected.finding)) + " row " + std::to_string(expected.row));
    const bool run_key_open = match.finding == Finding::AutoStartValue;
    check(windows.sim.open_keys.size() == (run_key_open ? 1u : 0u), "the Run key is not left open exactly for removal", s);
    if (expected.row == 0) return;
    const std::string marker = *delivered_directory(s) + kMarkerNames[expected.row - 1];
    check(match.marker_path == marker, "the matched marker path is not directory + name", s, match.marker_path);
    if (run_key_open) windows.reg_close_key(storage->run_key);
}

void check_run(const Scenario& s, const Expected& expected)
{
    FuzzWindows windows(s);
    const int status = run(windows);
    const SimWindows& sim = windows.sim;
    const int row = expected.row;

    std::vector<std::string> deleted;
    for (const std::string& call : sim.calls)
        if (call.rfind("DeleteFileA ", 0) == 0) deleted.push_back(call.substr(std::strlen("DeleteFileA ")));
    // Only a value that named the marker is deleted, and only a deleted value's file goes.
    const bool removes = expected.finding == Finding::AutoStartValue && !s.run_key_denies_writes;
    if (removes) {
        const std::string expected_path = *delivered_directory(s) + kRemovedNames[row - 1];
        check(deleted.size() == 1 && deleted[0] == expected_path, "removal was not handed the row's full file path", s,
              deleted.empty() ? "no DeleteFileA" : deleted[0]);
    } else {
        check(deleted.empty(), "a file was deleted without a removable match", s, deleted.empty() ? "" : deleted[0]);
    }

    const bool cleaned = row != 0 && (removes || expected.finding == Finding::OpenCommand);
    const int expected_status = expected.finding == Finding::NotChecked ? 2 : row == 0 || cleaned ? 0 : 1;
    check(status == expected_status, "wrong exit status", s, std::to_string(status));
    const char* last_line = expected.finding == Finding::NotInfected ? kNotInfectedLine
                            : cleaned                                 ? kRebootAdvice
                                                                      : kAdministratorAdvice;
    const std::string& out = sim.output;
    check(out.size() >= std::strlen(last_line) && out.compare(out.size() - std::strlen(last_line), std::string::npos, last_line) == 0,
          "wrong closing line", s, out.substr(out.size() > 200 ? out.size() - 200 : 0));
    check((out.find(kNotCheckedLine) != std::string::npos) == (expected.finding == Finding::NotChecked),
          "the not-checked line disagrees with the reference", s);
    check((out.find(" Your system is infected") != std::string::npos) == (row != 0), "infection notice disagrees with the match", s);
    const bool file_line = out.find(" Trojan file ") != std::string::npos;
    check(file_line == (removes && s.removed_file_present), "file-deleted line disagrees with the deletion", s);
    check(sim.open_keys.empty() && sim.open_consoles == 0, "a handle was left open", s);
    const bool value_left = sim.value(kRunKey, kValueName) != nullptr;
    check(value_left == (s.value_present && !removes), "the auto-start value was not left or removed as it should", s);
}

// The marker path builder on its own, with the directory and the path each in an exactly
// sized heap block, so that a read or write past either is caught by AddressSanitizer: the
// directory once with its zero, once without (then only a zero among its bytes ends it).
void check_marker_path(const Scenario& s)
{
    const std::size_t name_length = std::strlen(kMarkerNames[1]);
    for (const bool terminated : {true, false}) {
        std::vector<char> directory(s.directory.begin(), s.directory.end());
        if (terminated) directory.push_back('\0');
        directory.shrink_to_fit();
        const std::size_t zero = std::string(directory.begin(), directory.end()).find('\0');
        const std::size_t length = zero == std::string::npos ? directory.size() : zero;
        for (std::size_t capacity = length + name_length; capacity <= length + name_length + 2; ++capacity) {
            std::vector<char> path(capacity, 'X');
            const bool built = build_marker_path(path.data(), path.size(), directory.data(), directory.size(), kMarkerNames[1]);
            const bool fits = zero != std::string::npos && length + name_length < capacity;
            check(built == fits, "build_marker_path disagrees about what fits", s, std::to_string(capacity));
            const std::string expected = fits ? s.directory.substr(0, length) + kMarkerNames[1] : "";
            check(path.data() == expected, "build_marker_path wrote another path", s, path.data());
        }
    }
}

} // namespace
} // namespace karvelon::test

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace karvelon::test;
    const Scenario s = decode(data, size);
    const Expected expected = expected_finding(s);
    check_marker_path(s);
    check_probe(s, expected);
    check_run(s, expected);
    return 0;
}
