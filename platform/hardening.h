// Which of the start-up hardening calls the program makes, given those the running Windows
// has: kept apart from <windows.h> so that the host tests can hold it to its calls and their
// arguments, as Windows versions without some of the functions would meet it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace karvelon {

// kernel32's functions as looked up at run time, null where the running Windows lacks one.
// Each answers non-zero when it succeeded.
struct HardeningFunctions {
    int(KARVELON_WINAPI* set_default_dll_directories)(std::uint32_t directory_flags);
    int(KARVELON_WINAPI* set_dll_directory)(const char* path);
    int(KARVELON_WINAPI* set_search_path_mode)(std::uint32_t flags);
    int(KARVELON_WINAPI* set_process_dep_policy)(std::uint32_t flags);
};

// The arguments, as Windows numbers them.
constexpr std::uint32_t kLoadLibrarySearchSystem32 = 0x00000800;
constexpr std::uint32_t kSafeSearchModeForGood = 0x00008001; // safe search mode, permanent
constexpr std::uint32_t kProcessDepEnable = 0x00000001;

// Makes the calls that `found` offers: the library search narrowed to the system directory,
// or where that is missing or fails, the current directory left out of it; SearchPath's safe
// mode; data execution prevention for good.
void harden_with(const HardeningFunctions& found);

} // namespace karvelon
