// One tester connection to a DoIP entity through libdoip and the reference socket layer: the context, the
// routing activation, sending requests and waiting for this connection's replies, UDS exchanges.
#ifndef DOIP_TOOLS_TESTER_SESSION_H
#define DOIP_TOOLS_TESTER_SESSION_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "doip.h"
#include "formatting.h"
#include "socket_layer.h"

namespace doip_tools {

// Generic header, source and target address: what a diagnostic message adds to the UDS bytes.
constexpr uint32_t kDiagnosticHeaderSize = DOIP_HEADER_SIZE + 4;

// The entity's TCP port for plain DoIP, and the one for DoIP over TLS.
constexpr uint16_t kPlainPort = 13400;
constexpr uint16_t kTlsPort = 3496;

struct TesterOptions {
    std::string host = "127.0.0.1";
    uint16_t port = kPlainPort;
    std::string local_address;  // the tester's address to bind; empty: any
    uint16_t source_address = 0x0EF5;
    uint16_t target_address = 0x0CE1;
    uint8_t activation_type = 0x00;
    bool oem_present = true;
    uint32_t oem_value = 0;
    uint8_t protocol_version = 0x02;
    uint32_t timeout_ms = 2000;         // activation wait, ACK wait, response wait (P2), UDP wait
    uint32_t pending_ms = 5000;         // further wait after a response-pending NRC 0x78 (P2*)
    uint32_t pending_total_ms = 60000;  // the most a request is waited for in all, NRC 0x78 or not
    uint32_t settle_ms = 50;  // after a request whose positive response is suppressed: wait for an NRC
    uint32_t connect_timeout_ms = 2000;
    uint8_t channel = 1;
    bool verbose = false;
    // Set: the session's connections are TLS with these settings, never plain TCP instead.
    std::optional<tls::ClientOptions> tls;
};

// doip_init, then the options' addresses, ports and activation settings.
void fill_context(const TesterOptions& options, doip_s* ctx);

// The tester's logger hook: collects the lines of the library and of the socket layer.
int collect_log_line(int level, const char* text, uint32_t length);
// The lines collected since the last call.
std::vector<std::string> take_log_lines();

struct UdsExchange {
    enum class Outcome {
        positive,
        negative,
        no_response_expected,
        nacked,
        generic_nack,
        no_ack,
        no_response,
        send_failed,
        connection_lost,  // the connection ended while the tester waited: `cause`
        wrong_version,    // the entity replied in another protocol version: `cause`
        pending_too_long  // response pending (NRC 0x78) until pending_total_ms ran out: `cause`
    };
    // A response from the target that does not answer this request (a late answer to an earlier one, or
    // one nobody asked for); the wait for this request's answer went on.
    struct Unsolicited {
        std::vector<uint8_t> message;          // the whole 0x8001 message
        std::vector<uint8_t> earlier_request;  // the UDS request it answers, when it answers the previous one
        double ms = 0;
    };
    Outcome outcome = Outcome::no_ack;
    int code = DOIP_OK;                    // send or build failure
    std::vector<uint8_t> request;          // the whole DoIP message sent
    std::vector<uint8_t> acknowledgement;  // the whole 0x8002/0x8003 (or generic NACK) message
    uint8_t ack_code = 0;
    std::vector<uint8_t> response;  // the whole final 0x8001 message from the target
    std::vector<uint8_t> uds;       // its UDS bytes
    uint16_t response_source = 0;
    uint16_t response_target = 0;
    int pending_responses = 0;  // NRC 0x78 responses seen before the final one
    double ack_ms = 0;
    double response_ms = 0;
    std::string cause;  // connection_lost, wrong_version, pending_too_long: what happened, in words
    std::vector<Unsolicited> unsolicited;  // the first kMaxKept of them
    size_t unsolicited_not_kept = 0;       // those that came after
};

// How many unsolicited responses an exchange keeps, and how many skipped messages a session keeps between
// two take_skipped(); the rest are only counted, so that an entity that floods the tester cannot fill its
// memory.
constexpr size_t kMaxKept = 100;

const char* outcome_name(UdsExchange::Outcome outcome);

// A header-only request of the context (entity status 0x4001, power mode 0x4003, else alive check 0x0007).
std::vector<uint8_t> header_only_request(const doip_s& ctx, uint16_t type);

class Session {
  public:
    // Installs the socket layer with connection delivery and the logger hook (process-wide) and initialises
    // the context. Sessions on different channels may run on different threads; each reads only its own
    // connection's queue.
    explicit Session(const TesterOptions& options);
    // close().
    ~Session();

    doip_s& context() { return ctx_; }
    const TesterOptions& options() const { return options_; }
    uint8_t channel() const { return options_.channel; }

