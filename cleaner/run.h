// The cleaning run: banner and wait, probe, removal and repair on a match, one outcome line.
#pragma once

#include "platform/platform.h"

namespace karvelon {

// NoShellLibrary: not cleaned because the shell utility library that deletes the auto-start
// value could not be loaded or lacks the function (Windows 95 and NT 4.0 without Internet
// Explorer 4.0 or later); rights would not help there.
// NotChecked: a key, a value or the system directory that the probe needs could not be read,
// so whether the system is infected is not known; nothing was changed.
enum class Outcome { NoShellLibrary = 1, NotCleaned = 2, Cleaned = 3, NotInfected = 4, NotChecked = 5 };

constexpr char kRebootAdvice[] = " Please reboot your system and scan using at least pattern file #806.\n";
constexpr char kNotInfectedLine[] = " Your system is not infected with TROJ_NAVIDAD.A or TROJ_NAVIDAD.E.\n";
constexpr char kNotCheckedLine[] = " Your system could not be checked for TROJ_NAVIDAD.A or TROJ_NAVIDAD.E.\n";
constexpr char kAdministratorAdvice[] = " Please log on as an administrator and run this program again.\n";
constexpr char kShellLibraryAdvice[] = " This program needs shlwapi.dll, which Internet Explorer 4.0 or later installs.\n";

void report_outcome(Platform& platform, Outcome outcome);

// Returns the process exit status: 0 when the system is not infected or was cleaned, 1 when it
// is infected and was not cleaned, 2 when it could not be checked.
int run(Platform& platform);

} // namespace karvelon
