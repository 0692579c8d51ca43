// Independent check of the vectors: Wireshark's DoIP dissector (tshark) must find the built values in every
// message as its encoder writes it, with no malformed packet and no expert info. Vehicle identification goes
// over UDP, the rest as one TCP stream; with the UDS dissector off, user data stays data.data.
#include "doip.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include "codec/message_vectors.h"
#include "support/tshark.h"

namespace {
using namespace codec_test;

const std::string kFields =
    "doip.version doip.inverse doip.type doip.length doip.source_address doip.target_address "
    "doip.tester_logical_address doip.logical_address doip.response_code doip.activation_type "
    "doip.reserved_iso doip.reserved_oem doip.diag_ack_code doip.diag_nack_code doip.previous data.data "
    "doip.vin doip.eid doip.gid doip.futher_action doip.sync_status doip.node_type doip.max_sockets "
    "doip.sockets doip.max_data_size doip.power_mode _ws.malformed _ws.expert";

// The line tshark prints for frame `frame`: the fields of the generic header and of `dissected`
// ("field=value ...") in the columns of kFields, every other column empty.
std::string expected_line(int frame, const Bytes& m, const std::string& dissected) {
    char header[128];
    std::snprintf(header, sizeof header,
                  "doip.version=0x%02x doip.inverse=0x%02x doip.type=0x%02x%02x doip.length=%u ", m[0], m[1],
                  m[2], m[3], unsigned(m[4] << 24 | m[5] << 16 | m[6] << 8 | m[7]));
    std::map<std::string, std::string> values;
    std::istringstream pairs(header + dissected);
    for (std::string pair; pairs >> pair;) {
        values[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
    }
    std::string line = std::to_string(frame);
    std::istringstream fields(kFields);
    for (std::string field; fields >> field;) {
        line += "\t" + values[field];
    }
    return line;
}

// Every vector of one transport through the dissector at once, compared line by line.
void check(bool udp) {
    std::vector<Bytes> messages;
    std::vector<std::string> expected;
    for (const Vector& v : vectors()) {
        const Bytes message = hex(v.message);
        if ((message[2] == 0 && message[3] <= 4) != udp) {
            continue;
        }
        Block record = v.build(kAddressing);
        Bytes bytes(v.capacity);
        EXPECT_EQ(v.encode(&record, bytes.data(), v.capacity), DOIP_OK);
        bytes.resize(message.size());
        messages.push_back(bytes);
        expected.push_back(expected_line(int(expected.size()) + 1, message, v.dissected));
    }
    EXPECT_EQ(doip_test::dissect(messages, udp, kFields), expected);
}

TEST(WiresharkDissector, FindsTheBuiltValuesInEveryEncodedMessage) {
    DOIP_REQUIRE_TSHARK();
    check(true);
    check(false);
}
}  // namespace
