// Which console input events count as a key press that ends the wait.
#pragma once

#include "platform/platform.h"

namespace karvelon {

// A key-down event with a character, or with an extended code (function, cursor and
// editing keys, and Alt, Ctrl and Shift combinations that yield no character).
bool is_key_press(const InputRecord& record);

// Whether a key-down event whose character is zero has an extended code.
bool has_extended_code(std::uint16_t scan_code, std::uint32_t control_key_state);

} // namespace karvelon
