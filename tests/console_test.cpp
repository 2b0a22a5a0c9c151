// The banner's geometry and the key test: which console events end the wait, and how the
// wait meets a missing console, a queue of other events and keys typed ahead.
#include <gtest/gtest.h>

#include <bitset>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <string>

#include "console/console.h"
#include "console/key_event.h"
#include "tests/sim_windows.h"

namespace karvelon::test {
namespace {

TEST(Banner, EveryRowIs61BytesWithTheBoxEdgesAligned)
{
    for (std::size_t i = 0; i < kBannerRows; ++i) {
        const std::string row = banner_row(i);
        SCOPED_TRACE("row " + std::to_string(i + 1));
        ASSERT_EQ(row.size(), kBannerRowLength);
        EXPECT_EQ(row.front(), ' ');
        EXPECT_EQ(row[1], '=');
        EXPECT_EQ(row[59], '=');
        EXPECT_EQ(row.back(), '\n');
        const bool rule = i == 0 || i == 6 || i == 21;
        EXPECT_EQ(row.find_first_not_of('=', 1) == 60, rule);
    }
    EXPECT_STREQ(kPrompt, " \n Press any key to continue....\n");
}

constexpr std::uint32_t kAlt = kLeftAltPressed, kCtrl = kLeftCtrlPressed, kShift = kShiftPressed;
constexpr std::uint32_t kEnh = kEnhancedKey;

InputRecord released(InputRecord record)
{
    record.key_down = 0;
    return record;
}

// A mouse move as the console reports one: its position, buttons and state lie where a key
// event keeps its key-down flag, scan code and modifiers.
InputRecord mouse_move(std::int16_t x, std::int16_t y, std::uint32_t buttons, std::uint32_t control_key_state)
{
    struct {
        std::uint16_t event_type, padding;
        std::int16_t x, y;
        std::uint32_t buttons, control_key_state, event_flags;
    } mouse{kMouseEvent, 0, x, y, buttons, control_key_state, 0x0001 /* MOUSE_MOVED */};
    static_assert(sizeof mouse == sizeof(InputRecord), "MOUSE_EVENT_RECORD layout");
    InputRecord record;
    std::memcpy(&record, &mouse, sizeof record);
    return record;
}

struct KeyCase {
    const char* name;
    InputRecord record;
    bool ends_wait;
    friend void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }
};

class KeyTable : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyTable, EndsTheWaitOnlyForAKeyPressWithACode)
{
    EXPECT_EQ(is_key_press(GetParam().record), GetParam().ends_wait);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTable, ::testing::Values(
    // Characters, whatever the modifiers.
    KeyCase{"Letter", key_down('a', 0x1E), true},
    KeyCase{"Enter", key_down('\r', 0x1C), true},
    KeyCase{"Esc", key_down('\x1b', 0x01), true},
    KeyCase{"CtrlC", key_down('\x03', 0x2E, kCtrl), true},
    KeyCase{"HighCharacter", key_down('\xe9', 0x03, kAlt | kCtrl), true},
    KeyCase{"FrenchEAcute", key_down('\xe9', 0x03), true}, // above 127, on the key of 2
    KeyCase{"KeypadEnterEnhanced", key_down('\r', 0x1C, kEnh), true},
    // Modifiers, locks and system keys alone.
    KeyCase{"ShiftAlone", key_down(0, 0x2A, kShift), false},
    KeyCase{"RightShiftAlone", key_down(0, 0x36, kShift), false},
    KeyCase{"CtrlAlone", key_down(0, 0x1D, kCtrl), false},
    KeyCase{"RightCtrlAlone", key_down(0, 0x1D, kEnh | kRightCtrlPressed), false},
    KeyCase{"AltAlone", key_down(0, 0x38, kAlt), false},
    KeyCase{"RightAltAlone", key_down(0, 0x38, kEnh | kRightAltPressed), false},
    KeyCase{"CapsLock", key_down(0, 0x3A, kCapsLockOn), false},
    KeyCase{"NumLock", key_down(0, 0x45, kEnh | kNumLockOn), false},
    KeyCase{"ScrollLock", key_down(0, 0x46, kScrollLockOn), false},
    KeyCase{"LeftWindows", key_down(0, 0x5B, kEnh), false},
    KeyCase{"RightWindows", key_down(0, 0x5C, kEnh), false},
    KeyCase{"MenuKey", key_down(0, 0x5D, kEnh), false},
    KeyCase{"PrintScreen", key_down(0, 0x37, kEnh), false},
    KeyCase{"Pause", key_down(0, 0x45, 0), false},
    // The twelve enhanced keys, with any modifiers.
    KeyCase{"UpArrow", key_down(0, 0x48, kEnh), true},
    KeyCase{"AltLeftArrow", key_down(0, 0x4B, kEnh | kAlt), true},
    KeyCase{"ShiftDelete", key_down(0, 0x53, kEnh | kShift), true},
    KeyCase{"CtrlPageDown", key_down(0, 0x51, kEnh | kCtrl), true},
    KeyCase{"AltKeypadSlash", key_down(0, 0x35, kEnh | kAlt), true},
    KeyCase{"CtrlKeypadSlash", key_down(0, 0x35, kEnh | kCtrl), true},
    KeyCase{"AltKeypadEnter", key_down(0, 0x1C, kEnh | kAlt), true},
    // Column: none.
    KeyCase{"F1", key_down(0, 0x3B, 0), true},
    KeyCase{"F12", key_down(0, 0x58, kNumLockOn), true},
    KeyCase{"KeypadHome", key_down(0, 0x47, 0), true},
    KeyCase{"KeypadInsert", key_down(0, 0x52, 0), true},
    KeyCase{"KeypadCentre", key_down(0, 0x4C, 0), false},
    KeyCase{"KeypadPlus", key_down(0, 0x4E, 0), false},
    // Column: Shift.
    KeyCase{"ShiftTab", key_down(0, 0x0F, kShift), true},
    KeyCase{"ShiftF11", key_down(0, 0x57, kShift), true},
    KeyCase{"ShiftKeypadHome", key_down(0, 0x47, kShift), false},
    KeyCase{"Shift2", key_down(0, 0x03, kShift), false},
    // Column: Ctrl.
    KeyCase{"Ctrl2", key_down(0, 0x03, kCtrl), true},
    KeyCase{"Ctrl3", key_down(0, 0x04, kCtrl), false},
    KeyCase{"CtrlTab", key_down(0, 0x0F, kRightCtrlPressed), true},
    KeyCase{"CtrlF5", key_down(0, 0x3F, kCtrl), true},
    KeyCase{"CtrlKeypadEnd", key_down(0, 0x4F, kCtrl), true},
    KeyCase{"CtrlShiftTab", key_down(0, 0x0F, kCtrl | kShift), true},
    KeyCase{"CtrlShiftLetter", key_down(0, 0x1E, kCtrl | kShift), false},
    // Column: Alt, which wins over Ctrl and Shift.
    KeyCase{"AltEsc", key_down(0, 0x01, kAlt), true},
    KeyCase{"AltEquals", key_down(0, 0x0D, kRightAltPressed), true},
    KeyCase{"AltBackspace", key_down(0, 0x0E, kAlt), true},
    KeyCase{"AltLetter", key_down(0, 0x1E, kAlt), true},
    KeyCase{"AltBracket", key_down(0, 0x1B, kAlt), true},
    KeyCase{"AltGrave", key_down(0, 0x29, kAlt), true},
    KeyCase{"AltSlash", key_down(0, 0x35, kAlt), true},
    KeyCase{"AltF10", key_down(0, 0x44, kAlt), true},
    KeyCase{"AltBackslash", key_down(0, 0x2B, kAlt), false},
    KeyCase{"AltSpace", key_down(0, 0x39, kAlt), false},
    KeyCase{"AltKeypadHome", key_down(0, 0x47, kAlt), false},
    KeyCase{"AltCtrl2", key_down(0, 0x03, kAlt | kCtrl), true},
    KeyCase{"AltCtrlKeypadHome", key_down(0, 0x47, kAlt | kCtrl), false},
    // Beyond the table.
    KeyCase{"ScanCode59", key_down(0, 0x59, 0), false},
    KeyCase{"ScanCodeFFFF", key_down(0, 0xFFFF, kAlt), false},
    // Releases and other events.
    KeyCase{"LetterReleased", released(key_down('a', 0x1E)), false},
    KeyCase{"F1Released", released(key_down(0, 0x3B)), false},
    KeyCase{"Mouse", other_event(kMouseEvent), false},
    KeyCase{"MouseMoveReadAsAKeyWouldBeAltD", mouse_move(10, 5, 1, kNumLockOn), false},
    KeyCase{"WindowSize", other_event(kWindowBufferSizeEvent), false},
    KeyCase{"MenuEvent", other_event(kMenuEvent), false},
    KeyCase{"Focus", other_event(kFocusEvent), false}),
    [](const auto& info) { return std::string(info.param.name); });

