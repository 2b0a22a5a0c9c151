# Run by CPack once it has written the release archive: puts the build's SPDX bill of materials
# where the archive goes (CPack's output directory, -B). The SBOM describes the exe in the
# archive, so a build that has not made it fails here.
cmake_minimum_required(VERSION 3.25)

get_filename_component(name "${CPACK_KARVELON_SBOM}" NAME)
file(COPY_FILE "${CPACK_KARVELON_SBOM}" "${CPACK_PACKAGE_DIRECTORY}/${name}" ONLY_IF_DIFFERENT)
