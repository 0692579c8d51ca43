// doip-tester flash: the programming sequence over one session, each step on a line with its time, the
// transfer with a progress display, and a summary (also as JSON). The plan (its requests) is built and
// checked before anything is sent.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "commands.h"
#include "bytes.h"
#include "crc32.h"
#include "describe.h"
#include "flash.h"
#include "flash_progress.h"
#include "flash_requests.h"
#include "key_command.h"
#include "routing_upkeep.h"
#include "socket_layer.h"
#include "uds_match.h"

namespace doip_tools {
namespace {

// After an ECU reset: how long the entity is given to close the connection, and how often it is looked at.
constexpr auto kResetCloseWait = std::chrono::milliseconds(1000);
constexpr auto kResetPoll = std::chrono::milliseconds(10);
// How many bytes of a long request a line shows.
constexpr size_t kShownBytes = 16;

// The requests of one region, built before the session starts.
struct RegionPlan {
    const FlashRegion* region = nullptr;
    std::vector<uint8_t> erase;
    std::vector<uint8_t> download;
};

// The tail of a key command's standard error, on one line, for a message.
std::string one_line(const std::string& text) {
    std::string line;
    for (const char c : text) {
        line += c == '\n' || c == '\r' ? ' ' : c;
    }
    const size_t end = line.find_last_not_of(' ');
    line.erase(end == std::string::npos ? 0 : end + 1);
    return line.size() > 200 ? "..." + line.substr(line.size() - 200) : line;
}

class FlashRun {
  public:
    FlashRun(const TesterOptions& options, const FlashSettings& settings, std::ostream& out)
        : options_(options), settings_(settings), out_(out) {}

    int run() {
        const auto start = Clock::now();
        const int rc = flash();
        summary_.seconds = ms_since(start) / 1000.0;
        summary_.ok = rc == kExitOk;
        if (!settings_.dry_run || rc != kExitOk) {
            print_summary();
        }
        if (!settings_.json_file.empty()) {
            std::ofstream json(settings_.json_file, std::ios::binary);
            json << flash_json(summary_);
            if (!json.flush()) {
                out_ << "error: cannot write " << settings_.json_file << "\n";
                return rc == kExitOk ? kExitFailure : rc;
            }
        }
        return rc;
    }

    const FlashSummary& summary() const { return summary_; }

  private:
    int flash() {
        if (const int rc = load(); rc != kExitOk) {
            return rc;
        }
        if (settings_.dry_run) {
            print_plan();
            return kExitOk;
        }
        session_.emplace(options_);
        for (int (FlashRun::*step)() :
             {&FlashRun::activate, &FlashRun::sessions, &FlashRun::security, &FlashRun::erase,
              &FlashRun::download, &FlashRun::check, &FlashRun::reset}) {
            if (const int rc = (this->*step)(); rc != kExitOk) {
                return rc;
            }
        }
        return kExitOk;
    }

    // The image, its CRC-32 and the requests of each region.
    int load() {
        begin("load image");
        std::string error;
        if (!load_image(settings_.image, &image_, &error)) {
            return fail("load image", error, kExitFailure);
        }
        Crc32 crc;
        for (const FlashRegion& r : image_.regions) {
            crc.update(r.data.data(), r.data.size());
        }
        summary_.crc32 = crc.value();
        summary_.image_bytes = image_.size();
        for (const FlashRegion& r : image_.regions) {
            RegionPlan plan;
            plan.region = &r;
            if ((settings_.erase &&
                 !erase_request(settings_.erase_routine, settings_.address_and_length_format, r.address,
                                r.data.size(), &plan.erase, &error)) ||
                !download_request(settings_.data_format, settings_.address_and_length_format, r.address,
                                  r.data.size(), &plan.download, &error)) {
                return fail("load image", "region " + hex32(r.address) + ": " + error, kExitFailure);
            }
            plans_.push_back(std::move(plan));
        }
        end(true, settings_.image.path + ": " + std::to_string(image_.regions.size()) +
                      (image_.regions.size() == 1 ? " region, " : " regions, ") +
                      std::to_string(summary_.image_bytes) + " bytes, CRC-32 " + hex32(summary_.crc32));
        for (const FlashRegion& r : image_.regions) {
            out_ << "    " << hex32(r.address) << " - " << hex32(static_cast<uint32_t>(r.end() - 1)) << "  "
                 << r.data.size() << " bytes\n";
        }
        return kExitOk;
    }

