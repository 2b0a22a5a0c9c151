# Writes the release's SPDX 2.3 bill of materials for one karvelon.exe (the build's, or the signed
# one): third-party.cmake's template with the exe's SHA-256, the source commit, a creation time
# and a document namespace. Nothing comes from the clock, so the same source and exe give the same
# file. Run as: cmake -D TEMPLATE=... -D EXE=... -D SOURCE_DIR=... [-D GIT=git] -D OUTPUT=... -P this
#
# The creation time is SOURCE_DATE_EPOCH where the environment sets it, otherwise the commit's
# time. A source tree that is not itself a git checkout (a copy, an unpacked archive) has no
# commit to name: the SBOM says so and takes 1970-01-01T00:00:00Z, a time nobody mistakes for real.
cmake_minimum_required(VERSION 3.25)

file(READ "${TEMPLATE}" sbom)
file(SHA256 "${EXE}" exe_sha256)

set(commit "")
set(commit_time "")
set(changes "")
if(GIT)
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # The checkout must be the source tree itself: a copy inside another checkout's build/ is not
  # that checkout's commit.
  if(result EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(result EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" log -1 --format=%H%x20%ct
                    OUTPUT_VARIABLE head RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(result EQUAL 0 AND head MATCHES "^([0-9a-f]+) ([0-9]+)$")
      set(commit "${CMAKE_MATCH_1}")
      set(commit_time "${CMAKE_MATCH_2}")
      execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" status --porcelain
                      OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
  endif()
endif()

if(commit STREQUAL "")
  set(source_info "built from a source tree outside git: no source commit is known")
elseif(changes STREQUAL "")
  set(source_info "built from git commit ${commit}")
else()
  set(source_info "built from git commit ${commit} with uncommitted changes")
endif()

set(comment "")
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(comment "The creation time is SOURCE_DATE_EPOCH's.")
elseif(NOT commit_time STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  set(comment "The creation time is the source commit's.")
else()
  set(ENV{SOURCE_DATE_EPOCH} 0)
  set(comment "No source commit was known and SOURCE_DATE_EPOCH was not set: the creation time is a placeholder.")
endif()
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH in place of the clock.
string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)

string(JSON sbom SET "${sbom}" creationInfo created "\"${created}\"")
string(JSON sbom SET "${sbom}" creationInfo comment "\"${comment}\"")
string(JSON karvelon_id GET "${sbom}" packages 0 SPDXID)
if(NOT karvelon_id STREQUAL "SPDXRef-karvelon")
  message(FATAL_ERROR "${TEMPLATE}: the first package is ${karvelon_id}, not karvelon")
endif()
string(JSON sbom SET "${sbom}" packages 0 checksums
  "[{\"algorithm\": \"SHA256\", \"checksumValue\": \"${exe_sha256}\"}]")
string(JSON sbom SET "${sbom}" packages 0 sourceInfo "\"${source_info}\"")

# The namespace is unique to the content: the SHA-256 of the document without it.
string(SHA256 content_sha256 "${sbom}")
string(JSON name GET "${sbom}" name)
string(JSON sbom SET "${sbom}" documentNamespace "\"http://www.karvelon.example/spdx/${name}-${content_sha256}\"")

# Written only when it changes: the build runs this every time, to follow the checkout's commit.
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL "${sbom}\n")
  file(WRITE "${OUTPUT}" "${sbom}\n")
endif()
