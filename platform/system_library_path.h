// The full path from which the Win32 layer loads a system library, built apart from
// <windows.h> so that the host tests can hold it to its refusals.
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

} // namespace karvelon
