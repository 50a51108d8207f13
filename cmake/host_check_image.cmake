# Cross builds: lumbra_check_image for the build machine, from cmake/host-tools
# with the host's default compiler. Sets check_image_command (the program to
# run) and check_image_target (what the embedding step depends on).
include(ExternalProject)

set(host_tools_dir ${CMAKE_BINARY_DIR}/host-tools)
ExternalProject_Add(lumbra_host_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/cmake/host-tools
  BINARY_DIR ${host_tools_dir}
  # No toolchain file and no inherited compilers: the host's own.
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${host_tools_dir}/lumbra_check_image)

set(check_image_command ${host_tools_dir}/lumbra_check_image)
set(check_image_target lumbra_host_tools)
