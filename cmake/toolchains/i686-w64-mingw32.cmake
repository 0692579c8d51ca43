# 32-bit Windows (the library's home): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(DOIP_MINGW_TRIPLET i686-w64-mingw32)
# 32-bit programs need Wine's 32-bit loader (Debian package wine32).
set(DOIP_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
