// Whether a C++ exception can pass between the library and the test program.
//
// 32-bit MinGW unwinds with DWARF tables that each module registers with its own copy of libgcc, and
// doip.dll and the test programs each link libgcc in: an exception thrown in one of them cannot be unwound
// through the other's frames. (64-bit Windows unwinds with the system's tables and has no such limit.)
#ifndef DOIP_TESTS_DLL_EXCEPTIONS_H
#define DOIP_TESTS_DLL_EXCEPTIONS_H

#include <gtest/gtest.h>

#include <stdexcept>

#if defined(_WIN32) && !defined(__SEH__) && !defined(__USING_SJLJ_EXCEPTIONS__)
#define DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY()                                                   \
    GTEST_SKIP() << "exceptions cannot cross doip.dll here (DWARF unwinding, libgcc linked into each " \
                    "module)"
#else
#define DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY() static_cast<void>(0)
#endif

#endif
