# What makes karvelon.exe a program to ship: its Windows resources (the manifest and the
# version information from resources/), the third-party notices and SPDX bill of materials made
# from its link map (and a relink whenever a file that the link took changes, so that the exe and
# its notices come from one link), and the release archive CPack builds around it, with the guide,
# the licences and a SHA-256 checksum file. Included from the WIN32 branch.

enable_language(RC)

# The resources take their version from project(): 2.0.0 becomes 2.0.0.0.
set(KARVELON_VERSION_DOTTED "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(KARVELON_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(KARVELON_MANIFEST ${CMAKE_BINARY_DIR}/resources/karvelon.manifest)
configure_file(resources/karvelon.manifest.in ${KARVELON_MANIFEST} @ONLY)
configure_file(resources/karvelon.rc.in ${CMAKE_BINARY_DIR}/resources/karvelon.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/resources/karvelon.rc PROPERTIES OBJECT_DEPENDS ${KARVELON_MANIFEST})
# An object library of its own, so the C++ options of karvelon_options never reach windres.
add_library(karvelon_resources OBJECT ${CMAKE_BINARY_DIR}/resources/karvelon.rc)
target_sources(karvelon PRIVATE $<TARGET_OBJECTS:karvelon_resources>)

# The texts go out with Windows line ends, so that every Notepad shows them as written.
set(KARVELON_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
configure_file(packaging/README.txt ${KARVELON_PACKAGE_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(packaging/LICENSE.txt ${KARVELON_PACKAGE_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

# The link map is the record of what the link took; writing it leaves the exe's bytes as they are.
set(KARVELON_LINK_MAP ${CMAKE_BINARY_DIR}/karvelon.map)
target_link_options(karvelon PRIVATE -Wl,-Map,${KARVELON_LINK_MAP})

# THIRD-PARTY-NOTICES.txt and the SBOM's template, from the map, by a script on Debian's own python3 and
# its python3-debian and python3-license-expression. A package installed or upgraded changes dpkg's
# status file, and with it perhaps a version or a licence.
find_program(KARVELON_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(COMMAND ${KARVELON_PYTHON} -c "import debian.copyright, license_expression" RESULT_VARIABLE missing
                OUTPUT_QUIET ERROR_QUIET)
if(missing)
    message(FATAL_ERROR "${KARVELON_PYTHON} cannot import python3-debian and python3-license-expression: run scripts/setup")
endif()
set(third_party ${KARVELON_PYTHON} ${PROJECT_SOURCE_DIR}/packaging/third-party.py)
set(KARVELON_VENDOR "Karvelon Software Labs")
set(KARVELON_NOTICES ${KARVELON_PACKAGE_DIR}/THIRD-PARTY-NOTICES.txt)
set(KARVELON_SBOM_TEMPLATE ${KARVELON_PACKAGE_DIR}/karvelon.spdx-template.json)
set(KARVELON_SBOM ${KARVELON_PACKAGE_DIR}/karvelon-${PROJECT_VERSION}.spdx.json)
list(TRANSFORM KARVELON_RUNTIME_OBJECTS PREPEND --runtime-object= OUTPUT_VARIABLE runtime_objects)
set(dpkg_status)
if(EXISTS /var/lib/dpkg/status)
    set(dpkg_status /var/lib/dpkg/status)
endif()
add_custom_command(
    OUTPUT ${KARVELON_NOTICES} ${KARVELON_SBOM_TEMPLATE}
    COMMAND ${third_party} notices --map ${KARVELON_LINK_MAP} --build-dir ${CMAKE_BINARY_DIR}
            --runtime-dir ${KARVELON_RUNTIME_DIR} ${runtime_objects} --mingw-source ${KARVELON_MINGW_SOURCE}
            --version ${PROJECT_VERSION} --vendor ${KARVELON_VENDOR} --licence-id MIT
            --licence-file ${PROJECT_SOURCE_DIR}/packaging/LICENSE.txt --notices ${KARVELON_NOTICES}
            --template ${KARVELON_SBOM_TEMPLATE}
    DEPENDS karvelon ${PROJECT_SOURCE_DIR}/packaging/third-party.py ${PROJECT_SOURCE_DIR}/packaging/LICENSE.txt
            ${KARVELON_MINGW_SOURCE}/debian/copyright ${KARVELON_MINGW_SOURCE}/debian/changelog ${dpkg_status}
    COMMENT "Writing THIRD-PARTY-NOTICES.txt from the link map"
    VERBATIM)

# karvelon.exe depends on every file its link loads, the toolchain's too, which Ninja does not see: after
# each link the script records them with their times and sizes, and before each it renews the stamp that
# the link depends on if any of them changed, whichever way its time moved (an upgrade brings the package's).
set(link_record ${CMAKE_BINARY_DIR}/karvelon.link-inputs)
add_custom_command(TARGET karvelon POST_BUILD
    COMMAND ${third_party} record-link --map ${KARVELON_LINK_MAP} --build-dir ${CMAKE_BINARY_DIR} --record ${link_record}
    VERBATIM)
add_custom_target(karvelon_link_inputs
    COMMAND ${third_party} check-link --record ${link_record} --stamp ${link_record}.stamp
    COMMENT "Looking for a change to the files that the last link took"
    BYPRODUCTS ${link_record}.stamp
    VERBATIM)
add_dependencies(karvelon karvelon_link_inputs)
set_property(TARGET karvelon APPEND PROPERTY LINK_DEPENDS ${link_record}.stamp)

# The SBOM names the checkout's commit, which changes without a rebuild: so this runs every time,
# and rewrites the file only when its content changes.
add_custom_target(karvelon_sbom ALL
    COMMAND ${third_party} sbom --template ${KARVELON_SBOM_TEMPLATE} --exe $<TARGET_FILE:karvelon>
            --source-dir ${PROJECT_SOURCE_DIR} --output ${KARVELON_SBOM}
    BYPRODUCTS ${KARVELON_SBOM}
    DEPENDS ${KARVELON_SBOM_TEMPLATE} ${PROJECT_SOURCE_DIR}/packaging/third-party.py
    COMMENT "Writing karvelon-${PROJECT_VERSION}.spdx.json"
    VERBATIM)

add_custom_command(
    OUTPUT ${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt
    COMMAND ${CMAKE_COMMAND} -D OUTPUT=${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt
            -D "FILES=$<TARGET_FILE:karvelon>;${KARVELON_PACKAGE_DIR}/README.txt;${KARVELON_PACKAGE_DIR}/LICENSE.txt;${KARVELON_NOTICES}"
            -P ${PROJECT_SOURCE_DIR}/packaging/write-checksums.cmake
    DEPENDS karvelon ${KARVELON_PACKAGE_DIR}/README.txt ${KARVELON_PACKAGE_DIR}/LICENSE.txt ${KARVELON_NOTICES}
            ${PROJECT_SOURCE_DIR}/packaging/write-checksums.cmake
    COMMENT "Writing SHA256SUMS.txt"
    VERBATIM)
add_custom_target(karvelon_checksums ALL DEPENDS ${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt)

install(TARGETS karvelon RUNTIME DESTINATION .)
install(FILES ${KARVELON_PACKAGE_DIR}/README.txt ${KARVELON_PACKAGE_DIR}/LICENSE.txt ${KARVELON_NOTICES}
              ${KARVELON_SBOM} ${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME karvelon)
set(CPACK_PACKAGE_VENDOR ${KARVELON_VENDOR})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME karvelon-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
# The SBOM goes in the archive, and beside it, wherever CPack writes it.
set(CPACK_KARVELON_SBOM ${KARVELON_SBOM})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/sbom-beside-archive.cmake)
include(CPack)
