// Whether a C++ exception can pass between the library and the test program: not on 32-bit MinGW, where
// doip.dll and each program register their DWARF unwind tables with their own copy of libgcc.
#ifndef DOIP_TESTS_DLL_EXCEPTIONS_H
#define DOIP_TESTS_DLL_EXCEPTIONS_H

#include <gtest/gtest.h>

#include <stdexcept>

#if defined(_WIN32) && !defined(__SEH__) && !defined(__USING_SJLJ_EXCEPTIONS__)
#define DOIP_EXCEPTIONS_CROSS_THE_LIBRARY 0
#define DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY() GTEST_SKIP() << "exceptions cannot cross doip.dll here"
#else
#define DOIP_EXCEPTIONS_CROSS_THE_LIBRARY 1
#define DOIP_REQUIRE_EXCEPTIONS_ACROSS_THE_LIBRARY() static_cast<void>(0)
#endif

#endif
