// Building a system library's path; see system_library_path.h.
#include "platform/system_library_path.h"

#include <cstring>

namespace karvelon {

bool system_directory_written(const char* directory, std::size_t capacity, std::uint32_t answered)
{
    std::size_t length = 0;
    while (length < capacity && directory[length] != '\0') ++length;
    return answered != 0 && length == answered && length < capacity;
}

bool system_library_path(char* path, std::size_t capacity, std::uint32_t answered, const char* name)
{
    if (capacity == 0) return false;
    const std::size_t name_length = std::strlen(name);
    if (!system_directory_written(path, capacity, answered) || answered + name_length >= capacity) {
        path[0] = '\0';
        return false;
    }
    std::memcpy(path + answered, name, name_length + 1);
    return true;
}

} // namespace karvelon
