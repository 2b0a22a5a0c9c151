// The full path from which the Win32 layer loads a system library, and the test of what
// GetSystemDirectoryA wrote that it shares with the probe; built apart from <windows.h> so that
// the host tests can hold both to their refusals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace karvelon {

// `path` (capacity bytes) holds what GetSystemDirectoryA wrote into it, and `answered` is what
// it answered. Appends `name` ("\\x.dll") and returns true. Returns false, with path emptied,
// unless the answer is the length of the text written: an answer of 0 would leave "\\x.dll",
// which Windows looks for on the root of the current drive, and an answer too large for the
// buffer is the size it would have needed. Also false when the full path would not fit.
bool system_library_path(char* path, std::size_t capacity, std::uint32_t answered, const char* name);

// Whether GetSystemDirectoryA, answering `answered`, wrote the whole directory into `directory`
// (capacity bytes): the answer is not 0 and is the length of the text, which ends in the buffer.
bool system_directory_written(const char* directory, std::size_t capacity, std::uint32_t answered);

} // namespace karvelon
