// Independent check of the vectors: Wireshark's DoIP dissector (tshark) must find the built values in every
// message as its encoder writes it, with no malformed packet and no expert info. Vehicle identification goes
// over UDP, the rest as one TCP stream; with the UDS dissector off, user data stays data.data.
#include "doip.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include "codec/message_vectors.h"

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

// Hands text2pcap one hex dump line per message, each at offset 0, and compares what tshark reads.
void check(bool udp) {
    if (std::system("command -v tshark >/dev/null && command -v text2pcap >/dev/null") != 0) {
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
            FAIL() << "tshark and text2pcap are required in CI but were not found on PATH";
        }
        GTEST_SKIP() << "tshark or text2pcap not found; install the Debian package tshark to run this check";
    }
    std::string command = "printf '%s\\n'";
    std::vector<std::string> expected;
    for (const Vector& v : vectors()) {
        const Bytes message = hex(v.message);
        if ((message[2] == 0 && message[3] <= 4) != udp) {
            continue;
        }
        Block record = v.build(kAddressing);
        Bytes bytes(v.capacity);
        EXPECT_EQ(v.encode(&record, bytes.data(), v.capacity), DOIP_OK);
        command += " '000000";
        for (size_t i = 0; i < message.size(); ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02x", bytes[i]);
            command += byte;
        }
        command += "'";
        expected.push_back(expected_line(int(expected.size()) + 1, message, v.dissected));
    }
    command += std::string(" | text2pcap -q ") + (udp ? "-u" : "-T") +
               " 13400,13400 - - | tshark -n -r - --disable-protocol uds -T fields -E separator=/t" +
               " -E occurrence=a -E aggregator=, -e frame.number";
    std::istringstream fields(kFields);
    for (std::string field; fields >> field;) {
        command += " -e " + field;
    }
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> lines;
    for (char line[4096]; std::fgets(line, sizeof line, pipe) != nullptr;) {
        lines.emplace_back(line, std::strcspn(line, "\n"));
    }
    ASSERT_EQ(pclose(pipe), 0) << "text2pcap or tshark failed";
    EXPECT_EQ(lines, expected);
}

TEST(WiresharkDissector, FindsTheBuiltValuesInEveryEncodedMessage) {
    check(true);
    check(false);
}
}  // namespace
