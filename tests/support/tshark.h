// Wireshark's DoIP dissector as an independent reader of the bytes we send: text2pcap turns packets into a
// capture (one packet per frame, in both directions of a conversation) and tshark prints the fields asked
// for, one tab-separated line per frame ("frame.number<TAB>field<TAB>..."), every occurrence of a field
// joined by commas.
#ifndef DOIP_TESTS_SUPPORT_TSHARK_H
#define DOIP_TESTS_SUPPORT_TSHARK_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace doip_test {

// Empty when tshark and text2pcap are on PATH, else why the check cannot run.
inline std::string tshark_missing() {
    if (std::system("command -v tshark >/dev/null && command -v text2pcap >/dev/null") == 0) {
        return {};
    }
    return "tshark or text2pcap not found; install the Debian package tshark to run this check";
}

// Skips the test without tshark, except in CI, where the check must run.
#define DOIP_REQUIRE_TSHARK()                                 \
    do {                                                      \
        const std::string why = doip_test::tshark_missing();  \
        if (!why.empty()) {                                   \
            const char* ci = std::getenv("CI");               \
            if (ci != nullptr && std::string(ci) == "true") { \
                FAIL() << why;                                \
            }                                                 \
            GTEST_SKIP() << why;                              \
        }                                                     \
    } while (false)

// One TCP segment or datagram of a capture: from the tester (outbound) or to it.
struct Packet {
    bool inbound = false;
    std::vector<uint8_t> bytes;
};

// tshark's line per packet for `fields` (space-separated field names), the capture made by text2pcap with
// `text2pcap_options` (ports, direction) and read with `tshark_options`; empty with a test failure when
// the pipeline fails.
inline std::vector<std::string> dissect_packets(const std::vector<Packet>& packets,
                                                const std::string& text2pcap_options,
                                                const std::string& tshark_options,
                                                const std::string& fields) {
    std::string command = "printf '%s\\n'";
    for (const Packet& packet : packets) {
        command += packet.inbound ? " I '000000" : " O '000000";
        for (uint8_t byte : packet.bytes) {
            char text[4];
            std::snprintf(text, sizeof text, " %02x", byte);
            command += text;
        }
        command += "'";
    }
    command += " | text2pcap -q -D " + text2pcap_options + " - - | tshark -n -r - " + tshark_options +
               " -T fields -E separator=/t -E occurrence=a -E aggregator=, -e frame.number";
    std::istringstream names(fields);
    for (std::string field; names >> field;) {
        command += " -e " + field;
    }
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return lines;
    }
    for (char line[4096]; std::fgets(line, sizeof line, pipe) != nullptr;) {
        lines.emplace_back(line, std::strcspn(line, "\n"));
    }
    EXPECT_EQ(pclose(pipe), 0) << "text2pcap or tshark failed";
    return lines;
}

// tshark's line per message for `fields`: each message one frame from port 13400 to port 13400 (UDP or
// TCP), the UDS dissector off so that diagnostic user data stays data.data.
inline std::vector<std::string> dissect(const std::vector<std::vector<uint8_t>>& messages, bool udp,
                                        const std::string& fields) {
    std::vector<Packet> packets;
    for (const std::vector<uint8_t>& message : messages) {
        packets.push_back(Packet{false, message});
    }
    return dissect_packets(packets, udp ? "-u 13400,13400" : "-T 13400,13400", "--disable-protocol uds",
                           fields);
}

}  // namespace doip_test

#endif
