// The window station's visibility from user32's answers; see window_station.h.
#include "platform/window_station.h"

namespace karvelon {

bool window_station_visible_with(const WindowStationFunctions& found)
{
    if (found.get_process_window_station == nullptr || found.get_user_object_information == nullptr) return true;
    void* const station = found.get_process_window_station(); // not to be closed
    UserObjectFlags flags{};
    std::uint32_t needed = 0;
    if (station == nullptr || found.get_user_object_information(station, kUoiFlags, &flags, sizeof flags, &needed) == 0)
        return true;
    return (flags.flags & kWsfVisible) != 0;
}

} // namespace karvelon
