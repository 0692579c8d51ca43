# Shared part of the MinGW-w64 cross toolchains; the including file sets DOIP_MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR. The posix thread model compilers are used so that std::thread, std::mutex and
# std::condition_variable work (on winpthreads).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${DOIP_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DOIP_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DOIP_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DOIP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine. Configure with -DCMAKE_CROSSCOMPILING_EMULATOR= (empty) to build them
# without registering any test that needs to run a Windows program.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(DOIP_WINE NAMES ${DOIP_WINE_NAMES} PATHS /usr/lib/wine)
  if(DOIP_WINE)
    # Wine reports every unimplemented corner on stderr; the tests' output is what matters.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEDEBUG=-all ${DOIP_WINE})
  endif()
endif()
