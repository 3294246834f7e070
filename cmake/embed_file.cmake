# Writes a C++ source that holds a file's bytes as an array, so the program carries data that
# lives in the tree (such as the icon) without reading anything at run time.
# Usage: cmake -DINPUT=file -DOUTPUT=source.cpp -DNAME=identifier -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
get_filename_component(input_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${input_name} by cmake/embed_file.cmake; do not edit.
#include <cstddef>

extern const unsigned char ${NAME}[] = {
    ${bytes}
};
extern const std::size_t ${NAME}_size = ${size};
")
# Only a changed file touches the output, so nothing rebuilds needlessly.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
