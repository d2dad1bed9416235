# Writes a C++ header that holds a file's bytes as a std::string_view constant.
#   cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<constant> -P embed_text.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")

# Every byte as a \xNN escape, 32 bytes to a line of adjacent string literals.
set(lines "")
set(offset 0)
while(offset LESS hex_length)
  string(SUBSTRING "${hex}" ${offset} 64 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" chunk "${chunk}")
  string(APPEND lines "    \"${chunk}\"\n")
  math(EXPR offset "${offset} + 64")
endwhile()
if(lines STREQUAL "")
  set(lines "    \"\"\n")
endif()

get_filename_component(input_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
  "// Generated from ${input_name} at build time.\n"
  "#pragma once\n"
  "#include <string_view>\n\n"
  "namespace melodara {\n\n"
  "inline constexpr std::string_view ${NAME}{\n${lines}    , ${size}};\n\n"
  "}  // namespace melodara\n")
