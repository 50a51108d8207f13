# Cross build for i686 Windows; see toolchain-mingw.cmake.
set(LUMBRA_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
