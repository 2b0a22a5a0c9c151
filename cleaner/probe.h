// The infection probe: reads the auto-start value and compares it with the marker path of
// each variant in the system directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cleaner/variants.h"
#include "platform/platform.h"

namespace karvelon {

constexpr std::size_t kTextBufferSize = 1024;
// At most this many bytes of the value are read: longer data matches nothing.
constexpr std::uint32_t kValueQuerySize = 128;

// The run's working storage; value-initialise it so that every buffer is zero-filled.
struct WorkingStorage {
    char value_data[kTextBufferSize];
    char system_directory[kTextBufferSize];
    char marker_paths[kVariantCount][kTextBufferSize];
    KeyHandle run_key;
};

struct Match {
    const Variant* variant; // null when nothing matched
    char* marker_path;      // the matched variant's full marker path, in the storage
};

// On a match the Run key is left open in storage.run_key for removal to close; on every
// other path it is closed (or was never opened).
Match probe(Platform& platform, WorkingStorage& storage);

// Equal byte for byte up to the terminating zero, with A-Z folded to a-z and nothing else.
bool equal_ignoring_ascii_case(const char* left, const char* right);

// Writes directory + file_name into path (capacity path_size). Returns false, and leaves
// path empty, when the directory has no terminating zero within directory_size bytes or the
// result would not fit.
bool build_marker_path(char* path, std::size_t path_size, const char* directory, std::size_t directory_size,
                       const char* file_name);

} // namespace karvelon
