// The infection probe: reads the auto-start value and compares it with the marker path of
// each variant in the system directory; where that finds nothing, reads the open command of
// executable files, which the trojan hijacks to start its marker file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cleaner/variants.h"
#include "platform/platform.h"

namespace karvelon {

constexpr std::size_t kTextBufferSize = 1024;
// At most this many bytes of the value are read: longer data matches nothing.
constexpr std::uint32_t kValueQuerySize = 128;
// The open command's buffer holds any command that Windows can start: a command line has at most
// 32,767 characters, which take at most 65,534 bytes in any ANSI code page. At most one byte less
// than the buffer is read, so that the zero-filled buffer always ends it: a longer command starts
// nothing and names no marker file.
constexpr std::size_t kCommandBufferSize = 65536;
constexpr std::uint32_t kCommandQuerySize = kCommandBufferSize - 1;

// The run's working storage; value-initialise it so that every buffer is zero-filled.
struct WorkingStorage {
    char value_data[kTextBufferSize];
    char system_directory[kTextBufferSize];
    char marker_paths[kVariantCount][kTextBufferSize];
    char open_command[kCommandBufferSize];
    KeyHandle run_key;
};

enum class Finding : std::uint8_t {
    NotInfected,
    NotChecked,     // a key, a value or the system directory could not be read: nothing is known
    AutoStartValue, // the auto-start value names a marker file; the Run key is left open
    OpenCommand,    // only the open command names one: the auto-start value counts as gone
};

struct Match {
    Finding finding;
    const Variant* variant; // the matched row; null when nothing matched
    char* marker_path;      // the matched variant's full marker path, in the storage
};

// On an AutoStartValue match the Run key is left open in storage.run_key for removal to
// close; on every other path it is closed (or was never opened).
Match probe(Platform& platform, WorkingStorage& storage);

// Equal byte for byte up to the terminating zero, with A-Z folded to a-z and nothing else.
bool equal_ignoring_ascii_case(const char* left, const char* right);

// Writes directory + file_name into path (capacity path_size). Returns false, and leaves
// path empty, when the directory has no terminating zero within directory_size bytes or the
// result would not fit.
bool build_marker_path(char* path, std::size_t path_size, const char* directory, std::size_t directory_size,
                       const char* file_name);

// Cuts `command` (a zero-terminated command line, changed in place) down to its program: the
// leading quoted string without its quotes (to the end when the quote is never closed), or
// else the text up to the first space. Returns the program's first byte.
char* program_of(char* command);

} // namespace karvelon
