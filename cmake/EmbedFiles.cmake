# Writes a C++ source that holds files as byte arrays, for a program that
# serves them from memory (the status page's HTML, CSS and script):
#   cmake -DOUTPUT=out.cpp -DHEADER=Name.h -DFUNCTION=name -DFILES="a;b" -P EmbedFiles.cmake
# The source defines `std::string_view FUNCTION(std::string_view name)`,
# which gives the file of that name (without its folder), or an empty view.
foreach(required OUTPUT HEADER FUNCTION FILES)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "EmbedFiles.cmake: ${required} is not given")
  endif()
endforeach()

set(names "")
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  list(APPEND names "${name}")
endforeach()
list(JOIN names ", " names)
set(source "// Made by cmake/EmbedFiles.cmake from ${names}: do not edit.\n")
string(APPEND source "#include \"${HEADER}\"\n\n#include <cstddef>\n\nnamespace {\n\n")
set(table "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR bytes "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  # Sixteen bytes a line (CMake's expressions have no counted repeats).
  string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " hex "${hex}")
  string(APPEND source "const unsigned char kFile${index}[] = {\n    ${hex}\n};\n\n")
  string(APPEND table "    {\"${name}\", kFile${index}, ${bytes}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND source "struct EmbeddedFile {\n    const char* name;\n    const unsigned char* bytes;\n"
       "    std::size_t size;\n};\n\nconst EmbeddedFile kFiles[] = {\n${table}};\n\n} // namespace\n\n")
string(APPEND source "std::string_view ${FUNCTION}(std::string_view name)\n{\n"
       "    for (const EmbeddedFile& file : kFiles)\n"
       "        if (name == file.name)\n"
       "            return std::string_view(reinterpret_cast<const char*>(file.bytes), file.size);\n"
       "    return std::string_view();\n}\n")

# Written only when it changes, so that nothing rebuilds for nothing.
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL source)
  file(WRITE "${OUTPUT}" "${source}")
endif()
