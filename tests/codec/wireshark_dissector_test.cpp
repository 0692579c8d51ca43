// Independent check of the encoders: Wireshark's DoIP dissector (tshark) reads every message vector as its
// encoder and its request builder write it, and must find exactly the values it was built from, with no
// malformed packet and no expert info of any severity. Vehicle identification travels over UDP, everything
// else as one TCP stream whose segments text2pcap numbers in sequence, so none looks lost or out of order.
// The UDS dissector is off, so the user data of a diagnostic message stays data.data.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/message_vectors.h"

namespace {

using namespace codec_test;

// Keeps empty parts, so that empty tshark columns keep their place.
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

const std::vector<std::string> kFields = split(
    "doip.version doip.inverse doip.type doip.length doip.source_address doip.target_address "
    "doip.tester_logical_address doip.logical_address doip.response_code doip.activation_type "
    "doip.reserved_iso doip.reserved_oem doip.diag_ack_code doip.diag_nack_code doip.previous data.data "
    "doip.vin doip.eid doip.gid doip.futher_action doip.sync_status doip.node_type doip.max_sockets "
    "doip.sockets doip.max_data_size doip.power_mode _ws.malformed _ws.expert",
    ' ');
// Compared as text (bytes as lower-case hex); all other fields as numbers.
const std::set<std::string> kTextFields = {"doip.vin",  "doip.eid",      "doip.gid",  "doip.previous",
                                           "data.data", "_ws.malformed", "_ws.expert"};

// Expected dissector fields of one message; a field of kFields missing here must be absent.
using Fields = std::map<std::string, std::string>;

struct WireMessage {
    std::string name;
    Bytes bytes;
    Fields fields;
};

// The fields of `message`'s generic header, and the "field=value" pairs of `more`.
Fields expected_fields(const Bytes& message, const std::string& more) {
    const uint32_t length = message[4] << 24 | message[5] << 16 | message[6] << 8 | message[7];
    std::istringstream in("doip.version=" + std::to_string(message[0]) +
                          " doip.inverse=" + std::to_string(message[1]) +
                          " doip.type=" + std::to_string(message[2] << 8 | message[3]) +
                          " doip.length=" + std::to_string(length) + " " + more);
    Fields fields;
    for (std::string pair; in >> pair;) {
        fields[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
    }
    return fields;
}

// The vehicle identification messages (UDP) or all others (TCP): every message vector as its encoder
// writes it, and as the request builder for that message writes it.
std::vector<WireMessage> messages(bool udp) {
    static doip_s ctx;
    doip_init(&ctx);
    const std::map<std::string, std::function<int(uint8_t*, uint32_t)>> builders = {
        {"VehicleIdRequest", [](auto* o, auto n) { return doip_vid_request(&ctx, o, n); }},
        {"VehicleIdEidRequest", [](auto* o, auto n) { return doip_vid_eid_request(&ctx, kEid, 6, o, n); }},
        {"VehicleIdVinRequest", [](auto* o, auto n) { return doip_vid_vin_request(&ctx, kVin, 17, o, n); }},
        {"DiagnosticMessage", [](auto* o, auto n) { return doip_diag_request(&ctx, kUds, 3, o, n); }}};
    std::vector<WireMessage> m;
    for (const Vector& v : vectors()) {
        const Bytes message = hex(v.message);
        if ((message[2] == 0 && message[3] <= 4) != udp) {
            continue;
        }
        Block record = v.build(kAddressing);
        Bytes bytes(64);
        EXPECT_EQ(v.encode(&record, bytes.data(), 64), DOIP_OK);
        bytes.resize(message.size());
        const Fields fields = expected_fields(message, v.dissected);
        m.push_back({v.name, bytes, fields});
        if (const auto builder = builders.find(v.name); builder != builders.end()) {
            bytes.assign(64, 0);
            EXPECT_EQ(builder->second(bytes.data(), 64), DOIP_OK);
            bytes.resize(message.size());
            m.push_back({v.name + " from its request builder", bytes, fields});
        }
    }
    return m;
}

// The standard output of a shell command; `status` receives its exit status.
std::string run(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; pipe != nullptr && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) {
        output.append(buf, n);
    }
    *status = pipe == nullptr ? -1 : pclose(pipe);
    return output;
}

// tshark prints hex-based numbers as 0x.., others in decimal; both become decimal text here.
std::string normalise(const std::string& field, const std::string& value) {
    if (value.empty() || kTextFields.count(field) != 0) {
        return value;
    }
    char* end = nullptr;
    const unsigned long long v = std::strtoull(value.c_str(), &end, 0);
    return *end == '\0' ? std::to_string(v) : "unparsable: " + value;
}

class WiresharkDissector : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v tshark >/dev/null && command -v text2pcap >/dev/null") != 0) {
            if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
                FAIL() << "tshark and text2pcap are required in CI but were not found on PATH";
            }
            GTEST_SKIP()
                << "tshark or text2pcap not found; install the Debian package tshark to run this check";
        }
    }

    // Hands text2pcap one hex dump line per message, each at offset 0, and compares what tshark reads.
    void check(const std::vector<WireMessage>& messages, const std::string& transport) {
        std::string command = "printf '%s\\n'";
        char byte[4];
        for (const WireMessage& m : messages) {
            command += " '000000";
            for (uint8_t b : m.bytes) {
                std::snprintf(byte, sizeof byte, " %02x", b);
                command += byte;
            }
            command += "'";
        }
        command += " | text2pcap -q " + transport +
                   " 13400,13400 - - | tshark -n -r - --disable-protocol uds" +
                   " -T fields -E header=n -E separator=/t -E occurrence=a -E aggregator=, -e frame.number";
        for (const std::string& field : kFields) {
            command += " -e " + field;
        }
        int status = 0;
        const std::string output = run(command, &status);
        ASSERT_EQ(status, 0) << "text2pcap or tshark failed";
        std::vector<std::string> lines = split(output, '\n');
        lines.pop_back();  // after the last newline
        ASSERT_EQ(lines.size(), messages.size()) << "one line per packet expected, got:\n" << output;
        for (size_t i = 0; i < messages.size(); ++i) {
            SCOPED_TRACE(messages[i].name);
            const std::vector<std::string> columns = split(lines[i], '\t');
            ASSERT_EQ(columns.size(), kFields.size() + 1) << lines[i];
            EXPECT_EQ(columns[0], std::to_string(i + 1));
            for (size_t f = 0; f < kFields.size(); ++f) {
                const auto want = messages[i].fields.find(kFields[f]);
                const std::string expected = want == messages[i].fields.end() ? "" : want->second;
                EXPECT_EQ(normalise(kFields[f], columns[f + 1]), normalise(kFields[f], expected))
                    << "field " << kFields[f];
            }
        }
    }
};

TEST_F(WiresharkDissector, VehicleIdentificationOverUdpMatchesTheBuiltValues) {
    check(messages(true), "-u");
}

TEST_F(WiresharkDissector, ConnectionMessagesOverTcpMatchTheBuiltValues) {
    check(messages(false), "-T");
}

}  // namespace
