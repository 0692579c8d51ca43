#include "doip.h"

#include <gtest/gtest.h>
#include <climits>
#include <set>
#include <string>

namespace {
// Each text in a buffer of its capacity plus one guard byte: the text, then the NUL, nothing beyond.
TEST(ErrorText, CodesGiveTheirTextsCutByteWiseToTheCapacity) {
    const struct {
        int code, capacity;
        std::string text;
    } cases[] = {
        {0x1001, 512, "路由激活由于未知源地址而被拒绝"},
        {0x1002, 512, "路由激活被拒绝，因为所有并发支持的TCP_DATA套接字都已注册并处于活动状态"},
        {0x1003, 512, "路由激活被拒绝，因为接收到的SA与已激活TCP_DATA套接字上的表连接条目不同"},
        {0x1004, 512, "路由激活被拒绝，因为SA已经在不同的TCP_DATA套接字上注册并处于活动状态"},
        {0x1005, 512, "路由激活由于缺少认证而被拒绝"},
        {0x1006, 512, "路由激活由于确认被拒绝而被拒绝"},
        {0, 512, "unknwon err code: 0"},
        {-26, 512, "unknwon err code: -26"},
        {0x1000, 512, "unknwon err code: 4096"},
        {0x100B, 512, "unknwon err code: 4107"},
        {INT_MIN, 512, "unknwon err code: -2147483648"},
        {0x1001, 1, ""},
        {0x1001, 10, "路由激"},
        {0x1001, 8, std::string("路由激").substr(0, 7)},  // ends inside a UTF-8 character
        {-29, 8, "unknwon"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        std::string buf(static_cast<size_t>(c.capacity) + 1, 'x');
        int len = c.capacity;
        ASSERT_EQ(get_doip_err_str(c.code, buf.data(), &len), DOIP_OK);
        EXPECT_EQ(buf, c.text + '\0' + std::string(static_cast<size_t>(c.capacity) - c.text.size(), 'x'));
        EXPECT_EQ(len, static_cast<int>(c.text.size()));
    }
    std::set<std::string> texts;  // the ten routing activation codes, each with a text of its own
    for (int code = 0x1001; code <= 0x100A; ++code) {
        char buf[512];
        int len = sizeof buf;
        ASSERT_EQ(get_doip_err_str(code, buf, &len), DOIP_OK);
        EXPECT_NE(std::string(buf).rfind("unknwon", 0), 0u) << code;
        texts.insert(buf);
    }
    EXPECT_EQ(texts.size(), 10u);
    // Bad arguments give -1 and write nothing.
    char buf[4] = {'x', 'x', 'x', 'x'};
    for (int capacity : {0, -5}) {
        int len = capacity;
        EXPECT_EQ(get_doip_err_str(0x1001, buf, &len), DOIP_ERR_GENERAL);
        EXPECT_EQ(len, capacity);
    }
    int len = 4;
    EXPECT_EQ(get_doip_err_str(0x1001, nullptr, &len), DOIP_ERR_GENERAL);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(get_doip_err_str(0x1001, buf, nullptr), DOIP_ERR_GENERAL);
    EXPECT_EQ(std::string(buf, 4), "xxxx");
}
}  // namespace
