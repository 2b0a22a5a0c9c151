// The infection probe. It reads one value and changes nothing.
#include "cleaner/probe.h"

#include <cstring>

namespace karvelon {

bool equal_ignoring_ascii_case(const char* left, const char* right)
{
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (;; ++left, ++right) {
        if (fold(*left) != fold(*right)) return false;
        if (*left == '\0') return true;
    }
}

bool build_marker_path(char* path, std::size_t path_size, const char* directory, std::size_t directory_size,
                       const char* file_name)
{
    std::size_t directory_length = 0;
    while (directory_length < directory_size && directory[directory_length] != '\0') ++directory_length;
    const std::size_t name_length = std::strlen(file_name);
    path[0] = '\0';
    if (directory_length == directory_size || directory_length + name_length >= path_size) return false;
    std::memcpy(path, directory, directory_length);
    std::memcpy(path + directory_length, file_name, name_length + 1);
    return true;
}

Match probe(Platform& platform, WorkingStorage& storage)
{
    const Match no_match{nullptr, nullptr};
    if (platform.reg_open_key_ex(RootKey::LocalMachine, kRunSubkey, KeyAccess::QueryValue, &storage.run_key) != kSuccess)
        return no_match;

    // The buffer is far larger than the size asked for and zero-filled, so whatever the value's
    // type the data read stays zero-terminated.
    static_assert(kValueQuerySize < sizeof storage.value_data, "value data must stay zero-terminated");
    std::uint32_t size = kValueQuerySize;
    if (platform.reg_query_value_ex(storage.run_key, kAutoStartValueName,
                                    reinterpret_cast<unsigned char*>(storage.value_data), &size) != kSuccess) {
        platform.reg_close_key(storage.run_key);
        return no_match;
    }

    platform.get_system_directory(storage.system_directory, sizeof storage.system_directory);

    for (std::size_t row = 0; row < kVariantCount; ++row) {
        char* marker_path = storage.marker_paths[row];
        // A path that does not fit is never compared: a cut-short path must not match.
        if (build_marker_path(marker_path, kTextBufferSize, storage.system_directory, sizeof storage.system_directory,
                              kVariants[row].marker_file_name) &&
            equal_ignoring_ascii_case(storage.value_data, marker_path))
            return Match{&kVariants[row], marker_path};
    }
    platform.reg_close_key(storage.run_key);
    return no_match;
}

} // namespace karvelon
