# Settings of the Windows builds (MinGW-w64 cross builds from Debian, see
# cmake/toolchain-mingw-*.cmake). Included by the top-level CMakeLists.txt.
enable_language(RC)

# Windows 7 and later; ANSI entry points throughout (the link's paths and the
# dialog's texts are ASCII).
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# Tests run under Wine where it can run them: a 64-bit build on a machine with
# wine64. Each build tree gets its own Wine prefix.
if(CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8 AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(LUMBRA_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(LUMBRA_WINE64 NAMES wine64 wine)
  if(LUMBRA_WINE64)
    set(LUMBRA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the tests")
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${PROJECT_SOURCE_DIR}/tests/win32/wine-run ${LUMBRA_WINE64} ${LUMBRA_WINEPREFIX})
  endif()
endif()

# Test programs are listed when ctest runs, not when they are built: the build
# must not need Wine, and the 32-bit build cannot run its programs here.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
