// The cleaning run: banner and wait, probe, removal and repair on a match, one outcome line.
#pragma once

#include "platform/platform.h"

namespace karvelon {

enum class Outcome { NotCleaned = 2, Cleaned = 3, NotInfected = 4 };

constexpr char kRebootAdvice[] = " Please reboot your system and scan using at least pattern file #806.\n";
constexpr char kNotInfectedLine[] = " Your system is not infected with TROJ_NAVIDAD.A or TROJ_NAVIDAD.E.\n";
constexpr char kAdministratorAdvice[] = " Please log on as an administrator and run this program again.\n";

void report_outcome(Platform& platform, Outcome outcome);

// Returns the process exit status: 0, or 1 when the system is infected and was not cleaned.
int run(Platform& platform);

} // namespace karvelon
