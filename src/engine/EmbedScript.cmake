# Turns a script file into a header defining it as a std::string_view constant.
#     cmake -DINPUT=script.js -DOUTPUT=Script.h -DNAME=kScript -DNAMESPACE=pagestow::engine -P EmbedScript.cmake
file(READ "${INPUT}" script)
set(delimiter "pagestow")
string(FIND "${script}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${INPUT} holds the raw string's end )${delimiter}\"")
endif()
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}" "// Made from ${source} by EmbedScript.cmake; do not edit.
#pragma once

#include <string_view>

namespace ${NAMESPACE} {

inline constexpr std::string_view ${NAME} = R\"${delimiter}(${script})${delimiter}\";

} // namespace ${NAMESPACE}
")