    int activate() {
        const auto start = Clock::now();
        if (!activate_routing(*session_, out_)) {
            summary_.steps.push_back({"routing activation", ms_since(start), false});
            const std::string why = session_->activation_failure();
            return fail("routing activation", why.empty() ? "routing not active" : why, kExitFailure);
        }
        max_data_size_ = ask_max_data_size(*session_, out_);
        summary_.steps.push_back({"routing activation", ms_since(start), true});
        out_ << "max data size: "
             << (max_data_size_ == 0 ? std::string("not given by the entity")
                                     : std::to_string(max_data_size_))
             << "\n";
        return kExitOk;
    }

    int sessions() {
        const std::pair<const char*, uint8_t> steps[] = {
            {"extended session", settings_.extended_session},
            {"programming session", settings_.programming_session}};
        for (const auto& [name, session] : steps) {
            if (session == 0) {
                continue;
            }
            UdsExchange x;
            if (const int rc = ask(name, {kSessionControl, session}, &x); rc != kExitOk) {
                return rc;
            }
            end(true, "positive" + pending_note(x));
        }
        return kExitOk;
    }

    int security() {
        if (settings_.key_command.empty()) {
            return kExitOk;
        }
        const uint8_t level = settings_.security_level;
        UdsExchange x;
        if (const int rc = ask("security access seed", {kSecurityAccess, level}, &x); rc != kExitOk) {
            return rc;
        }
        const std::vector<uint8_t> seed(x.uds.begin() + std::min<size_t>(2, x.uds.size()), x.uds.end());
        if (seed.empty()) {
            return fail("security access seed", "the ECU's answer " + hex_bytes(x.uds) + " has no seed",
                        kExitFailure);
        }
        if (std::all_of(seed.begin(), seed.end(), [](uint8_t b) { return b == 0; })) {
            end(true, "seed " + hex_bytes(seed) + ": already unlocked");
            return kExitOk;
        }
        end(true, "seed " + hex_bytes(seed));

        begin("key command");
        KeyCommandRun run;
        std::string error;
        if (!run_key_command(settings_.key_command, seed_line(seed.data(), seed.size()), &run, &error)) {
            return fail("key command", "\"" + settings_.key_command + "\": " + error, kExitFailure);
        }
        const std::string err = run.err.empty() ? std::string() : "; its error output: " + one_line(run.err);
        if (run.exit_status != 0) {
            return fail("key command",
                        "\"" + settings_.key_command + "\"" +
                            (run.exit_status < 0 ? std::string(" did not end by itself (or ran over ") +
                                                       std::to_string(kKeyCommandLimitMs / 1000) + " s)"
                                                 : " exited with status " + std::to_string(run.exit_status)) +
                            err,
                        kExitFailure);
        }
        std::vector<uint8_t> key;
        if (!parse_key(run.out, &key)) {
            return fail(
                "key command",
                "\"" + settings_.key_command + "\"" +
                    (one_line(run.out).empty() ? std::string(" printed no key")
                                               : " printed \"" + one_line(run.out) + "\", not a key in hex") +
                    err,
                kExitFailure);
        }
        end(true, "key " + hex_bytes(key));

        key.insert(key.begin(), {kSecurityAccess, static_cast<uint8_t>(level + 1)});
        const std::vector<uint8_t>& send_key = key;
        if (const int rc = ask("security access key", send_key, &x); rc != kExitOk) {
            return rc;
        }
        end(true, "unlocked" + pending_note(x));
        return kExitOk;
    }

    int erase() {
        if (!settings_.erase) {
            return kExitOk;
        }
        for (const RegionPlan& plan : plans_) {
            const std::string step = "erase " + hex32(plan.region->address);
            UdsExchange x;
            if (const int rc = ask(step, plan.erase, &x); rc != kExitOk) {
                return rc;
            }
            if (routine_status(x.uds) != 0) {
                return fail(step,
                            "the ECU reports routine status " + hex8(routine_status(x.uds)) +
                                " (not 0x00): the memory is not erased",
                            kExitFailure);
            }
            end(true, "erased" + pending_note(x));
        }
        return kExitOk;
    }

    // Every region's download, timed from the first RequestDownload to the last transfer exit (or the
    // failure).
    int download() {
        const auto start = Clock::now();
        const int rc = download_regions();
        summary_.transfer_seconds = ms_since(start) / 1000.0;
        return rc;
    }