    // doip_activate on the session's channel: its result. When the socket layer refused the session's TLS
    // settings, that code (DOIP_SOCKET_ERR_TLS_CONFIG, DOIP_SOCKET_ERR_TLS_UNAVAILABLE) without a
    // connection, activation_failure() naming why. The copy of the entity's routing activation
    // response that the socket layer also put on the application's queue is taken off it:
    // activation_response(). Whether routing is active for this tester says activation_failure().
    int activate();
    // After activate(): why routing is not active for this tester, in words, empty when it is. The library
    // takes the first response on the connection and maps codes its own way (0x03 and reserved codes give
    // DOIP_OK), so this judges the response itself: its tester address must be ours and its code 0x10. When
    // the library's wait ran out, it names what the connection showed instead: a generic NACK, a reply in
    // another protocol version, the connection's end. Any other failure: describe_result of the result, and
    // for a socket error why the connection could not be opened (the socket layer's open_failure(): a
    // refused certificate, a failed handshake).
    const std::string& activation_failure() const { return activation_failure_; }
    // After a failed activate(): a line of advice when the failure looks like TLS and plain DoIP mixed up
    // (code 0x07 on a plain connection, plain DoIP to the TLS port, TLS to the plain port); else empty.
    std::string activation_hint() const;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" while the session's connection is TLS; empty otherwise.
    std::string security() const;
    // The routing activation response of the last activate() that got one, else empty.
    const std::vector<uint8_t>& activation_response() const { return activation_response_; }
    // The registry state of the context's connection (get_doip_state).
    int state() const;
    // Sends a whole DoIP message on the connection.
    int send(const std::vector<uint8_t>& message);
    // Waits for the next message of this connection with one of `types`; alive check requests are answered
    // meanwhile, other messages are skipped (their descriptions collected in skipped()). False on timeout,
    // and at once when the connection becomes unusable or a message (other than a generic NACK) comes in
    // another protocol version than the context's: receive_failure() tells which. The timeout is a
    // deadline: messages that keep coming do not extend it (with 0, what is already there is looked at).
    bool receive(std::initializer_list<uint16_t> types, uint32_t timeout_ms, ReceivedMessage* out);
    // Why the last receive() returned false before its time, in words; empty after a plain timeout.
    const std::string& receive_failure() const { return receive_failure_; }
    // Why the session's connection is no longer usable ("the entity closed the connection", "the connection
    // was reset", ...); empty while it is usable, and before activate() or after close().
    std::string connection_lost() const;
    // Sends the UDS bytes as a diagnostic message (doip_diag_request) and waits for the acknowledgement and
    // the target's response (following response-pending answers). Only a response of the request's service
    // (answers_request) is its answer; other responses from the target are kept as unsolicited. After a
    // request with the suppress-positive-response bit it waits settle_ms for a negative response.
    UdsExchange uds(const std::vector<uint8_t>& uds);
    // A header-only request (entity status 0x4001, power mode 0x4003, alive check 0x0007) and its reply.
    int request(uint16_t request_type, uint16_t response_type, ReceivedMessage* reply, double* ms);
    // doip_uninitialize and delete_doip_state. Idempotent.
    void close();

    // The descriptions of the messages skipped since the last call (at most kMaxKept, then a line that
    // counts the others).
    std::vector<std::string> take_skipped();
    // Keeps the description of a message passed over, up to kMaxKept; counts the rest.
    void skip(const std::vector<uint8_t>& message);

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

  private:
    std::string judge_activation(int rc, const std::string& nack) const;
    // Ends the exchange with `outcome`, or with the reason why the last receive() gave up early.
    void fail(UdsExchange& x, UdsExchange::Outcome outcome) const;
    // The 0x8001 message `m`, which does not answer this request, kept in `x`; `earlier` is the previous
    // request.
    void keep_unsolicited(UdsExchange& x, const ReceivedMessage& m, const std::vector<uint8_t>& earlier,
                          Clock::time_point start) const;

    TesterOptions options_;
    // What the socket layer said to the session's settings, and why when it refused them.
    int configured_ = DOIP_OK;
    std::string configure_error_;
    int activation_result_ = DOIP_OK;  // of the last activate()
    doip_s ctx_{};
    bool open_ = false;
    std::vector<std::string> skipped_;
    size_t skipped_not_kept_ = 0;
    std::vector<uint8_t> activation_response_;
    std::string activation_failure_;
    std::string receive_failure_;
    bool receive_lost_ = false;          // receive_failure_ is the connection's end
    size_t late_looks_ = 0;              // messages receive() looked at after its deadline
    std::vector<uint8_t> last_request_;  // the UDS bytes of the previous uds()
};

}  // namespace doip_tools

#endif
