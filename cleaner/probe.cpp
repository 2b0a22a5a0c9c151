// The infection probe. It reads two values and changes nothing.
#include "cleaner/probe.h"

#include <cstring>

#include "platform/system_library_path.h"

namespace karvelon {

bool equal_ignoring_ascii_case(const char* left, const char* right)
{
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (;; ++left, ++right) {
        if (fold(*left) != fold(*right)) return false;
        if (*left == '\0') return true;
    }
}

bool build_marker_path(char* path, std::size_t path_size, const char* directory, std::size_t directory_size,
                       const char* file_name)
{
    std::size_t directory_length = 0;
    while (directory_length < directory_size && directory[directory_length] != '\0') ++directory_length;
    const std::size_t name_length = std::strlen(file_name);
    path[0] = '\0';
    if (directory_length == directory_size || directory_length + name_length >= path_size) return false;
    std::memcpy(path, directory, directory_length);
    std::memcpy(path + directory_length, file_name, name_length + 1);
    return true;
}

char* program_of(char* command)
{
    char* program = command[0] == '"' ? command + 1 : command;
    char* end = std::strchr(program, program == command ? ' ' : '"');
    if (end != nullptr) *end = '\0';
    return program;
}

namespace {

constexpr Match kNoMatch{Finding::NotInfected, nullptr, nullptr};
constexpr Match kNotChecked{Finding::NotChecked, nullptr, nullptr};

// Whether a read that failed with `status` leaves the question open. A key or value that is not
// there, or data longer than the read (a value too long to be a marker path, a command too long
// for Windows to start), is an answer: it names no marker file.
bool unanswered(Status status)
{
    return status != kSuccess && status != kErrorFileNotFound && status != kErrorMoreData;
}

class Evidence {
public:
    Evidence(Platform& platform, WorkingStorage& storage) : platform_(platform), storage_(storage) {}

    Match auto_start_value()
    {
        const Status opened = platform_.reg_open_key_ex(RootKey::LocalMachine, kRunSubkey, KeyAccess::QueryValue,
                                                        &storage_.run_key);
        if (opened != kSuccess) return unanswered(opened) ? kNotChecked : kNoMatch;

        // The buffer is far larger than the size asked for and zero-filled, so whatever the value's
        // type the data read stays zero-terminated.
        static_assert(kValueQuerySize < sizeof storage_.value_data, "value data must stay zero-terminated");
        std::uint32_t size = kValueQuerySize;
        const Status read = platform_.reg_query_value_ex(storage_.run_key, kAutoStartValueName, nullptr,
                                                         reinterpret_cast<unsigned char*>(storage_.value_data), &size);
        const Match found = read == kSuccess ? named_by(storage_.value_data, false, Finding::AutoStartValue)
                            : unanswered(read) ? kNotChecked
                                               : kNoMatch;
        if (found.finding != Finding::AutoStartValue) platform_.reg_close_key(storage_.run_key);
        return found;
    }

    Match open_command()
    {
        KeyHandle key = nullptr;
        const Status opened = platform_.reg_open_key_ex(RootKey::ClassesRoot, kOpenCommandSubkey, KeyAccess::QueryValue, &key);
        if (opened != kSuccess) return unanswered(opened) ? kNotChecked : kNoMatch;
        static_assert(kCommandQuerySize < sizeof storage_.open_command, "the command must stay zero-terminated");
        std::uint32_t type = 0;
        std::uint32_t size = kCommandQuerySize;
        const Status read = platform_.reg_query_value_ex(key, "", &type, reinterpret_cast<unsigned char*>(storage_.open_command),
                                                         &size);
        platform_.reg_close_key(key);
        if (unanswered(read)) return kNotChecked;
        // Compared as it stands: %...% is not expanded, and only a text can be a command line.
        if (read != kSuccess || (type != kRegSz && type != kRegExpandSz)) return kNoMatch;
        return named_by(program_of(storage_.open_command), true, Finding::OpenCommand);
    }

private:
    // The row whose marker path `text` is, or (when `bare_name_counts`) whose marker file name
    // alone it is, as `finding`. Not checked when the system directory cannot be had.
    Match named_by(const char* text, bool bare_name_counts, Finding finding)
    {
        if (!marker_paths_built()) return kNotChecked;
        for (std::size_t row = 0; row < kVariantCount; ++row) {
            char* marker_path = storage_.marker_paths[row];
            const char* bare_name = kVariants[row].marker_file_name + 1; // without its backslash
            // A path that did not fit was left empty and is never compared: a cut-short path must not match.
            if (marker_path[0] != '\0' &&
                (equal_ignoring_ascii_case(text, marker_path) || (bare_name_counts && equal_ignoring_ascii_case(text, bare_name))))
                return Match{finding, &kVariants[row], marker_path};
        }
        return kNoMatch;
    }

    // Asks for the system directory once, when a text first needs comparing, and builds the marker
    // paths from it. False when it cannot be had: Windows answered 0 (it failed), or the size it
    // would need (the buffer is too small), or anything but the length of the text it wrote.
    bool marker_paths_built()
    {
        if (directory_ == Directory::NotAsked) {
            char* directory = storage_.system_directory;
            const std::uint32_t answered = platform_.get_system_directory(directory, sizeof storage_.system_directory);
            directory_ = system_directory_written(directory, sizeof storage_.system_directory, answered) ? Directory::Had
                                                                                                       : Directory::Unavailable;
            for (std::size_t row = 0; directory_ == Directory::Had && row < kVariantCount; ++row)
                build_marker_path(storage_.marker_paths[row], kTextBufferSize, directory, sizeof storage_.system_directory,
                                  kVariants[row].marker_file_name);
        }
        return directory_ == Directory::Had;
    }

    Platform& platform_;
    WorkingStorage& storage_;
    enum class Directory : std::uint8_t { NotAsked, Had, Unavailable } directory_ = Directory::NotAsked;
};

} // namespace

// The auto-start value first; the open command only when the value names no marker file.
Match probe(Platform& platform, WorkingStorage& storage)
{
    Evidence evidence(platform, storage);
    const Match by_value = evidence.auto_start_value();
    return by_value.finding == Finding::NotInfected ? evidence.open_command() : by_value;
}

} // namespace karvelon
