# What makes karvelon.exe a program to ship: its Windows resources (the manifest and the
# version information from resources/) and the release archive CPack builds around it, with
# the guide, the licence and a SHA-256 checksum file. Included from the WIN32 branch.

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
add_custom_command(
    OUTPUT ${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt
    COMMAND ${CMAKE_COMMAND} -D OUTPUT=${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt
            -D "FILES=$<TARGET_FILE:karvelon>;${KARVELON_PACKAGE_DIR}/README.txt;${KARVELON_PACKAGE_DIR}/LICENSE.txt"
            -P ${PROJECT_SOURCE_DIR}/packaging/write-checksums.cmake
    DEPENDS karvelon ${KARVELON_PACKAGE_DIR}/README.txt ${KARVELON_PACKAGE_DIR}/LICENSE.txt
            ${PROJECT_SOURCE_DIR}/packaging/write-checksums.cmake
    COMMENT "Writing SHA256SUMS.txt"
    VERBATIM)
add_custom_target(karvelon_checksums ALL DEPENDS ${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt)

install(TARGETS karvelon RUNTIME DESTINATION .)
install(FILES ${KARVELON_PACKAGE_DIR}/README.txt ${KARVELON_PACKAGE_DIR}/LICENSE.txt
              ${KARVELON_PACKAGE_DIR}/SHA256SUMS.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME karvelon)
set(CPACK_PACKAGE_VENDOR "Karvelon Software Labs")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME karvelon-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
include(CPack)
