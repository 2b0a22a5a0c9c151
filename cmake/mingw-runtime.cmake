# The MinGW-w64 runtime that karvelon.exe links, built again for the i486. Debian built its
# runtime for the Pentium Pro (-march=pentiumpro), so its start-up code holds conditional moves,
# and a 486, a Pentium, a K6 or a 6x86 faults on the first of them before the banner. This
# builds the same files from Debian's source of the toolchain's own MinGW-w64 version, which
# scripts/setup fetches, with -march=i486, and has the link take them in place of Debian's.
#
# The link takes crt2.o and libmingw32.a from KARVELON_RUNTIME_DIR first (gcc's -B), so the
# packaged crt2.o and libmingw32.a are never read. The few members of libmingwex and libmsvcrt
# that the program pulls in go into the same archive: -lmingw32 comes before -lmingwex and
# -lmsvcrt on gcc's link line, so those packaged members are never needed. GCC's own crtbegin.o,
# crtend.o and libgcc members are left as they are: they hold nothing beyond the i486. The set
# is what a link map (-Wl,-Map) of karvelon.exe lists; a member missing here fails the link.

find_file(KARVELON_MINGW_VERSION_HEADER _mingw_mac.h PATH_SUFFIXES include REQUIRED)
function(karvelon_mingw_version header out)
    file(STRINGS ${header} lines REGEX "^#define __MINGW64_VERSION_(MAJOR|MINOR|BUGFIX) ")
    set(parts)
    foreach(part IN ITEMS MAJOR MINOR BUGFIX)
        string(REGEX MATCH "__MINGW64_VERSION_${part} ([0-9]+)" found "${lines}")
        list(APPEND parts ${CMAKE_MATCH_1})
    endforeach()
    list(JOIN parts . version)
    set(${out} ${version} PARENT_SCOPE)
endfunction()
karvelon_mingw_version(${KARVELON_MINGW_VERSION_HEADER} toolchain_version)

set(KARVELON_MINGW_SOURCE /usr/local/src/karvelon/mingw-w64-${toolchain_version} CACHE PATH
    "Debian's source of MinGW-w64 ${toolchain_version}, the toolchain's own version (scripts/setup fetches it)")
set(crt ${KARVELON_MINGW_SOURCE}/mingw-w64-crt)
set(source_header ${KARVELON_MINGW_SOURCE}/mingw-w64-headers/crt/_mingw_mac.h)
if(NOT EXISTS ${crt}/crt/crtexe.c OR NOT EXISTS ${source_header})
    message(FATAL_ERROR "The MinGW-w64 ${toolchain_version} runtime source is not in ${KARVELON_MINGW_SOURCE}: "
                        "run scripts/setup (as root), which fetches it with apt-get source mingw-w64.")
endif()
karvelon_mingw_version(${source_header} source_version)
if(NOT source_version STREQUAL toolchain_version)
    message(FATAL_ERROR "${KARVELON_MINGW_SOURCE} holds MinGW-w64 ${source_version}, but the toolchain is "
                        "${toolchain_version}: run scripts/setup, or set KARVELON_MINGW_SOURCE.")
endif()

enable_language(C)
set(KARVELON_RUNTIME_DIR ${CMAKE_BINARY_DIR}/mingw-runtime)

# As the runtime's own Makefile.am compiles each part (AM_CFLAGS and the per-library flags),
# with Debian's -O2, for the i486. The source path is mapped away, as the program's own is.
set(common_options -O2 -march=i486 -mtune=generic -ffile-prefix-map=${KARVELON_MINGW_SOURCE}=mingw-w64
    -D_CRTBLD -D_WIN32_WINNT=0x0f00 -D__MSVCRT_VERSION__=0x700 -D__USE_MINGW_ANSI_STDIO=0)
set(libmingw32_definitions _SYSCRT=1 CRTDLL=1)

# crt2.o, the start-up code, is crtexe.c; gcc looks for it by that name.
add_library(karvelon_crt2 OBJECT ${crt}/crt/crtexe.c)
set(crt2 ${KARVELON_RUNTIME_DIR}/crt2.o)
add_custom_command(OUTPUT ${crt2}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_OBJECTS:karvelon_crt2> ${crt2}
    DEPENDS $<TARGET_OBJECTS:karvelon_crt2> VERBATIM)

set(libmingw32_members gccmain natstart wildcard dllargv _newmode tlssup xncommod cinitexe merr CRT_fp10
    mingw_helpers pseudo-reloc usermatherr xtxtmode crt_handler tlsthrd tlsmcrt pseudo-reloc-list pesect)
list(TRANSFORM libmingw32_members PREPEND ${crt}/crt/)
list(TRANSFORM libmingw32_members APPEND .c)
set_source_files_properties(${libmingw32_members} PROPERTIES COMPILE_DEFINITIONS "${libmingw32_definitions}")
set_source_files_properties(${crt}/misc/invalid_parameter_handler.c PROPERTIES
    COMPILE_DEFINITIONS "__LIBMSVCRT__;__LIBMSVCRT_OS__")
set_source_files_properties(${crt}/stdio/acrt_iob_func.c PROPERTIES COMPILE_DEFINITIONS __LIBMSVCRT__)
add_library(karvelon_mingw32 STATIC ${libmingw32_members}
    ${crt}/misc/mingw_matherr.c                 # from libmingwex
    ${crt}/misc/invalid_parameter_handler.c     # libmsvcrt's own code beside its imports
    ${crt}/stdio/acrt_iob_func.c)
set_target_properties(karvelon_mingw32 PROPERTIES OUTPUT_NAME mingw32 ARCHIVE_OUTPUT_DIRECTORY ${KARVELON_RUNTIME_DIR})
foreach(target IN ITEMS karvelon_crt2 karvelon_mingw32)
    target_compile_options(${target} PRIVATE ${common_options})
    target_include_directories(${target} PRIVATE ${crt}/include)
endforeach()
target_compile_definitions(karvelon_crt2 PRIVATE ${libmingw32_definitions})
add_custom_target(karvelon_runtime DEPENDS ${crt2} karvelon_mingw32)

# Each object of this runtime as karvelon.exe's link map names it, with the source file it is
# built from relative to the source package: the third-party notices take its licence from there.
get_target_property(crt2_source karvelon_crt2 SOURCES)
file(RELATIVE_PATH crt2_source ${KARVELON_MINGW_SOURCE} ${crt2_source})
set(KARVELON_RUNTIME_OBJECTS "crt2.o=${crt2_source}")
get_target_property(libmingw32_sources karvelon_mingw32 SOURCES)
foreach(source IN LISTS libmingw32_sources)
    get_filename_component(object ${source} NAME)
    file(RELATIVE_PATH source ${KARVELON_MINGW_SOURCE} ${source})
    list(APPEND KARVELON_RUNTIME_OBJECTS "libmingw32.a(${object}${CMAKE_C_OUTPUT_EXTENSION})=${source}")
endforeach()

# Links `target` with this runtime in place of Debian's.
function(karvelon_link_runtime target)
    target_link_options(${target} PRIVATE -B${KARVELON_RUNTIME_DIR}/)
    add_dependencies(${target} karvelon_runtime)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${crt2} $<TARGET_FILE:karvelon_mingw32>)
endfunction()
