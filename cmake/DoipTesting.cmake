# GoogleTest for the test programs of tests/ and tools/, and how they are registered with CTest.
if(CMAKE_CROSSCOMPILING)
  # No GoogleTest package exists for the target: build it from the sources Debian's libgtest-dev ships.
  set(DOIP_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest sources for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${DOIP_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Third-party code: its warnings are not ours to fix.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  # Listing the tests means running the programs, which only the emulator (Wine) can do: list them when
  # CTest starts, not at build time, so the build works without it.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Whether the test programs can run here: natively, or through the cross build's emulator.
if(NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
  set(DOIP_RUN_TESTS ON)
else()
  set(DOIP_RUN_TESTS OFF)
  message(STATUS "No emulator for the target: the test programs are built but not registered with CTest")
endif()

# Registers the GoogleTest cases of a test program with CTest, where the program can run.
function(doip_discover_tests target label timeout)
  if(DOIP_RUN_TESTS)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} TIMEOUT ${timeout})
  endif()
endfunction()
