// Removal and repair after a match: the auto-start value, the variant's file, the open
// command of executable files and the family's per-user keys.
#pragma once

#include "cleaner/probe.h"
#include "cleaner/run.h"
#include "platform/platform.h"

namespace karvelon {

constexpr char kRepairText[] = "\"%1\" %*";
constexpr const char* kPerUserSubkeys[] = {"software\\Navidad", "software\\Emanuel"};

constexpr char kCleanedLine[] = " System registry cleaned.\n";
constexpr char kNotCleanedLine[] = " System registry could not be cleaned.\n";

// Runs every step whatever the earlier ones achieved, closes the Run key the probe left open,
// and writes the cleaned line or the not-cleaned line. When only the open command named the
// marker file, the auto-start value counts as gone: it is not deleted, nor is a file. Returns Cleaned when the auto-start
// value is gone and the open command, where it exists, was reset; NoShellLibrary when the value
// stays because the library that deletes it is missing or too old; NotCleaned otherwise.
Outcome remove_and_repair(Platform& platform, const Match& match, KeyHandle run_key);

} // namespace karvelon
