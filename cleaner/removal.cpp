// Removal and repair. Nothing is retried or rolled back; the result only decides which
// closing lines the person at the console reads.
#include "cleaner/removal.h"

#include <cstring>

#include "console/console.h"

namespace karvelon {
namespace {

// Deletes the auto-start value and, when that worked, the variant's file. Returns kSuccess
// when the value is gone, also when it had vanished since the probe read it; otherwise what
// the deletion answered.
Status remove_auto_start(Platform& platform, const Match& match)
{
    const Status status = platform.sh_delete_value(RootKey::LocalMachine, kRunSubkey, kAutoStartValueName);
    if (status == kErrorFileNotFound) return kSuccess;
    if (status != kSuccess) return status;

    if (match.variant->deletes_vxd_companion) {
        // The marker path ends in the marker file name, "...\WINSVRC.EXE": its companion is
        // "...\WINSVRC.VXD", and the file the value named stays where it is.
        std::memcpy(match.marker_path + std::strlen(match.marker_path) - 3, "VXD", 3);
    }
    if (platform.delete_file(match.marker_path)) write_message(platform, match.variant->file_deleted_line);
    return kSuccess;
}

// Resets the default value of the open command, but only where the key exists: the value
// call would create it. Returns false only when the key exists and could not be reset.
bool repair_open_command(Platform& platform)
{
    KeyHandle command_key = nullptr;
    const Status opened = platform.reg_open_key_ex(RootKey::ClassesRoot, kOpenCommandSubkey, KeyAccess::SetValue, &command_key);
    if (opened != kSuccess) return opened == kErrorFileNotFound;
    const Status set = platform.reg_set_value(RootKey::ClassesRoot, kOpenCommandSubkey, kRegSz, kRepairText, sizeof kRepairText);
    platform.reg_close_key(command_key);
    return set == kSuccess;
}

} // namespace

Outcome remove_and_repair(Platform& platform, const Match& match, KeyHandle run_key)
{
    Status auto_start = kSuccess;
    if (match.finding == Finding::AutoStartValue) {
        auto_start = remove_auto_start(platform, match);
        platform.reg_close_key(run_key);
    }
    const bool open_command_ok = repair_open_command(platform);
    // Absent keys are the normal case here, so these results do not count.
    for (const char* subkey : kPerUserSubkeys) platform.reg_delete_key(RootKey::CurrentUser, subkey);

    const bool cleaned = auto_start == kSuccess && open_command_ok;
    write_message(platform, cleaned ? kCleanedLine : kNotCleanedLine);
    if (cleaned) return Outcome::Cleaned;
    const bool no_library = auto_start == kErrorModNotFound || auto_start == kErrorProcNotFound;
    return no_library ? Outcome::NoShellLibrary : Outcome::NotCleaned;
}

} // namespace karvelon
