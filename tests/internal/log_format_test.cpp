// The log line formatter is internal; this program compiles it in directly.
#include "client/hooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

size_t format(char (&buf)[doip::detail::kLogLineSize], const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const size_t n = doip::detail::format_log_line(buf, fmt, args);
    va_end(args);
    return n;
}

TEST(LogFormat, ShortLinesKeepTheirFullLength) {
    char buf[doip::detail::kLogLineSize];
    const size_t n = format(buf, "创建TCP链接%s:%d", "10.0.0.2", 12345);
    EXPECT_EQ(std::string(buf), "创建TCP链接10.0.0.2:12345");
    EXPECT_EQ(n, std::strlen(buf));
}

TEST(LogFormat, LongLinesAreCutAt1023BytesEvenInsideAUtf8Character) {
    // 400 three-byte characters: 1200 bytes, so the cut falls inside character 342.
    std::string long_text;
    for (int i = 0; i < 400; ++i) {
        long_text += "路";
    }
    char buf[doip::detail::kLogLineSize];
    const size_t n = format(buf, "%s", long_text.c_str());
    EXPECT_EQ(n, 1023u);
    EXPECT_EQ(buf[1023], '\0');
    EXPECT_EQ(std::string(buf, 1023), long_text.substr(0, 1023));
}

int g_calls = 0;
int g_level = 0;
std::string g_text;
uint32_t g_length = 0;

int capture(int level, const char* text, uint32_t length) {
    ++g_calls;
    g_level = level;
    g_text = text;
    g_length = length;
    return 0;
}

TEST(LogLine, HookReceivesLevelTwoTheTextAndItsLengthWithoutTheNul) {
    doip_set_logger_ops(capture);
    doip::detail::log_line("路由激活失败,%s", "Unkown Error");
    doip_set_logger_ops(nullptr);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_level, 2);
    EXPECT_EQ(g_text, "路由激活失败,Unkown Error");
    EXPECT_EQ(g_length, g_text.size());
}

TEST(LogLine, NoHookNoCall) {
    g_calls = 0;
    doip_set_logger_ops(nullptr);
    doip::detail::log_line("x");
    EXPECT_EQ(g_calls, 0);
}

}  // namespace