    int download_regions() {
        FlashProgress progress(settings_.progress, summary_.image_bytes, out_);
        progress.start();
        std::vector<uint8_t> request;
        for (const RegionPlan& plan : plans_) {
            const FlashRegion& region = *plan.region;
            const std::string step = "download " + hex32(region.address);
            UdsExchange x;
            if (const int rc = ask(step, plan.download, &x); rc != kExitOk) {
                return rc;
            }
            uint32_t max_block_length = 0;
            std::string error;
            if (!parse_download_answer(x.uds, &max_block_length, &error)) {
                return fail(step, error, kExitFailure);
            }
            const uint32_t size = block_data_size(max_block_length, max_data_size_, settings_.block_size);
            if (size == 0) {
                return fail(step,
                            "no data fits a TransferData: maxNumberOfBlockLength " +
                                std::to_string(max_block_length) + ", max data size " +
                                std::to_string(max_data_size_),
                            kExitFailure);
            }
            summary_.block_data_size = size;
            end(true, "maxNumberOfBlockLength " + std::to_string(max_block_length) + ": " +
                          std::to_string(size) + " data bytes per block, " +
                          std::to_string((region.data.size() + size - 1) / size) + " blocks");
            request.reserve(size_t{2} + size);
            if (const int rc = transfer(region, size, request, progress); rc != kExitOk) {
                progress.finish();
                return rc;
            }
            progress.finish();
            if (const int rc = ask("transfer exit " + hex32(region.address), {kRequestTransferExit}, &x);
                rc != kExitOk) {
                return rc;
            }
            end(true, "positive" + pending_note(x));
        }
        return kExitOk;
    }

    // The TransferData blocks of one region, each built in `request` (reused).
    int transfer(const FlashRegion& region, uint32_t size, std::vector<uint8_t>& request,
                 FlashProgress& progress) {
        const std::string step = "transfer " + hex32(region.address);
        const auto start = Clock::now();
        const uint8_t* data = region.data.data();
        const size_t total = region.data.size();
        uint64_t n = 1;           // the block of this download
        bool sent_twice = false;  // the block before: its first sending's answer may still come
        for (size_t at = 0; at < total; at += size, ++n) {
            const size_t count = std::min<size_t>(size, total - at);
            const uint8_t counter = block_counter(n);
            fill_transfer_data(counter, data + at, count, &request);
            UdsExchange x = session_->uds(request);
            if (sent_twice && x.outcome == UdsExchange::Outcome::positive && x.uds.size() >= 2 &&
                x.uds[1] == block_counter(n - 1)) {
                // Of the same service, the late answer was taken for this block's: the block's own follows.
                wait_own_answer(&x);
            }
            sent_twice = false;
            if (x.outcome == UdsExchange::Outcome::no_response || x.outcome == UdsExchange::Outcome::no_ack) {
                sent_twice = true;
                ++summary_.retries;
                progress.finish();
                out_ << "    block " << summary_.blocks + 1 << " at " << hex32(region.address + at) << ": "
                     << outcome_name(x.outcome) << " within " << options_.timeout_ms
                     << " ms; sent once more with counter " << hex8(counter) << "\n";
                x = session_->uds(request);
            }
            summary_.pending += static_cast<uint32_t>(x.pending_responses);
            const uint32_t address = static_cast<uint32_t>(region.address + at);
            if (x.outcome != UdsExchange::Outcome::positive) {
                summary_.steps.push_back({step, ms_since(start), false});
                return fail_exchange(step, x, summary_.blocks + 1, address);
            }
            if (x.uds.size() < 2 || x.uds[1] != counter) {
                summary_.steps.push_back({step, ms_since(start), false});
                return fail(
                    step,
                    "the ECU answered " + hex_bytes(x.uds, kShownBytes) + " to counter " + hex8(counter),
                    kExitFailure, summary_.blocks + 1, address);
            }
            ++summary_.blocks;
            summary_.bytes += count;
            progress.update(summary_.bytes);
        }
        summary_.steps.push_back({step, ms_since(start), true});
        return kExitOk;
    }

