// Independent check of the encoders: one message of every payload type the library builds (with and
// without each optional field, from the record functions and from the request builders) goes into a
// capture made by text2pcap, and Wireshark's DoIP dissector (tshark) must read back exactly the values the
// message was built from, with no malformed packet and no expert info of any severity.
//
// Vehicle identification (0x0001-0x0004) travels over UDP port 13400, everything else over TCP port 13400.
// The DoIP dissector reassembles TCP streams, so every message is one segment of a single stream and the
// segments' sequence numbers follow on from each other (text2pcap numbers them that way); no segment looks
// lost, retransmitted or out of order. The UDS dissector is switched off so that the user data of a
// diagnostic message stays plain bytes (data.data) that we can compare, whatever the UDS service.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

namespace fs = std::filesystem;
using codec_test::Bytes;
using codec_test::RequestPtr;
using codec_test::ResponsePtr;

// Expected dissector fields of one message: field name -> value. Numbers are compared as numbers,
// byte fields as lower-case hex, the VIN as text. A field of kFields missing here must be absent.
using Fields = std::map<std::string, std::string>;

struct WireMessage {
    std::string name;
    Bytes bytes;
    Fields fields;
};

const std::vector<std::string> kFields = {
    "doip.version",
    "doip.inverse",
    "doip.type",
    "doip.length",
    "doip.source_address",
    "doip.target_address",
    "doip.tester_logical_address",
    "doip.logical_address",
    "doip.response_code",
    "doip.activation_type",
    "doip.reserved_iso",
    "doip.reserved_oem",
    "doip.diag_ack_code",
    "doip.diag_nack_code",
    "doip.previous",
    "data.data",
    "doip.vin",
    "doip.eid",
    "doip.gid",
    "doip.futher_action",
    "doip.sync_status",
    "doip.node_type",
    "doip.max_sockets",
    "doip.sockets",
    "doip.max_data_size",
    "doip.power_mode",
    "_ws.malformed",
    "_ws.expert",
};

const std::set<std::string> kTextFields = {"doip.vin",  "doip.eid",      "doip.gid",  "doip.previous",
                                           "data.data", "_ws.malformed", "_ws.expert"};

const char kVin[] = "WVWZZZ1JZXW000001";
const uint8_t kEid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const uint8_t kGid[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
const doip_addressing_s kAddressing = codec_test::addressing();

std::string num(uint64_t v) {
    return std::to_string(v);
}

std::string hex_text(const uint8_t* p, size_t n) {
    std::string out;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        out += buf;
    }
    return out;
}

Fields header(uint16_t type, uint32_t length) {
    return {{"doip.version", "2"},
            {"doip.inverse", num(0xFD)},
            {"doip.type", num(type)},
            {"doip.length", num(length)}};
}

Fields with(Fields a, const Fields& b) {
    a.insert(b.begin(), b.end());
    return a;
}

template <typename Record>
Bytes encode(const Record& record, int (*serialize)(const Record*, uint8_t*, uint32_t), uint32_t capacity,
             uint32_t size) {
    Bytes out(capacity);
    EXPECT_EQ(serialize(&record, out.data(), capacity), DOIP_OK);
    out.resize(size);
    return out;
}

