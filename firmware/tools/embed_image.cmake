# Writes the C++ definitions of the built-in firmware image: its bytes, the
# SHA-256 of its file and whether it is the repository's stand-in, as
# firmware/CMakeLists.txt decided at configure time (ON or OFF).
#   cmake -DIMAGE=<file> -DIS_STANDIN=ON|OFF -DOUTPUT=<file.cpp> -P embed_image.cmake
# The build runs lumbra_check_image on IMAGE first; the size test here only
# keeps a direct call from producing a table the header does not declare.

foreach(var IMAGE IS_STANDIN OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_image.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${IMAGE}" hex HEX)
string(LENGTH "${hex}" digits)
if(NOT digits EQUAL 131072)
  math(EXPR bytes "${digits} / 2")
  message(FATAL_ERROR "${IMAGE}: ${bytes} bytes, the firmware image has 65536")
endif()

file(SHA256 "${IMAGE}" image_sha256)
if(IS_STANDIN)
  set(is_standin true)
else()
  set(is_standin false)
endif()

# 16 bytes a line.
string(REGEX REPLACE "(................................)" "\\1\n" rows "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," rows "${rows}")
string(REPLACE "\n0x" "\n    0x" rows "    ${rows}")

file(WRITE "${OUTPUT}" "// Generated at build time from ${IMAGE}; do not edit.
#include \"firmware_data.h\"

namespace lumbra::firmware {

const std::uint8_t kImageData[65536] = {
${rows}};

const char kImageSha256[] = \"${image_sha256}\";

const bool kImageIsStandIn = ${is_standin};

}  // namespace lumbra::firmware
")