    // After a late answer taken for this TransferData's: the next response of the target on the connection
    // (past response-pending ones) becomes `x`'s answer, or `x` ends without one.
    void wait_own_answer(UdsExchange* x) {
        auto deadline = Clock::now() + std::chrono::milliseconds(options_.timeout_ms);
        ReceivedMessage m;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 ||
                !session_->receive({DOIP_PT_DIAG_MSG}, static_cast<uint32_t>(left.count()), &m)) {
                x->outcome = session_->receive_failure().empty() ? UdsExchange::Outcome::no_response
                                                                 : UdsExchange::Outcome::connection_lost;
                x->cause = session_->receive_failure();
                return;
            }
            if (m.bytes.size() <= kDiagnosticHeaderSize ||
                load_be16(m.bytes.data() + DOIP_HEADER_SIZE) != session_->context().target_address) {
                continue;
            }
            x->uds.assign(m.bytes.begin() + kDiagnosticHeaderSize, m.bytes.end());
            if (is_response_pending(x->uds)) {
                ++x->pending_responses;
                deadline = Clock::now() + std::chrono::milliseconds(options_.pending_ms);
                continue;
            }
            x->outcome = x->uds[0] == kNegativeResponseSid ? UdsExchange::Outcome::negative
                                                           : UdsExchange::Outcome::positive;
            return;
        }
    }

    int check() {
        if (!settings_.check) {
            return kExitOk;
        }
        UdsExchange x;
        if (const int rc = ask("check", check_request(settings_.check_routine, summary_.crc32), &x);
            rc != kExitOk) {
            return rc;
        }
        if (routine_status(x.uds) != 0) {
            return fail("check",
                        "the ECU reports that the CRC-32 does not match (routine status " +
                            hex8(routine_status(x.uds)) + ")",
                        kExitFailure);
        }
        end(true, "CRC-32 " + hex32(summary_.crc32) + " matches" + pending_note(x));
        return kExitOk;
    }

    // The reset, then the ECU back: on a new connection when the entity closes this one.
    int reset() {
        if (!settings_.reset) {
            return kExitOk;
        }
        UdsExchange x;
        if (const int rc = ask("ECU reset", {kEcuReset, settings_.reset_type}, &x); rc != kExitOk) {
            return rc;
        }
        end(true, "positive" + pending_note(x));
        const auto reset_at = Clock::now();
        begin("ECU back");
        const auto deadline = reset_at + kResetCloseWait;
        while (SocketLayer::instance().is_open(session_->channel()) && Clock::now() < deadline) {
            std::this_thread::sleep_for(kResetPoll);
        }
        bool reconnected = false;
        for (;;) {
            if (!SocketLayer::instance().is_open(session_->channel())) {
                if (reconnected) {
                    return fail("ECU back", "the entity closed the new connection too", kExitFailure);
                }
                const std::string cause = session_->connection_lost();
                out_ << (cause.empty() ? "the connection ended" : cause) << "\n";
                if (!reconnect_with_backoff(*session_, settings_.reconnect_tries, out_)) {
                    return fail("ECU back", "routing not active again after the reset", kExitFailure);
                }
                reconnected = true;
            }
            x = session_->uds({kTesterPresent, 0x00});
            if (x.outcome == UdsExchange::Outcome::positive) {
                break;
            }
            const bool closed = !SocketLayer::instance().is_open(session_->channel());
            if (!closed || reconnected) {
                return fail_exchange("ECU back", x, 0, 0);
            }
        }
        if (reconnected) {
            out_ << "ECU back: ";  // the reconnection's lines came between
        }
        end(true,
            std::string(reconnected ? "on a new connection"
                                    : "on the same connection (open still " +
                                          std::to_string(std::chrono::milliseconds(kResetCloseWait).count()) +
                                          " ms after the reset)") +
                ", TesterPresent answered " + ms_text(ms_since(reset_at)) + " after the reset");
        return kExitOk;
    }

