// The start-up hardening's choice of calls; see hardening.h.
#include "platform/hardening.h"

namespace karvelon {

// The pattern of installers that run elevated from a download folder. A library that shlwapi,
// user32 or gdi32 load by bare name later on is searched for in the standard order, which
// starts in the program's folder: from here on only the system directory is searched (Windows
// 8 and later, Vista and 7 with KB2533623), or else at least not the current directory (XP SP1
// and later). Each call only narrows what may happen, so a failure is no reason to stop.
void harden_with(const HardeningFunctions& found)
{
    const bool system_directory_only = found.set_default_dll_directories != nullptr &&
                                       found.set_default_dll_directories(kLoadLibrarySearchSystem32) != 0;
    // An empty string, never null: SetDllDirectoryA(NULL) restores the standard search order,
    // the current directory included.
    if (!system_directory_only && found.set_dll_directory != nullptr) found.set_dll_directory("");
    if (found.set_search_path_mode != nullptr) found.set_search_path_mode(kSafeSearchModeForGood);
    if (found.set_process_dep_policy != nullptr) found.set_process_dep_policy(kProcessDepEnable);
}

} // namespace karvelon
