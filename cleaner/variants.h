// The two variants the cleaner knows, consulted in this order, where their auto-start entry
// lives, and the open command that they hijack.
#pragma once

#include <cstddef>

namespace karvelon {

struct Variant {
    const char* detection_name;
    const char* marker_file_name;  // appended to the system directory text; begins with '\'
    const char* infection_notice;
    const char* file_deleted_line;
    bool deletes_vxd_companion;    // removal deletes the marker with "VXD" for its last three characters
};

inline constexpr Variant kVariants[] = {
    {"TROJ_NAVIDAD.A", "\\WINSVRC.EXE", " Your system is infected with TROJ_NAVIDAD.A.\n",
     " Trojan file WINSVRC.VXD deleted.\n", true},
    {"TROJ_NAVIDAD.E", "\\WINTASK.EXE", " Your system is infected with TROJ_EMMANUEL, new variant of navidad.\n",
     " Trojan file WINTASK.EXE deleted.\n", false},
};
constexpr std::size_t kVariantCount = sizeof kVariants / sizeof kVariants[0];

inline constexpr char kRunSubkey[] = "software\\microsoft\\windows\\currentversion\\run";
inline constexpr char kAutoStartValueName[] = "Win32BaseServiceMOD";
// Its default value is the command that starts every program that Explorer opens.
inline constexpr char kOpenCommandSubkey[] = "exefile\\shell\\open\\command";

} // namespace karvelon