    void print_plan() {
        out_ << "plan (dry run: nothing is sent):\n";
        const auto text_line = [this](const std::string& hex, const std::string& what) {
            out_ << "    " << hex << std::string(hex.size() < 42 ? 42 - hex.size() : 1, ' ') << what << "\n";
        };
        const auto line = [&](const std::vector<uint8_t>& request, const std::string& what) {
            text_line(hex_bytes(request, kShownBytes), what);
        };
        if (settings_.extended_session != 0) {
            line({kSessionControl, settings_.extended_session}, "extended session");
        }
        if (settings_.programming_session != 0) {
            line({kSessionControl, settings_.programming_session}, "programming session");
        }
        if (!settings_.key_command.empty()) {
            line({kSecurityAccess, settings_.security_level}, "security access: request seed");
            text_line(
                hex_bytes({kSecurityAccess, static_cast<uint8_t>(settings_.security_level + 1)}) + " <key>",
                "send the key that " + settings_.key_command +
                    " prints for the seed (none when the seed "
                    "is all zero)");
        }
        for (const RegionPlan& plan : plans_) {
            if (settings_.erase) {
                line(plan.erase, "erase " + hex32(plan.region->address) + ", " +
                                     std::to_string(plan.region->data.size()) + " bytes");
            }
        }
        bool first = true;
        for (const RegionPlan& plan : plans_) {
            const FlashRegion& r = *plan.region;
            line(plan.download,
                 "request download " + hex32(r.address) + ", " + std::to_string(r.data.size()) + " bytes");
            if (first) {
                std::vector<uint8_t> block;
                const size_t shown = std::min<size_t>(r.data.size(), kShownBytes - 2);
                fill_transfer_data(block_counter(1), r.data.data(), shown, &block);
                text_line(hex_bytes(block) + (shown < r.data.size() ? " ..." : ""), "the first TransferData");
                first = false;
            }
            if (settings_.block_size != 0) {
                out_ << "    " << (r.data.size() + settings_.block_size - 1) / settings_.block_size
                     << " blocks of at most " << settings_.block_size
                     << " data bytes (more when the ECU's maxNumberOfBlockLength or the entity's max data "
                        "size "
                        "is smaller)\n";
            } else {
                out_ << "    blocks of at most the ECU's maxNumberOfBlockLength (its answer to 34) less 2 "
                        "bytes, "
                        "within the entity's max data size; the counter from 01, after FF 00\n";
            }
            line({kRequestTransferExit}, "transfer exit");
        }
        if (settings_.check) {
            line(check_request(settings_.check_routine, summary_.crc32),
                 "check: CRC-32 " + hex32(summary_.crc32));
        }
        if (settings_.reset) {
            line({kEcuReset, settings_.reset_type}, "ECU reset");
            line({kTesterPresent, 0x00},
                 "when the ECU is back (on a new connection if the entity closes this one, up to " +
                     std::to_string(settings_.reconnect_tries) + " attempts)");
        }
    }

    void print_summary() {
        if (summary_.ok) {
            out_ << "flash done: ";
        } else {
            out_ << "flash failed: " << summary_.error << "\n    ";
        }
        const double kib_per_s = kib_per_second(summary_);
        out_ << summary_.bytes << " of " << summary_.image_bytes << " bytes (" << size_text(summary_.bytes)
             << ") in " << summary_.blocks << " blocks of at most " << summary_.block_data_size << " bytes, "
             << fixed_text(summary_.seconds, 2) << " s (transfer " << fixed_text(summary_.transfer_seconds, 3)
             << " s, " << fixed_text(kib_per_s, 0) << " KiB/s), " << summary_.retries << " retries, "
             << summary_.pending << " response-pending answers followed, CRC-32 " << hex32(summary_.crc32)
             << "\n";
    }

    // The exchange of one step: kExitOk with a positive answer, else the step fails.
    int ask(const std::string& step, const std::vector<uint8_t>& request, UdsExchange* x) {
        begin(step + " (" + hex_bytes(request, kShownBytes) + ")");
        *x = session_->uds(request);
        summary_.pending += static_cast<uint32_t>(x->pending_responses);
        if (x->outcome == UdsExchange::Outcome::positive ||
            x->outcome == UdsExchange::Outcome::no_response_expected) {
            step_name_ = step;
            return kExitOk;
        }
        return fail_exchange(step, *x, 0, 0);
    }

    // Why the exchange failed, as the flash's error; the exit code.
    int fail_exchange(const std::string& step, const UdsExchange& x, uint64_t block, uint32_t address) {
        using Outcome = UdsExchange::Outcome;
        const bool lost =
            x.outcome == Outcome::connection_lost ||
            (x.outcome == Outcome::send_failed && !SocketLayer::instance().is_open(session_->channel()));
        if (x.outcome == Outcome::negative) {
            const uint8_t nrc = x.uds.size() >= 3 ? x.uds[2] : 0;
            return fail(step,
                        "negative response " + hex_bytes(x.uds, kShownBytes) + ", NRC " + hex8(nrc) + " " +
                            nrc_name(nrc),
                        kExitNegativeResponse, block, address);
        }
        if (lost) {
            const std::string cause = x.cause.empty() ? session_->connection_lost() : x.cause;
            return fail(step,
                        "the connection ended (" + (cause.empty() ? std::string("closed") : cause) +
                            "); the ECU may be left in the programming session",
                        kExitFailure, block, address);
        }
        std::string why;
        switch (x.outcome) {
            case Outcome::send_failed:
                why = "send failed: " + describe_result(x.code);
                break;
            case Outcome::wrong_version:
            case Outcome::pending_too_long:
                why = x.cause;
                break;
            case Outcome::no_ack:
            case Outcome::no_response:
                why = std::string(outcome_name(x.outcome)) + " within " +
                      std::to_string(options_.timeout_ms) + " ms" + (block != 0 ? " (twice)" : "");
                break;
            default:
                why = outcome_name(x.outcome);
                break;
        }
        return fail(step, why, kExitFailure, block, address);
    }

