# Cross build for x86_64 Windows; see toolchain-mingw.cmake.
set(LUMBRA_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
