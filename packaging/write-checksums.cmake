# Writes the release archive's SHA256SUMS.txt: one "<sha256>  <file name>" line per file, with
# Windows line ends. `sha256sum -c` reads it; on Windows compare with the output of
# `certutil -hashfile <file> SHA256`. Run as: cmake -D OUTPUT=... -D FILES=a;b -P this file.
set(text "")
foreach(file IN LISTS FILES)
    file(SHA256 ${file} hash)
    get_filename_component(name ${file} NAME)
    string(APPEND text "${hash}  ${name}\r\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
