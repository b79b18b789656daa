# Writes a C++ source that holds the status-screen PNG files as byte arrays,
# so the Linux build carries the same images the Windows build compiles in
# as resources.
# Usage: cmake -DOUTPUT=<file.cpp> -DENTRIES="<id>=<png path>;..." -P embed_png.cmake
set(arrays "")
set(table "")
foreach(entry IN LISTS ENTRIES)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 id)
    list(GET pair 1 path)
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND arrays "const unsigned char kPng${id}[] = {${bytes}};\n")
    string(APPEND table "    {${id}, kPng${id}, sizeof kPng${id}},\n")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from engine/resources by embed_png.cmake; do not edit.
#include \"engine/png_image_embedded.h\"

namespace talvik {
namespace {
${arrays}
struct Entry {
    int id;
    const unsigned char* bytes;
    std::size_t size;
};
const Entry kEntries[] = {
${table}};
} // namespace

std::span<const unsigned char> EmbeddedPng(int resourceId)
{
    for (const Entry& entry : kEntries)
        if (entry.id == resourceId)
            return {entry.bytes, entry.size};
    return {};
}

} // namespace talvik
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
