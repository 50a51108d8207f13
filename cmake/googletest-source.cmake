# GoogleTest and GoogleMock for a cross build, compiled from Debian's
# googletest sources (/usr/src/googletest) with the cross compiler. Provides
# the GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main
# targets that find_package(GTest) gives a native build.
set(LUMBRA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${LUMBRA_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${LUMBRA_GOOGLETEST_SOURCE} (apt-get install googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${LUMBRA_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Not our code: its warnings are not ours to fix.
foreach(target IN ITEMS gtest gtest_main gmock gmock_main)
  set_property(TARGET ${target} PROPERTY COMPILE_OPTIONS -w)
endforeach()

include(GoogleTest)
# Listing a program's tests through an emulator (Wine) takes longer than the
# 5 s CMake allows by default, above all the first program of a run.
function(gtest_discover_tests target)
  _gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120 ${ARGN})
endfunction()
