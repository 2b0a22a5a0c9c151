// The platform seam implemented on Windows itself; see win32_platform.cpp.
#pragma once

#include "platform/platform.h"

namespace karvelon {

// Narrows where Windows may load libraries from, and turns on data execution prevention, as
// far as the running Windows offers each: called first, before anything else happens. Reads
// and changes neither the registry nor a file.
void harden_process();

class Win32Platform final : public Platform {
public:
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
    bool window_station_visible() override;
    void write_message(const char* text) override;
};

} // namespace karvelon
