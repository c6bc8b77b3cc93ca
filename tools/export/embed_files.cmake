# Turns files into a C++ header of byte arrays, run at build time:
#   cmake -DOUTPUT=header.h -DNAMESPACE=ns -DFILES="name=path|name=path" -P embed_files.cmake
# Each file becomes `std::string_view name()` returning its bytes unchanged.
set(text "// Generated at build time by tools/export/embed_files.cmake; do not edit.\n#pragma once\n\n")
string(APPEND text "#include <string_view>\n\nnamespace ${NAMESPACE} {\n")
string(REPLACE "|" ";" entries "${FILES}")
foreach(entry IN LISTS entries)
  string(FIND "${entry}" "=" equals)
  string(SUBSTRING "${entry}" 0 ${equals} name)
  math(EXPR after "${equals} + 1")
  string(SUBSTRING "${entry}" ${after} -1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND text "\n// ${path}\ninline std::string_view ${name}() {\n"
         "  static constexpr char kBytes[${size} + 1] = {${bytes}'\\0'};\n"
         "  return std::string_view(kBytes, ${size});\n}\n")
endforeach()
string(APPEND text "\n}  // namespace ${NAMESPACE}\n")
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