// The keys with an extended code, written from the PC keyboard's key lists, as scan-code
// ranges: in each column of the extended-key table, and the enhanced keys with any modifiers.
std::bitset<0x80> scan_codes(std::initializer_list<std::pair<int, int>> ranges)
{
    std::bitset<0x80> codes;
    for (const auto& [first, last] : ranges)
        for (int code = first; code <= last; ++code) codes.set(static_cast<std::size_t>(code));
    return codes;
}

TEST(KeyTable, EveryScanCodeInEveryColumnHasAnExtendedCodeExactlyAsTheKeyListsSay)
{
    const auto f_keys = scan_codes({{0x3B, 0x44}, {0x57, 0x58}});
    const auto keypad_cursor_keys = scan_codes({{0x47, 0x49}, {0x4B, 0x4B}, {0x4D, 0x4D}, {0x4F, 0x53}});
    const auto tab = scan_codes({{0x0F, 0x0F}});
    // Esc, the digit row with minus, equals and Backspace, Tab, the letter rows with both square
    // brackets and Enter, semicolon, apostrophe, grave accent, comma, full stop and slash.
    const auto alt_keys = scan_codes({{0x01, 0x0F}, {0x10, 0x1C}, {0x1E, 0x29}, {0x2C, 0x35}});
    const auto enhanced = scan_codes({{0x1C, 0x1C}, {0x35, 0x35}}) | keypad_cursor_keys;
    const struct {
        const char* column;
        std::uint32_t modifiers;
        std::bitset<0x80> keys;
    } columns[] = {
        {"Alt", kAlt, alt_keys | f_keys},
        {"Ctrl", kCtrl, scan_codes({{0x03, 0x03}}) | tab | f_keys | keypad_cursor_keys},
        {"Shift", kShift, tab | f_keys},
        {"none", 0, f_keys | keypad_cursor_keys},
    };
    for (const auto& c : columns) {
        for (std::uint16_t code = 0; code < 0x80; ++code) {
            SCOPED_TRACE(std::string(c.column) + " scan code " + std::to_string(code));
            EXPECT_EQ(has_extended_code(code, c.modifiers), c.keys[code]);
            EXPECT_EQ(has_extended_code(code, c.modifiers | kEnh), c.keys[code] || enhanced[code]);
        }
    }
}

