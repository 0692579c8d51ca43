// The tester's session against an entity played by a script: what it does with messages it does not know,
// with a connection that dies while it waits, and with UDS responses that do not answer its request.
#include "e2e_support.h"
#include "wine.h"
#include "scripted_peer.h"
#include "session.h"

namespace doip_e2e {
namespace {

using doip_tools::UdsExchange;
using Outcome = UdsExchange::Outcome;

// The entity's acknowledgement of a request to 0x0CE1, and a diagnostic message of 0x0CE1 with `uds`.
const Bytes kAck = ack(kEntity);
Bytes response(const std::string& uds) {
    return diag(kEntity, uds);
}

class TesterReaction : public E2eTest {
  protected:
    // Long enough that a wait which runs to its end cannot pass for one that ended at once.
    static constexpr uint32_t kLongTimeoutMs = 10000;
    static constexpr int kPromptMs = 3000;

    doip_tools::TesterOptions options(uint16_t port) const {
        doip_tools::TesterOptions o;
        o.port = port;
        o.timeout_ms = kLongTimeoutMs;
        return o;
    }
};

TEST_F(TesterReaction, MessagesOfUnknownPayloadTypeAreSkippedAndTheConnectionGoesOn) {
    ScriptedPeer peer([](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.read();
        const Bytes unknown = hex("02 FD 40 05 00 00 00 03 AA BB CC");
        link.write(Bytes(unknown.begin(), unknown.begin() + 5));
        link.write(Bytes(unknown.begin() + 5, unknown.end()));
        link.write(hex("02 FD 80 00 00 00 00 01 01"));  // an entity's own non-standard type
        link.write(kAck);
        link.write(response("7E 00"));
        link.drain();
    });
    doip_tools::Session session(options(peer.port()));
    ASSERT_EQ(session.activate(), DOIP_OK);
    const UdsExchange x = session.uds({0x3E, 0x00});
    EXPECT_EQ(x.outcome, Outcome::positive) << doip_tools::outcome_name(x.outcome) << " " << x.cause;
    EXPECT_EQ(x.uds, hex("7E 00"));
    EXPECT_TRUE(layer().is_open(1));
    EXPECT_EQ(layer_delta().unknown_payload_types, 2u);
    std::string lines;
    for (const std::string& line : doip_tools::take_log_lines()) {
        lines += line + "\n";
    }
    expect_output(lines,
                  "unknown payload type 0x4005, 3 payload bytes: 02 FD 40 05 00 00 00 03 AA BB CC|unknown "
                  "payload type 0x8000");
}

// What the entity does after reading the diagnostic request, and what the tester then reports.
struct Loss {
    const char* name;
    const char* writes;  // hex, may be empty
    enum { close, reset, stay } then;
    Outcome outcome;
    const char* cause;
    friend void PrintTo(const Loss& c, std::ostream* os) { *os << c.name; }
};

const Loss kLosses[] = {
    {"closed", "", Loss::close, Outcome::connection_lost, "the entity closed the connection"},
    {"closed_after_ack", "02 FD 80 02 00 00 00 05 0C E1 0E F5 00", Loss::close, Outcome::connection_lost,
     "the entity closed the connection"},
    {"reset", "", Loss::reset, Outcome::connection_lost, "the connection was reset"},
    {"cut_mid_message", "02 FD 80 02 00 00 00 05 0C E1", Loss::close, Outcome::connection_lost,
     "the entity closed the connection in the middle of a message"},
    {"version_byte", "03 FD 80 02 00 00 00 05 0C E1 0E F5 00", Loss::stay, Outcome::connection_lost,
     "the entity sent a header with protocol version 0x03 where 0x02 was expected"},
    {"inverse_byte", "02 02 80 02 00 00 00 05 0C E1 0E F5 00", Loss::stay, Outcome::connection_lost,
     "the entity sent a header with inverse protocol version 0x02 where 0xFD was expected"},
    {"not_complement", "AA AA 80 02 00 00 00 05 0C E1 0E F5 00", Loss::stay, Outcome::connection_lost,
     "the entity sent a header with protocol version 0xAA and inverse 0xAA, which is not its complement "
     "(0x02 "
     "was expected)"},
    {"over_long", "02 FD 80 01 00 10 00 00", Loss::stay, Outcome::connection_lost,
     "the entity announced a message of 1048576 payload bytes, more than the maximum of 65536"},
    {"reply_in_version_3", "03 FC 80 02 00 00 00 05 0C E1 0E F5 00", Loss::stay, Outcome::wrong_version,
     "the entity replied with protocol version 0x03 where 0x02 was sent"},
};

class ConnectionLoss : public TesterReaction, public ::testing::WithParamInterface<Loss> {};

TEST_P(ConnectionLoss, EndsTheWaitAtOnceAndNamesTheCause) {
    const Loss& c = GetParam();
    ScriptedPeer peer([&c](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.read();
        if (*c.writes != '\0') {
            link.write(hex(c.writes));
        }
        if (c.then == Loss::close) {
            link.close();
        } else if (c.then == Loss::reset) {
            link.reset();
        } else {
            link.drain();
        }
    });
    doip_tools::Session session(options(peer.port()));
    ASSERT_EQ(session.activate(), DOIP_OK);
    const auto begin = Clock::now();
    const UdsExchange x = session.uds({0x3E, 0x00});
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(kPromptMs));
    EXPECT_EQ(x.outcome, c.outcome) << doip_tools::outcome_name(x.outcome);
    const std::string cause =
        c.then == Loss::reset && under_wine() ? "the entity closed the connection" : c.cause;
    EXPECT_EQ(x.cause, cause);
    EXPECT_EQ(session.connection_lost(), c.outcome == Outcome::connection_lost ? cause : "");
}

INSTANTIATE_TEST_SUITE_P(Ways, ConnectionLoss, ::testing::ValuesIn(kLosses),
                         ::testing::PrintToStringParamName());

// 3E 80 (TesterPresent, positive response suppressed) and then 22 F1 90; the entity answers the first with
// NRC 0x22 at the moment `nrc` says.
struct Suppressed {
    const char* name;
    enum { in_settle_time, before_next_ack, after_next_ack } nrc;
    uint32_t settle_ms;
    Outcome first;
    friend void PrintTo(const Suppressed& c, std::ostream* os) { *os << c.name; }
};

const Suppressed kSuppressed[] = {
    {"nrc_in_settle_time", Suppressed::in_settle_time, 3000, Outcome::negative},
    {"nrc_before_next_ack", Suppressed::before_next_ack, 50, Outcome::no_response_expected},
    {"nrc_after_next_ack", Suppressed::after_next_ack, 50, Outcome::no_response_expected},
};

class SuppressedResponse : public TesterReaction, public ::testing::WithParamInterface<Suppressed> {};

TEST_P(SuppressedResponse, ALateNegativeResponseIsNotTheNextRequestsAnswer) {
    const Suppressed& c = GetParam();
    const Bytes nrc = response("7F 3E 22");
    ScriptedPeer peer([&](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.read();
        link.write(kAck);
        if (c.nrc == Suppressed::in_settle_time) {
            link.write(nrc);
        }
        link.read();
        if (c.nrc == Suppressed::before_next_ack) {
            link.write(nrc);
        }
        link.write(kAck);
        if (c.nrc == Suppressed::after_next_ack) {
            link.write(nrc);
        }
        link.write(response("62 F1 90 01"));
        link.drain();
    });
    doip_tools::TesterOptions o = options(peer.port());
    o.settle_ms = c.settle_ms;
    doip_tools::Session session(o);
    ASSERT_EQ(session.activate(), DOIP_OK);

    const UdsExchange first = session.uds({0x3E, 0x80});
    EXPECT_EQ(first.outcome, c.first) << doip_tools::outcome_name(first.outcome);
    EXPECT_EQ(first.uds, c.first == Outcome::negative ? hex("7F 3E 22") : Bytes{});

    const UdsExchange next = session.uds({0x22, 0xF1, 0x90});
    EXPECT_EQ(next.outcome, Outcome::positive) << doip_tools::outcome_name(next.outcome);
    EXPECT_EQ(next.uds, hex("62 F1 90 01"));
    if (c.first == Outcome::negative) {
        EXPECT_TRUE(next.unsolicited.empty());
    } else {
        ASSERT_EQ(next.unsolicited.size(), 1u);
        EXPECT_EQ(next.unsolicited[0].message, nrc);
        EXPECT_EQ(next.unsolicited[0].earlier_request, hex("3E 80"));
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, SuppressedResponse, ::testing::ValuesIn(kSuppressed),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace doip_e2e
