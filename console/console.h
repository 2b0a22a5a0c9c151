// The console side of a run: the banner and prompt, the wait for a key press, and the one
// routine through which every message of the program is written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace karvelon {

constexpr std::size_t kBannerRows = 22;
constexpr std::size_t kBannerRowLength = 61; // a space, a 59-character body, a line feed
constexpr char kPrompt[] = " \n Press any key to continue....\n";

// Row `index` (0 to 21) of the banner, zero-terminated.
const char* banner_row(std::size_t index);

void write_message(Platform& platform, const char* text);

// The console input device, opened on the first key test and closed when this goes away.
class ConsoleInput {
public:
    explicit ConsoleInput(Platform& platform) : platform_(platform) {}
    ~ConsoleInput();
    ConsoleInput(const ConsoleInput&) = delete;
    ConsoleInput& operator=(const ConsoleInput&) = delete;

    // True when a key press is pending. Never blocks and never removes input.
    bool key_pending();
    // True once a key test has found that no key can come: there is no console input device to
    // open, or it belongs to a window station that no one can see (a service's, say).
    bool unattended() const { return opened_ && (handle_ == invalid_console_handle() || !station_visible_); }
    // Lets time pass before the next key test without keeping a processor busy: returns once
    // input arrives or kWaitMilliseconds have passed, or after kSleepMilliseconds while events
    // that end nothing are queued.
    void pause();

    // The most events one test looks at: the oldest this many of the queue.
    static constexpr std::uint32_t kPeekCapacity = 8192;
    static constexpr std::uint32_t kWaitMilliseconds = 50;
    static constexpr std::uint32_t kSleepMilliseconds = 20;

private:
    Platform& platform_;
    ConsoleHandle handle_ = invalid_console_handle();
    bool opened_ = false;
    bool station_visible_ = true;
    bool queue_empty_ = false; // the last key test found no event queued
};

// Writes the banner and the prompt, then returns once a key press is pending (or at once
// when no key can come). The key stays unread.
void show_banner_and_wait(Platform& platform, ConsoleInput& input);

} // namespace karvelon
