// The simulated Windows of the host tests. It keeps the behaviours the program relies on, as
// tests/platform_contract.h holds them against Windows itself: ERROR_MORE_DATA for a value
// longer than the size given, ERROR_FILE_NOT_FOUND for a missing key or value, no deletion of
// a key that has subkeys, RegSetValueA creating the key it is given, access checked when a key
// is opened and a value query only through a handle opened to query values, no deletion of a
// read-only file, and console calls that fail on a handle that is not an open console.
#include "tests/sim_windows.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace karvelon::test {

std::string SimWindows::fold(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const SimValue* SimWindows::value(const std::string& key, const std::string& name) const
{
    const auto found = keys.find(fold(key));
    if (found == keys.end()) return nullptr;
    const auto named = found->second.find(fold(name));
    return named == found->second.end() ? nullptr : &named->second;
}

std::string SimWindows::path_of(RootKey root, const char* subkey) const
{
    const char* prefix = root == RootKey::LocalMachine ? "hklm\\" : root == RootKey::ClassesRoot ? "hkcr\\" : "hkcu\\";
    return prefix + fold(subkey);
}

bool SimWindows::denies(const std::string& path, KeyAccess rights) const
{
    const auto found = denied_rights.find(path);
    return found != denied_rights.end() && (found->second & static_cast<std::uint32_t>(rights)) != 0;
}

bool SimWindows::injected_failure(const std::string& call)
{
    calls.push_back(call);
    const std::size_t index = fallible_calls++;
    return index == fail_call || (keep_failing && index > fail_call);
}

Status SimWindows::reg_open_key_ex(RootKey root, const char* subkey, KeyAccess access, KeyHandle* key)
{
    const std::string path = path_of(root, subkey);
    if (injected_failure("RegOpenKeyExA " + path)) return fail_status;
    if (!keys.count(path)) return kErrorFileNotFound;
    if (denies(path, access)) return kErrorAccessDenied;
    const std::uintptr_t handle = next_handle_++;
    open_keys.insert(handle);
    handle_paths_[handle] = path;
    handle_access_[handle] = access;
    *key = reinterpret_cast<KeyHandle>(handle);
    return kSuccess;
}

Status SimWindows::reg_query_value_ex(KeyHandle key, const char* name, std::uint32_t* type, unsigned char* data,
                                      std::uint32_t* size)
{
    if (injected_failure(std::string("RegQueryValueExA ") + name)) return fail_status;
    const auto handle = reinterpret_cast<std::uintptr_t>(key);
    if (!open_keys.count(handle)) return 6; // ERROR_INVALID_HANDLE
    const auto query = static_cast<std::uint32_t>(KeyAccess::QueryValue);
    if ((static_cast<std::uint32_t>(handle_access_[handle]) & query) == 0) return kErrorAccessDenied;
    const auto& values = keys[handle_paths_[handle]];
    const auto found = values.find(fold(name));
    if (found == values.end()) return kErrorFileNotFound;
    const std::string& bytes = found->second.data;
    if (type != nullptr) *type = found->second.type;
    const bool fits = bytes.size() <= *size;
    if (fits) std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<std::uint32_t>(bytes.size());
    return fits ? kSuccess : kErrorMoreData;
}

Status SimWindows::reg_set_value(RootKey root, const char* subkey, std::uint32_t type, const char* data, std::uint32_t)
{
    const std::string path = path_of(root, subkey);
    if (injected_failure("RegSetValueA " + path)) return fail_status;
    if (denies(path, KeyAccess::SetValue)) return kErrorAccessDenied; // it opens the key to set a value
    // Like Windows, the size is not trusted for REG_SZ: the text and its zero are stored.
    keys[path][""] = SimValue{type, std::string(data, std::strlen(data) + 1)};
    return kSuccess;
}

Status SimWindows::reg_delete_key(RootKey root, const char* subkey)
{
    const std::string path = path_of(root, subkey);
    if (injected_failure("RegDeleteKeyA " + path)) return fail_status;
    if (!keys.count(path)) return kErrorFileNotFound;
    const std::string children = path + "\\";
    const auto next = keys.lower_bound(children);
    if (next != keys.end() && next->first.compare(0, children.size(), children) == 0) return kErrorAccessDenied;
    keys.erase(path);
    return kSuccess;
}

Status SimWindows::reg_close_key(KeyHandle key)
{
    const auto handle = reinterpret_cast<std::uintptr_t>(key);
    // A failing close is only told so: what the program can do about a handle ends here.
    const bool fail = injected_failure("RegCloseKey " + handle_paths_[handle]);
    return open_keys.erase(handle) && !fail ? kSuccess : 6;
}

Status SimWindows::sh_delete_value(RootKey root, const char* subkey, const char* name)
{
    const std::string path = path_of(root, subkey);
    if (injected_failure("SHDeleteValueA " + path + " " + name)) return fail_status;
    if (!keys.count(path)) return kErrorFileNotFound;
    if (denies(path, KeyAccess::SetValue)) return kErrorAccessDenied; // it opens the key to set values
    return keys[path].erase(fold(name)) ? kSuccess : kErrorFileNotFound;
}

std::uint32_t SimWindows::get_system_directory(char* buffer, std::uint32_t capacity)
{
    if (injected_failure("GetSystemDirectoryA")) return 0;
    const auto length = static_cast<std::uint32_t>(system_directory.size());
    if (length >= capacity) return length + 1;
    std::memcpy(buffer, system_directory.c_str(), length + 1);
    return length;
}

bool SimWindows::delete_file(const char* path)
{
    if (injected_failure(std::string("DeleteFileA ") + path)) return false;
    if (files_in_use.count(fold(path)) || read_only_files.count(fold(path))) return false;
    return files.erase(fold(path)) != 0;
}

constexpr std::uintptr_t kConsoleInput = 0xC0;

bool SimWindows::console_open(ConsoleHandle console) const
{
    return reinterpret_cast<std::uintptr_t>(console) == kConsoleInput && open_consoles > 0;
}

ConsoleHandle SimWindows::open_console_input()
{
    calls.push_back("CreateFileA CONIN$");
    if (!has_console) return invalid_console_handle();
    ++open_consoles;
    return reinterpret_cast<ConsoleHandle>(kConsoleInput);
}

bool SimWindows::get_number_of_console_input_events(ConsoleHandle console, std::uint32_t* count)
{
    calls.push_back("GetNumberOfConsoleInputEvents");
    if (!console_open(console)) return false;
    if (++key_tests == 100000) console_queue.push_back(key_down('!', 0x02));
    *count = static_cast<std::uint32_t>(console_queue.size());
    return true;
}

bool SimWindows::peek_console_input(ConsoleHandle console, InputRecord* records, std::uint32_t length, std::uint32_t* read)
{
    calls.push_back("PeekConsoleInputA");
    if (!console_open(console)) return false;
    const auto copied = static_cast<std::uint32_t>(std::min<std::size_t>(length, console_queue.size()));
    std::copy_n(console_queue.begin(), copied, records);
    *read = peek_overreports ? length + 1 : copied;
    return true;
}

void SimWindows::close_console_input(ConsoleHandle)
{
    calls.push_back("CloseHandle CONIN$");
    --open_consoles;
}

void SimWindows::pass_time(std::uint32_t milliseconds, bool until_input)
{
    const std::uint64_t end = clock_ms + milliseconds;
    while (!arriving.empty() && arriving.front().first <= end && !(until_input && !console_queue.empty())) {
        clock_ms = std::max(clock_ms, arriving.front().first);
        console_queue.push_back(arriving.front().second);
        arriving.erase(arriving.begin());
    }
    if (!until_input || console_queue.empty()) clock_ms = end;
}

std::uint32_t SimWindows::wait_for_console_input(ConsoleHandle console, std::uint32_t milliseconds)
{
    calls.push_back("WaitForSingleObject CONIN$");
    if (wait_fails || !console_open(console)) return kWaitFailed;
    pass_time(milliseconds, true);
    return console_queue.empty() ? kWaitTimeout : kWaitObject0;
}

void SimWindows::sleep(std::uint32_t milliseconds)
{
    calls.push_back("Sleep");
    pass_time(milliseconds, false);
}

SimWindows infected_machine(int row)
{
    const std::string sys = "C:\\WINDOWS\\System32";
    const std::string run_key = "HKLM\\software\\microsoft\\windows\\currentversion\\run";
    const std::string command_key = "HKCR\\exefile\\shell\\open\\command";
    SimWindows w;
    w.system_directory = sys;
    w.add_key(run_key);
    w.set_value(run_key, "OtherProgram", kRegSz, std::string("C:\\other.exe") + '\0');
    if (row != 0) w.set_value(run_key, "Win32BaseServiceMOD", kRegSz, sys + (row == 1 ? "\\WINSVRC.EXE" : "\\WINTASK.EXE") + '\0');
    const std::string command = row == 0 ? "" : sys + (row == 1 ? "\\WINSVRC.EXE " : "\\WINTASK.EXE ");
    w.set_value(command_key, "", kRegSz, command + "\"%1\" %*" + '\0');
    w.set_value(command_key, "Extra", kRegSz, std::string("kept") + '\0');
    w.add_key("HKCU\\software\\Navidad");
    w.add_key("HKCU\\software\\Emanuel");
    for (const char* name : {"\\WINSVRC.EXE", "\\WINSVRC.VXD", "\\WINTASK.EXE", "\\KERNEL32.DLL"}) w.add_file(sys + name);
    w.console_queue = {key_down('y', 0x15)};
    return w;
}

InputRecord key_down(char ascii, std::uint16_t scan_code, std::uint32_t control_key_state)
{
    InputRecord record{};
    record.event_type = kKeyEvent;
    record.key_down = 1;
    record.repeat_count = 1;
    record.virtual_scan_code = scan_code;
    record.ascii_char = ascii;
    record.control_key_state = control_key_state;
    return record;
}

InputRecord other_event(std::uint16_t event_type)
{
    InputRecord record{};
    record.event_type = event_type;
    return record;
}

} // namespace karvelon::test
