# Writes a C++ source holding every file under SOURCE_DIR, for the web console that the
# control server serves from memory. Run as a script:
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P EmbedWebAssets.cmake
# Each file becomes a byte array with its path relative to SOURCE_DIR and the first 32 hex
# digits of its SHA-256, which the server answers as its ETag.
if(NOT SOURCE_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "EmbedWebAssets.cmake needs SOURCE_DIR and OUTPUT")
endif()
set(files)
if(IS_DIRECTORY "${SOURCE_DIR}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
  list(SORT files)
endif()
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS files)
  # Editors' and the system's leftovers are not part of the console.
  if(name MATCHES "(^|/)\\.|~$")
    continue()
  endif()
  file(READ "${SOURCE_DIR}/${name}" hex HEX)
  file(SHA256 "${SOURCE_DIR}/${name}" digest)
  string(SUBSTRING "${digest}" 0 32 digest)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  if(size EQUAL 0)
    set(bytes "0")
  endif()
  string(APPEND arrays "const unsigned char kAsset${index}[] = {${bytes}};\n")
  string(REPLACE "\\" "\\\\" quoted "${name}")
  string(REPLACE "\"" "\\\"" quoted "${quoted}")
  string(APPEND table "    {\"${quoted}\", {reinterpret_cast<const char*>(kAsset${index}), ${size}}, \"\\\"${digest}\\\"\"},\n")
  math(EXPR index "${index} + 1")
endforeach()
set(text "// Made by cmake/EmbedWebAssets.cmake from ${SOURCE_DIR}; do not edit.
#include \"web_assets.h\"

namespace wharfkeep::control {
namespace {

${arrays}
const WebAsset kAssets[] = {
${table}    {{}, {}, {}},
};

}  // namespace

std::span<const WebAsset> WebAssets() {
    return {kAssets, ${index}};
}

}  // namespace wharfkeep::control
")
# Rewritten only when it changes, so that an unchanged console compiles nothing again.
set(previous "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
