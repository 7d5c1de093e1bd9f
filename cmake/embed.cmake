# Writes a C++ file holding a file's bytes as an array:
#   cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DNAME=kName -P embed.cmake
# defines `const unsigned char kName[]` and `const std::size_t kNameSize`.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Made by cmake/embed.cmake from ${INPUT}.\n#include <cstddef>\n\n"
  "extern const unsigned char ${NAME}[];\nextern const std::size_t ${NAME}Size;\n"
  "const unsigned char ${NAME}[] = {\n${bytes}};\nconst std::size_t ${NAME}Size = ${size};\n")
