// The banner, the prompt and the wait for a key press; and the write-message routine.
#include "console/console.h"

#include <array>

#include "console/key_event.h"

namespace karvelon {
namespace {

// A row is a space, a body of 59 characters and a line feed. A content body is "=", a field
// of 57 characters holding the text after `indent` spaces, and "=".
constexpr std::size_t kBodyWidth = 59;
constexpr std::size_t kFieldWidth = kBodyWidth - 2;

enum class RowKind { Rule, Blank, Content };
struct RowLayout {
    RowKind kind;
    std::size_t indent;
    const char* text;
};

#define KARVELON_SITE "http://www.karvelon.example"

constexpr RowLayout kRowLayouts[kBannerRows] = {
    {RowKind::Rule, 0, ""},
    {RowKind::Blank, 0, ""},
    {RowKind::Content, 16, "KARVELON Version 2.0"},
    {RowKind::Content, 8, "Karvelon Software Labs"},
    {RowKind::Content, 16, KARVELON_SITE},
    {RowKind::Blank, 0, ""},
    {RowKind::Rule, 0, ""},
    {RowKind::Blank, 0, ""},
    {RowKind::Content, 1, "This program will remove TROJ_NAVIDAD.A and"},
    {RowKind::Content, 1, "TROJ_NAVIDAD.E from your system."},
    {RowKind::Content, 4, "1. Clean System Registry."},
    {RowKind::Content, 4, "2. Delete Trojan file."},
    {RowKind::Blank, 0, ""},
    {RowKind::Content, 4, "For the details of this virus, visit"},
    {RowKind::Content, 4, KARVELON_SITE "/vinfo/virusencyclo/"},
    {RowKind::Content, 4, "default5.asp?VName=TROJ_NAVIDAD.A"},
    {RowKind::Blank, 0, ""},
    {RowKind::Content, 4, "For the details of this virus, visit"},
    {RowKind::Content, 4, KARVELON_SITE "/vinfo/virusencyclo/"},
    {RowKind::Content, 4, "default5.asp?VName=TROJ_NAVIDAD.E"},
    {RowKind::Blank, 0, ""},
    {RowKind::Rule, 0, ""},
};

#undef KARVELON_SITE

using Row = std::array<char, kBannerRowLength + 1>;
using Banner = std::array<Row, kBannerRows>;

constexpr std::size_t text_length(const char* text)
{
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

constexpr bool fits_its_field(const RowLayout& layout) { return layout.indent + text_length(layout.text) <= kFieldWidth; }

constexpr bool every_text_fits()
{
    for (const RowLayout& layout : kRowLayouts)
        if (!fits_its_field(layout)) return false;
    return true;
}
static_assert(every_text_fits(), "a banner text overflows its field and would break the box");

constexpr Row make_row(const RowLayout& layout)
{
    Row row{};
    row[0] = ' ';
    for (std::size_t column = 1; column <= kBodyWidth; ++column) row[column] = layout.kind == RowKind::Rule ? '=' : ' ';
    row[1] = '=';
    row[kBodyWidth] = '=';
    const std::size_t length = text_length(layout.text);
    for (std::size_t i = 0; i < length; ++i) row[2 + layout.indent + i] = layout.text[i];
    row[kBodyWidth + 1] = '\n';
    row[kBodyWidth + 2] = '\0';
    return row;
}

constexpr Banner make_banner()
{
    Banner banner{};
    for (std::size_t i = 0; i < kBannerRows; ++i) banner[i] = make_row(kRowLayouts[i]);
    return banner;
}

constexpr Banner kBanner = make_banner();

} // namespace

const char* banner_row(std::size_t index) { return index < kBannerRows ? kBanner[index].data() : ""; }

void write_message(Platform& platform, const char* text) { platform.write_message(text); }

ConsoleInput::~ConsoleInput()
{
    if (opened_ && handle_ != invalid_console_handle()) platform_.close_console_input(handle_);
}

bool ConsoleInput::key_pending()
{
    if (!opened_) {
        handle_ = platform_.open_console_input();
        opened_ = true;
        if (handle_ != invalid_console_handle()) station_visible_ = platform_.window_station_visible();
    }
    queue_empty_ = false;
    if (handle_ == invalid_console_handle()) return false;

    std::uint32_t pending = 0;
    if (!platform_.get_number_of_console_input_events(handle_, &pending)) return false;
    queue_empty_ = pending == 0;
    if (queue_empty_) return false;

    // Peek at the queue from its oldest event; when more are pending than fit, the oldest
    // kPeekCapacity are looked at (the queue keeps its order, so none is skipped over).
    InputRecord records[kPeekCapacity];
    const std::uint32_t wanted = pending < kPeekCapacity ? pending : kPeekCapacity;
    std::uint32_t peeked = 0;
    if (!platform_.peek_console_input(handle_, records, wanted, &peeked) || peeked == 0 || peeked > wanted) return false;

    for (std::uint32_t i = 0; i < peeked; ++i)
        if (is_key_press(records[i])) return true;
    return false;
}

// The console input handle stays signalled while any event is queued, one that ends nothing too
// (Shift held down, a release, focus or mouse events), and the wait must leave those unread: so
// it waits on the handle only when the queue was empty, and otherwise, or when the wait fails,
// sleeps. Either way a key press is seen within 50 ms.
void ConsoleInput::pause()
{
    if (queue_empty_ && platform_.wait_for_console_input(handle_, kWaitMilliseconds) != kWaitFailed) return;
    platform_.sleep(kSleepMilliseconds);
}

void show_banner_and_wait(Platform& platform, ConsoleInput& input)
{
    for (std::size_t i = 0; i < kBannerRows; ++i) write_message(platform, banner_row(i));
    write_message(platform, kPrompt);
    while (!input.key_pending() && !input.unattended()) input.pause();
}

} // namespace karvelon