std::vector<WireMessage> udp_messages() {
    std::vector<WireMessage> m;
    const auto* vin = reinterpret_cast<const uint8_t*>(kVin);
    doip_vehicle_id_request_s request{};
    doip_vehicle_id_request_init(&kAddressing, &request);
    m.push_back(
        {"vehicle id request", encode(request, doip_vehicle_id_request_serilize, 8, 8), header(0x0001, 0)});
    doip_vehicle_id_eid_request_init(&kAddressing, &request, kEid);
    m.push_back({"vehicle id request with EID", encode(request, doip_vehicle_id_request_serilize, 14, 14),
                 with(header(0x0002, 6), {{"doip.eid", hex_text(kEid, 6)}})});
    doip_vehicle_id_vin_request_init(&kAddressing, &request, vin);
    m.push_back({"vehicle id request with VIN", encode(request, doip_vehicle_id_request_serilize, 25, 25),
                 with(header(0x0003, 17), {{"doip.vin", kVin}})});

    doip_s ctx;
    doip_init(&ctx);
    Bytes built(25);
    EXPECT_EQ(doip_vid_request(&ctx, built.data(), 8), DOIP_OK);
    m.push_back({"doip_vid_request", Bytes(built.begin(), built.begin() + 8), header(0x0001, 0)});
    EXPECT_EQ(doip_vid_eid_request(&ctx, kEid, 6, built.data(), 14), DOIP_OK);
    m.push_back({"doip_vid_eid_request", Bytes(built.begin(), built.begin() + 14),
                 with(header(0x0002, 6), {{"doip.eid", hex_text(kEid, 6)}})});
    EXPECT_EQ(doip_vid_vin_request(&ctx, kVin, 17, built.data(), 25), DOIP_OK);
    m.push_back({"doip_vid_vin_request", built, with(header(0x0003, 17), {{"doip.vin", kVin}})});

    for (uint8_t has_sync : {1, 0}) {
        vehicle_id_response_s response{};
        doip_vehicle_id_response_init(&kAddressing, &response, vin, 0x1001, kEid, kGid, 0x10, has_sync, 0x10);
        Fields fields = with(header(0x0004, 32u + has_sync), {{"doip.vin", kVin},
                                                              {"doip.logical_address", num(0x1001)},
                                                              {"doip.eid", hex_text(kEid, 6)},
                                                              {"doip.gid", hex_text(kGid, 6)},
                                                              {"doip.futher_action", num(0x10)}});
        if (has_sync) {
            fields["doip.sync_status"] = num(0x10);
        }
        m.push_back(
            {has_sync ? "vehicle id response with sync status" : "vehicle id response without sync status",
             encode(response, doip_vehicle_id_response_serilize, 41, 40u + has_sync), fields});
    }
    return m;
}

