// Whether no one can see the process's window station, as services and schedulers run programs,
// decided from user32's two functions as looked up at run time: kept apart from <windows.h> so
// that the host tests can hold it to every way the question can go unanswered.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace karvelon {

// user32's functions as looked up at run time, null where they are missing (Windows 95, 98 and
// ME have no window stations) or user32 could not be loaded.
struct WindowStationFunctions {
    void*(KARVELON_WINAPI* get_process_window_station)();
    int(KARVELON_WINAPI* get_user_object_information)(void* object, int index, void* information, std::uint32_t length,
                                                      std::uint32_t* needed);
};

// GetUserObjectInformationA's UOI_FLAGS, the USEROBJECTFLAGS it fills, and its WSF_VISIBLE bit.
constexpr int kUoiFlags = 1;
struct UserObjectFlags {
    std::int32_t inherit;
    std::int32_t reserved;
    std::uint32_t flags;
};
constexpr std::uint32_t kWsfVisible = 0x0001;

// False only when Windows answers that the station is not visible; a question that cannot be
// asked or answered counts as visible, so that a person at a keyboard is never skipped.
bool window_station_visible_with(const WindowStationFunctions& found);

} // namespace karvelon