    // Stops the flash: the summary's error.
    int fail(const std::string& step, const std::string& why, int rc, uint64_t block = 0,
             uint32_t address = 0) {
        if (step_open_) {
            summary_.steps.push_back({step, ms_since(step_start_), false});
            out_ << "failed  [" << ms_text(ms_since(step_start_)) << "]\n";
            step_open_ = false;
        }
        summary_.failed_step = step;
        summary_.failed_block = block;
        summary_.failed_address = address;
        summary_.error = step +
                         (block != 0 ? ", block " + std::to_string(block) + " at " + hex32(address) : "") +
                         ": " + why;
        return rc;  // the summary prints the error
    }

    // A step's line: its title now, its outcome and time at end().
    void begin(const std::string& title) {
        out_ << title << ": " << std::flush;
        step_name_ = title;
        step_start_ = Clock::now();
        step_open_ = true;
    }
    void end(bool ok, const std::string& outcome) {
        const double ms = ms_since(step_start_);
        summary_.steps.push_back({step_name_, ms, ok});
        out_ << outcome << "  [" << ms_text(ms) << "]\n";
        step_open_ = false;
    }

    static std::string pending_note(const UdsExchange& x) {
        return x.pending_responses == 0
                   ? std::string()
                   : " (after " + std::to_string(x.pending_responses) + " response-pending answers)";
    }

    const TesterOptions& options_;
    const FlashSettings& settings_;
    std::ostream& out_;
    std::optional<Session> session_;  // not for a dry run
    FlashImage image_;
    std::vector<RegionPlan> plans_;
    uint32_t max_data_size_ = 0;  // 0: not known
    FlashSummary summary_;
    std::string step_name_;
    Clock::time_point step_start_;
    bool step_open_ = false;
};

}  // namespace

double kib_per_second(const FlashSummary& summary) {
    return summary.transfer_seconds > 0
               ? static_cast<double>(summary.bytes) / 1024.0 / summary.transfer_seconds
               : 0;
}

int run_flash(const TesterOptions& options, const FlashSettings& settings, std::ostream& out,
              FlashSummary* summary) {
    FlashRun run(options, settings, out);
    const int rc = run.run();
    if (summary != nullptr) {
        *summary = run.summary();
    }
    return rc;
}

std::string flash_json(const FlashSummary& s) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", s.crc32);
    std::ostringstream j;
    j << "{\n"
      << "  \"ok\": " << (s.ok ? "true" : "false") << ",\n"
      << "  \"error\": " << json_string(s.error) << ",\n"
      << "  \"failed_step\": " << json_string(s.failed_step) << ",\n"
      << "  \"failed_block\": " << s.failed_block << ",\n"
      << "  \"failed_address\": " << s.failed_address << ",\n"
      << "  \"image_bytes\": " << s.image_bytes << ",\n"
      << "  \"bytes\": " << s.bytes << ",\n"
      << "  \"blocks\": " << s.blocks << ",\n"
      << "  \"retries\": " << s.retries << ",\n"
      << "  \"pending\": " << s.pending << ",\n"
      << "  \"crc32\": \"" << crc << "\",\n"
      << "  \"block_data_size\": " << s.block_data_size << ",\n"
      << "  \"seconds\": " << fixed_text(s.seconds, 3) << ",\n"
      << "  \"transfer_seconds\": " << fixed_text(s.transfer_seconds, 3) << ",\n"
      << "  \"kib_per_s\": " << fixed_text(kib_per_second(s), 1) << ",\n"
      << "  \"steps\": [";
    for (size_t i = 0; i < s.steps.size(); ++i) {
        j << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << json_string(s.steps[i].name)
          << ", \"ms\": " << fixed_text(s.steps[i].ms, 3)
          << ", \"ok\": " << (s.steps[i].ok ? "true" : "false") << "}";
    }
    j << (s.steps.empty() ? "]\n" : "\n  ]\n") << "}\n";
    return j.str();
}

}  // namespace doip_tools
