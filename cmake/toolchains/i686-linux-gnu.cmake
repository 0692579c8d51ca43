# 32-bit Linux (i686) with the host's GCC and Debian's i386 multiarch libraries:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake
# Needs g++-multilib, the i386 GoogleTest, OpenSSL and SRecord (libgtest-dev:i386, libssl-dev:i386,
# libsrecord-dev:i386);
# scripts/i686-test.sh installs them. The library, the tools and the tests then have the 32-bit data model
# of the Windows DLL (4-byte pointers, size_t and long), which is what most of its 32-bit risks depend on.
# Not a cross build: the programs run here (natively, or through the kernel's handler for 32-bit programs).
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# pkg-config (which FindOpenSSL asks first) describes the host's 64-bit libraries unless pointed at the
# i386 ones.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
