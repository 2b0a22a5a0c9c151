// The key-press test of the console wait: a key-down event counts when it carries a
// character or an extended code, as the PC keyboard's extended-key table assigns them.
#include "console/key_event.h"

#include <array>
#include <cstdint>

namespace karvelon {
namespace {

// Columns of the extended-key table, chosen by the first modifier held of Alt, Ctrl, Shift.
enum Column : std::uint8_t { kPlain = 1, kWithShift = 2, kWithCtrl = 4, kWithAlt = 8 };
constexpr std::uint8_t kEveryColumn = kPlain | kWithShift | kWithCtrl | kWithAlt;

// PC scan code set 1, 0x00 to 0x58. An entry holds the columns in which the key's code is a
// two-byte extended code (first byte 0 or 0xE0, second non-zero) rather than a character.
constexpr std::uint16_t kLastScanCode = 0x58;
using ExtendedKeyTable = std::array<std::uint8_t, kLastScanCode + 1>;

constexpr void mark(ExtendedKeyTable& table, std::uint16_t first, std::uint16_t last, std::uint8_t columns)
{
    // cppcheck-suppress containerOutOfBounds ; it sizes the table one short, and constant evaluation checks bounds
    for (std::uint16_t code = first; code <= last; ++code) table[code] = static_cast<std::uint8_t>(table[code] | columns);
}

// The keypad's cursor and editing keys: Home, Up, PgUp, Left, Right, End, Down, PgDn, Ins, Del.
constexpr std::uint16_t kKeypadCursorKeys[] = {0x47, 0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52, 0x53};

constexpr ExtendedKeyTable make_extended_key_table()
{
    ExtendedKeyTable table{};
    mark(table, 0x01, 0x0E, kWithAlt);     // Esc, 1 to 0, minus, equals, Backspace
    mark(table, 0x03, 0x03, kWithCtrl);    // 2: Ctrl+2 is NUL
    mark(table, 0x0F, 0x0F, kWithShift | kWithCtrl | kWithAlt); // Tab
    mark(table, 0x10, 0x1C, kWithAlt);     // Q to P, both square brackets, Enter
    mark(table, 0x1E, 0x29, kWithAlt);     // A to L, semicolon, apostrophe, grave accent
    mark(table, 0x2C, 0x35, kWithAlt);     // Z to M, comma, full stop, slash
    mark(table, 0x3B, 0x44, kEveryColumn); // F1 to F10
    mark(table, 0x57, 0x58, kEveryColumn); // F11, F12
    for (std::uint16_t code : kKeypadCursorKeys) mark(table, code, code, kPlain | kWithCtrl);
    return table;
}

constexpr ExtendedKeyTable kExtendedKeys = make_extended_key_table();

// Keys the console flags as enhanced that have an extended code with any modifiers: the
// separate cursor block, and the keypad's Enter and slash.
constexpr std::uint16_t kEnhancedWithCode[] = {0x1C, 0x35, 0x47, 0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52, 0x53};

Column column_for(std::uint32_t control_key_state)
{
    if (control_key_state & (kLeftAltPressed | kRightAltPressed)) return kWithAlt;
    if (control_key_state & (kLeftCtrlPressed | kRightCtrlPressed)) return kWithCtrl;
    if (control_key_state & kShiftPressed) return kWithShift;
    return kPlain;
}

} // namespace

bool has_extended_code(std::uint16_t scan_code, std::uint32_t control_key_state)
{
    if (control_key_state & kEnhancedKey) {
        for (std::uint16_t code : kEnhancedWithCode)
            if (code == scan_code) return true;
    }
    if (scan_code > kLastScanCode) return false;
    return (kExtendedKeys[scan_code] & column_for(control_key_state)) != 0;
}

bool is_key_press(const InputRecord& record)
{
    if (record.event_type != kKeyEvent || record.key_down == 0) return false;
    return record.ascii_char != 0 || has_extended_code(record.virtual_scan_code, record.control_key_state);
}

} // namespace karvelon