std::vector<WireMessage> tcp_messages() {
    std::vector<WireMessage> m;
    for (uint8_t has_oem : {1, 0}) {
        doip_routing_activation_request_s request{};
        doip_routing_activation_request_init(&kAddressing, &request, 0x0E80, has_oem ? 0x01 : 0xE0, has_oem,
                                             0x12345678);
        Fields fields =
            with(header(0x0005, has_oem ? 11 : 7), {{"doip.source_address", num(0x0E80)},
                                                    {"doip.activation_type", num(has_oem ? 0x01 : 0xE0)},
                                                    {"doip.reserved_iso", "0"}});
        if (has_oem) {
            fields["doip.reserved_oem"] = num(0x12345678);
        }
        m.push_back(
            {has_oem ? "routing activation request with OEM" : "routing activation request without OEM",
             encode(request, doip_routing_activation_request_serilize, 19, has_oem ? 19 : 15), fields});

        doip_routing_activation_response_s response{};
        doip_routing_activation_response_init(&kAddressing, &response, 0x0E80, 0x1001, has_oem ? 0x10 : 0x06,
                                              has_oem, 0xABCDEF01);
        // The dissector shows the entity's address as the message's source address.
        fields = with(header(0x0006, has_oem ? 13 : 9), {{"doip.tester_logical_address", num(0x0E80)},
                                                         {"doip.source_address", num(0x1001)},
                                                         {"doip.response_code", num(has_oem ? 0x10 : 0x06)},
                                                         {"doip.reserved_iso", "0"}});
        if (has_oem) {
            fields["doip.reserved_oem"] = num(0xABCDEF01);
        }
        m.push_back(
            {has_oem ? "routing activation response with OEM" : "routing activation response without OEM",
             encode(response, doip_routing_activation_response_serilize, 21, has_oem ? 21 : 17), fields});
    }

    doip_package_s bare{};
    doip_alive_check_request_init(&kAddressing, &bare);
    m.push_back(
        {"alive check request", encode(bare, doip_alive_check_request_serilize, 8, 8), header(0x0007, 0)});
    doip_alive_check_response_s alive{};
    doip_alive_check_response_init(&kAddressing, &alive, 0x0E80);
    m.push_back({"alive check response", encode(alive, doip_alive_check_response_serilize, 10, 10),
                 with(header(0x0008, 2), {{"doip.source_address", num(0x0E80)}})});
    doip_entity_status_request_init(&kAddressing, &bare);
    m.push_back({"entity status request", encode(bare, doip_entity_status_request_serilize, 8, 8),
                 header(0x4001, 0)});
    for (uint8_t has_max : {1, 0}) {
        doip_entity_status_response_s status{};
        doip_entity_status_response_init(&kAddressing, &status, 0x01, 16, 3, has_max, 4096);
        Fields fields = with(header(0x4002, has_max ? 7 : 3),
                             {{"doip.node_type", "1"}, {"doip.max_sockets", "16"}, {"doip.sockets", "3"}});
        if (has_max) {
            fields["doip.max_data_size"] = "4096";
        }
        m.push_back({has_max ? "entity status response with max data size"
                             : "entity status response without max data size",
                     encode(status, doip_entity_status_response_serilize, 15, has_max ? 15 : 11), fields});
    }
    doip_power_mode_request_init(&kAddressing, &bare);
    m.push_back(
        {"power mode request", encode(bare, doip_power_mode_request_serilize, 8, 8), header(0x4003, 0)});
    doip_power_mode_response_s power{};
    doip_power_mode_response_init(&kAddressing, &power, 0x01);
    m.push_back({"power mode response", encode(power, doip_power_mode_response_serilize, 9, 9),
                 with(header(0x4004, 1), {{"doip.power_mode", "1"}})});

    const Bytes uds = {0x22, 0xF1, 0x90};
    const Fields diag_addresses = {{"doip.source_address", num(0x0EF5)},
                                   {"doip.target_address", num(0x0CE1)}};
    RequestPtr diag(doip_diag_msg_request_create(3));
    doip_diag_msg_request_init(&kAddressing, diag.get(), uds.data(), 3);
    Bytes out(15);
    EXPECT_EQ(doip_diag_msg_request_serilize(diag.get(), out.data(), 15), DOIP_OK);
    m.push_back({"diagnostic message", out,
                 with(with(header(0x8001, 7), diag_addresses), {{"data.data", "22f190"}})});
    doip_s ctx;
    doip_init(&ctx);
    const Bytes session = {0x10, 0x03};
    out.assign(14, 0);
    EXPECT_EQ(doip_diag_request(&ctx, session.data(), 2, out.data(), 14), DOIP_OK);
    m.push_back(
        {"doip_diag_request", out, with(with(header(0x8001, 6), diag_addresses), {{"data.data", "1003"}})});

    struct Ack {
        const char* name;
        bool positive;
        uint8_t code;
        Bytes echo;
    };
    for (const Ack& a :
         {Ack{"positive ack without echo", true, 0x00, {}}, Ack{"positive ack with echo", true, 0x00, uds},
          Ack{"negative ack with echo", false, 0x02, uds}}) {
        const auto n = static_cast<uint32_t>(a.echo.size());
        ResponsePtr ack(doip_diag_msg_response_create(n));
        if (a.positive) {
            doip_diag_msg_ack_response_init(&kAddressing, ack.get(), a.code, a.echo.data(), n);
        } else {
            doip_diag_msg_nack_response_init(&kAddressing, ack.get(), a.code, a.echo.data(), n);
        }
        out.assign(13 + n, 0);
        EXPECT_EQ(doip_diag_msg_response_serilize(ack.get(), out.data(), 13 + n), DOIP_OK);
        Fields fields = with(header(a.positive ? 0x8002 : 0x8003, 5 + n), diag_addresses);
        fields[a.positive ? "doip.diag_ack_code" : "doip.diag_nack_code"] = num(a.code);
        if (n != 0) {
            fields["doip.previous"] = hex_text(a.echo.data(), n);
        }
        m.push_back({a.name, out, fields});
    }
    return m;
}