TEST(KeyWait, TypedAheadKeyEndsTheWaitAfterThePromptAndStaysQueued)
{
    SimWindows windows;
    windows.console_queue = {other_event(kFocusEvent), key_down(0, 0x2A, kShift), released(key_down('q', 0x10)),
                             other_event(kMouseEvent), key_down('q', 0x10)};
    {
        ConsoleInput input(windows);
        show_banner_and_wait(windows, input);
        EXPECT_EQ(windows.output.size(), 1375u);
        EXPECT_EQ(windows.console_queue.size(), 5u);
    }
    EXPECT_EQ(windows.open_consoles, 0) << "closed when the input goes away";
}

// Time passes only while the wait pauses; a key arrives after 10 s. The wait must end within 50 ms
// of it without testing more often than every 20 ms, whatever else is queued, or at once when no
// one can press a key; the window station is asked about only once a console has opened.
TEST(KeyWait, PausesBetweenKeyTestsAndEndsSoonAfterAKeyOrAtOnceWhenUnattended)
{
    const struct {
        const char* name;
        bool console, station_visible, wait_fails;
        std::vector<InputRecord> queued;
    } cases[] = {
        {"idle", true, true, false, {}},
        {"Shift held down", true, true, false, {key_down(0, 0x2A, kShift)}},
        {"release, focus and mouse", true, true, false,
         {released(key_down('a', 0x1E)), other_event(kFocusEvent), other_event(kMouseEvent)}},
        {"a wait that fails", true, true, true, {}},
        {"a station no one sees", true, false, false, {}},
        {"no console", false, true, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimWindows windows;
        windows.has_console = c.console;
        windows.station_visible = c.station_visible;
        windows.wait_fails = c.wait_fails;
        windows.console_queue = c.queued;
        windows.arriving = {{10000, key_down('a', 0x1E)}};
        ConsoleInput input(windows);
        show_banner_and_wait(windows, input);
        EXPECT_EQ(windows.station_asked, c.console ? 1 : 0);
        EXPECT_EQ(input.unattended(), !c.console || !c.station_visible);
        if (input.unattended()) {
            EXPECT_EQ(windows.clock_ms, 0u);
            continue;
        }
        EXPECT_GE(windows.clock_ms, 10000u);
        EXPECT_LE(windows.clock_ms, 10050u);
        EXPECT_LE(windows.key_tests, 10000u / ConsoleInput::kSleepMilliseconds + 2);
    }
}

TEST(KeyWait, OpensTheConsoleOnceAndLooksAtTheOldestEventsFirst)
{
    SimWindows windows;
    ConsoleInput input(windows);
    EXPECT_FALSE(input.key_pending()); // empty queue
    // The oldest 8192 events are looked at, as the README says.
    windows.console_queue.assign(8191, other_event(kMouseEvent));
    EXPECT_FALSE(input.key_pending());
    windows.console_queue.push_back(key_down(0, 0x3B));
    EXPECT_TRUE(input.key_pending());
    // A press behind more events than one look takes in is seen once those are read.
    windows.console_queue.insert(windows.console_queue.begin(), other_event(kMouseEvent));
    EXPECT_FALSE(input.key_pending());
    EXPECT_EQ(std::count(windows.calls.begin(), windows.calls.end(), "CreateFileA CONIN$"), 1);
    EXPECT_FALSE(input.unattended());
    // A peek that answers more records than it was asked for is not trusted.
    windows.console_queue = {key_down('a', 0x1E)};
    windows.peek_overreports = true;
    EXPECT_FALSE(input.key_pending());
}

} // namespace
} // namespace karvelon::test
