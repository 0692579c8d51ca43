// Matching UDS responses to requests: what a tester takes as the answer, and what it must not.
#include <gtest/gtest.h>

#include "uds_match.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(UdsMatch, ResponseBelongsToItsRequestOnly) {
    struct Case {
        Bytes request;
        Bytes response;
        bool answers;
    };
    const Case cases[] = {
        {{0x22, 0xF1, 0x90}, {0x62, 0xF1, 0x90, 0x41}, true},
        {{0x22, 0xF1, 0x90}, {0x7F, 0x22, 0x31}, true},
        {{0x3E, 0x00}, {0x7E, 0x00}, true},
        {{0x22, 0xF1, 0x90}, {0x7F, 0x3E, 0x22}, false},  // a late NRC of an earlier request
        {{0x22, 0xF1, 0x90}, {0x7E, 0x00}, false},
        {{0x22, 0xF1, 0x90}, {0x7F, 0x22}, false},  // a negative response needs its NRC
        {{0x22, 0xF1, 0x90}, {}, false},
        {{}, {0x62}, false},
        {{0xFF}, {0x3F}, true},  // the SID wraps like a byte
    };
    for (const Case& c : cases) {
        EXPECT_EQ(doip_tools::answers_request(c.request, c.response), c.answers)
            << testing::PrintToString(c.request) << " / " << testing::PrintToString(c.response);
    }
}

TEST(UdsMatch, PendingAndSuppressedAreRecognised) {
    EXPECT_TRUE(doip_tools::is_response_pending({0x7F, 0x31, 0x78}));
    EXPECT_FALSE(doip_tools::is_response_pending({0x7F, 0x31, 0x22}));
    EXPECT_FALSE(doip_tools::is_response_pending({0x71, 0x78, 0x78}));
    EXPECT_TRUE(doip_tools::response_suppressed({0x3E, 0x80}));
    EXPECT_TRUE(doip_tools::response_suppressed({0x10, 0x83}));
    EXPECT_FALSE(doip_tools::response_suppressed({0x3E, 0x00}));
    EXPECT_FALSE(doip_tools::response_suppressed({0x22, 0xF1, 0x90}));  // a DID, not a sub-function
    EXPECT_FALSE(doip_tools::response_suppressed({0x3E}));
}

}  // namespace