bool tool_available(const char* tool) {
    const std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Runs a shell command and returns its standard output; `status` receives the exit status.
std::string run(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return output;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        output.append(buf, n);
    }
    *status = pclose(pipe);
    return output;
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary directory that is removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::random_device random;
        std::error_code error;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path(error) / ("doip_wireshark_" + std::to_string(random()));
            if (!error && fs::create_directory(candidate, error)) {
                path_ = candidate;
            }
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) {
            fs::remove_all(path_, ignored);
        }
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// text2pcap's hex dump input: each packet restarts at offset 0, 16 bytes a line.
void write_hexdump(const fs::path& file, const std::vector<WireMessage>& messages) {
    std::ofstream out(file);
    char buf[24];
    for (const WireMessage& m : messages) {
        for (size_t i = 0; i < m.bytes.size(); ++i) {
            if (i % 16 == 0) {
                std::snprintf(buf, sizeof buf, "%06zx", i);
                out << (i == 0 ? "" : "\n") << buf;
            }
            std::snprintf(buf, sizeof buf, " %02x", m.bytes[i]);
            out << buf;
        }
        out << "\n";
    }
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == separator) {
        parts.emplace_back();
    }
    return parts;
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
        for (const char* tool : {"tshark", "text2pcap"}) {
            if (!tool_available(tool)) {
                const char* ci = std::getenv("CI");
                if (ci != nullptr && std::string(ci) == "true") {
                    FAIL() << tool << " is required in CI but was not found on PATH";
                }
                GTEST_SKIP() << tool
                             << " not found on PATH; install the Debian package tshark to run this check";
            }
        }
        ASSERT_FALSE(dir_.path().empty()) << "cannot create a temporary directory";
    }

    // Writes the messages into one capture, decodes it and compares every message's fields.
    void check(const std::vector<WireMessage>& messages, const std::string& transport,
               const std::string& stem) {
        const fs::path hexdump = dir_.path() / (stem + ".txt");
        const fs::path capture = dir_.path() / (stem + ".pcapng");
        const fs::path errors = dir_.path() / (stem + ".err");
        write_hexdump(hexdump, messages);
        int status = 0;
        run("text2pcap -q " + transport + " 13400,13400 " + quoted(hexdump) + " " + quoted(capture) + " 2>" +
                quoted(errors),
            &status);
        ASSERT_EQ(status, 0) << "text2pcap failed: " << read_file(errors);

        std::string command = "tshark -n -r " + quoted(capture) +
                              " --disable-protocol uds -T fields -E header=n -E separator=/t -E occurrence=a"
                              " -E aggregator=, -e frame.number";
        for (const std::string& field : kFields) {
            command += " -e " + field;
        }
        const std::string output = run(command + " 2>" + quoted(errors), &status);
        ASSERT_EQ(status, 0) << "tshark failed: " << read_file(errors);

        const std::vector<std::string> lines =
            split(output.substr(0, output.find_last_not_of('\n') + 1), '\n');
        ASSERT_EQ(lines.size(), messages.size()) << "one line per packet expected, got:\n" << output;
        for (size_t i = 0; i < messages.size(); ++i) {
            SCOPED_TRACE(messages[i].name);
            const std::vector<std::string> columns = split(lines[i], '\t');
            ASSERT_EQ(columns.size(), kFields.size() + 1) << lines[i];
            EXPECT_EQ(columns[0], std::to_string(i + 1));
            for (size_t f = 0; f < kFields.size(); ++f) {
                const std::string& field = kFields[f];
                const auto want = messages[i].fields.find(field);
                const std::string expected =
                    want == messages[i].fields.end() ? "" : normalise(field, want->second);
                EXPECT_EQ(normalise(field, columns[f + 1]), expected) << "field " << field;
            }
        }
    }

    TempDir dir_;
};

TEST_F(WiresharkDissector, VehicleIdentificationOverUdpMatchesTheBuiltValues) {
    check(udp_messages(), "-u", "udp");
}

TEST_F(WiresharkDissector, ConnectionMessagesOverTcpMatchTheBuiltValues) {
    check(tcp_messages(), "-T", "tcp");
}

}  // namespace
