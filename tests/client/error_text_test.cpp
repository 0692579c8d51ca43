#include "doip.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

namespace {

std::string text_of(int code, int capacity = 512) {
    std::string buf(static_cast<size_t>(capacity), '\x7F');
    int len = capacity;
    EXPECT_EQ(get_doip_err_str(code, buf.data(), &len), DOIP_OK);
    EXPECT_EQ(buf[static_cast<size_t>(len)], '\0');
    return buf.substr(0, static_cast<size_t>(len));
}

TEST(ErrorText, RoutingActivationCodesHaveTheirChineseTexts) {
    EXPECT_EQ(text_of(0x1001), "路由激活由于未知源地址而被拒绝");
    EXPECT_EQ(text_of(0x1001).size(), 45u);
    EXPECT_EQ(text_of(0x1002), "路由激活被拒绝，因为所有并发支持的TCP_DATA套接字都已注册并处于活动状态");
    EXPECT_EQ(text_of(0x1003), "路由激活被拒绝，因为接收到的SA与已激活TCP_DATA套接字上的表连接条目不同");
    EXPECT_EQ(text_of(0x1004), "路由激活被拒绝，因为SA已经在不同的TCP_DATA套接字上注册并处于活动状态");
    EXPECT_EQ(text_of(0x1005), "路由激活由于缺少认证而被拒绝");
    EXPECT_EQ(text_of(0x1006), "路由激活由于确认被拒绝而被拒绝");
}

TEST(ErrorText, AllTenCodesHaveDistinctTexts) {
    std::set<std::string> texts;
    for (int code = 0x1001; code <= 0x100A; ++code) {
        const std::string t = text_of(code);
        EXPECT_EQ(t.rfind("unknwon", 0), std::string::npos) << code;
        texts.insert(t);
    }
    EXPECT_EQ(texts.size(), 10u);
}

TEST(ErrorText, OtherCodesGiveTheFallbackWithTheDecimalCode) {
    EXPECT_EQ(text_of(0), "unknwon err code: 0");
    EXPECT_EQ(text_of(0).size(), 19u);
    EXPECT_EQ(text_of(-26), "unknwon err code: -26");
    EXPECT_EQ(text_of(-29).size(), 21u);
    EXPECT_EQ(text_of(0x1000), "unknwon err code: 4096");
    EXPECT_EQ(text_of(0x100B), "unknwon err code: 4107");
    EXPECT_EQ(text_of(INT_MIN), "unknwon err code: -2147483648");
}

TEST(ErrorTextCut, CapacityOneWritesOnlyTheTerminator) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    int len = 1;
    EXPECT_EQ(get_doip_err_str(0x1001, buf, &len), DOIP_OK);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'x');
}

TEST(ErrorTextCut, CutIsByteWiseEvenInsideAUtf8Character) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    int len = 10;
    EXPECT_EQ(get_doip_err_str(0x1001, buf, &len), DOIP_OK);
    EXPECT_EQ(len, 9);
    EXPECT_EQ(std::string(buf, 9), "路由激");
    EXPECT_EQ(buf[9], '\0');
    EXPECT_EQ(buf[10], 'x');

    len = 8;  // 7 bytes: two whole characters and the first byte of the third
    EXPECT_EQ(get_doip_err_str(0x1001, buf, &len), DOIP_OK);
    EXPECT_EQ(len, 7);
    EXPECT_EQ(std::string(buf, 7), std::string("路由激").substr(0, 7));
}

TEST(ErrorTextCut, FallbackTextIsCutToo) {
    char buf[8];
    int len = 8;
    EXPECT_EQ(get_doip_err_str(-29, buf, &len), DOIP_OK);
    EXPECT_EQ(len, 7);
    EXPECT_STREQ(buf, "unknwon");
}

TEST(ErrorTextArguments, BadArgumentsGiveMinusOneAndWriteNothing) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    int len = 0;
    EXPECT_EQ(get_doip_err_str(0x1001, buf, &len), DOIP_ERR_GENERAL);
    EXPECT_EQ(len, 0);
    len = -5;
    EXPECT_EQ(get_doip_err_str(0x1001, buf, &len), DOIP_ERR_GENERAL);
    EXPECT_EQ(len, -5);
    EXPECT_EQ(buf[0], 'x');
    len = 4;
    EXPECT_EQ(get_doip_err_str(0x1001, nullptr, &len), DOIP_ERR_GENERAL);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(get_doip_err_str(0x1001, buf, nullptr), DOIP_ERR_GENERAL);
    EXPECT_EQ(buf[0], 'x');
}

}  // namespace
