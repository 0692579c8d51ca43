#include "flash_ecu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "formatting.h"

namespace doip_tools {
namespace {

constexpr uint8_t kNegative = 0x7F;

enum Nrc : uint8_t {
    kIncorrectLength = 0x13,
    kConditionsNotCorrect = 0x22,
    kRequestSequenceError = 0x24,
    kRequestOutOfRange = 0x31,
    kSecurityAccessDenied = 0x33,
    kInvalidKey = 0x35,
    kExceededAttempts = 0x36,
    kDelayNotExpired = 0x37,
    kUploadDownloadNotAccepted = 0x70,
    kTransferDataSuspended = 0x71,
    kGeneralProgrammingFailure = 0x72,
    kWrongBlockSequenceCounter = 0x73,
};

constexpr uint8_t kDefaultSession = 0x01;
constexpr uint8_t kProgrammingSession = 0x02;
constexpr uint8_t kExtendedSession = 0x03;
constexpr uint32_t kKeyXor = 0xA5C30F96u;
constexpr uint32_t kKeyAdd = 0x12345678u;
constexpr uint32_t kMaxWrongKeys = 3;
constexpr auto kLockout = std::chrono::seconds(10);

uint32_t key_of(uint32_t seed) {
    return (seed ^ kKeyXor) + kKeyAdd;
}

EcuAnswer positive(std::vector<uint8_t> response) {
    EcuAnswer a;
    a.handled = true;
    a.response = std::move(response);
    return a;
}

}  // namespace

FlashEcu::FlashEcu(const FlashEcuOptions& options)
    : options_(options), memory_(options.memory_size, 0xFF), random_(std::random_device{}()) {}

EcuAnswer FlashEcu::answer(const Bytes& request) {
    if (request.empty()) {
        return {};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    switch (request[0]) {
        case 0x10:
            return session_control(request);
        case 0x11:
            return reset(request);
        case 0x27:
            return security_access(request);
        case 0x31:
            return routine_control(request);
        case 0x34:
            return request_download(request);
        case 0x36:
            return transfer_data(request);
        case 0x37:
            return transfer_exit(request);
        default:
            return {};
    }
}

EcuAnswer FlashEcu::session_control(const Bytes& request) {
    if (request.size() < 2 || request[1] < kDefaultSession || request[1] > kExtendedSession) {
        return request.size() < 2 ? negative(0x10, kIncorrectLength) : EcuAnswer{};
    }
    if (request.size() != 2) {
        return negative(0x10, kIncorrectLength);
    }
    session_ = request[1];
    security_ = Security::locked;
    log("flash: session " + hex8(session_) + ", security locked");
    return positive({0x50, session_, 0x00, 0x32, 0x01, 0xF4});
}

EcuAnswer FlashEcu::reset(const Bytes& request) {
    if (request.size() < 2 || request[1] != 0x01) {
        return request.size() < 2 ? negative(0x11, kIncorrectLength) : EcuAnswer{};
    }
    if (request.size() != 2) {
        return negative(0x11, kIncorrectLength);
    }
    session_ = kDefaultSession;
    security_ = Security::locked;
    download_ = Download{};
    erased_.clear();
    log("flash: ECU reset: default session, locked, nothing erased");
    return positive({0x51, 0x01});
}

EcuAnswer FlashEcu::security_access(const Bytes& request) {
    const uint8_t level = options_.security_level;
    if (request.size() < 2) {
        return negative(0x27, kIncorrectLength);
    }
    const bool seed = request[1] == level;
    if (!seed && request[1] != level + 1) {
        return {};
    }
    if (request.size() != (seed ? 2u : 6u)) {
        return negative(0x27, kIncorrectLength);
    }
    if (session_ == kDefaultSession) {
        return negative(0x27, kConditionsNotCorrect);
    }
    Bytes response = {0x67, request[1], 0, 0, 0, 0};
    if (seed) {
        if (std::chrono::steady_clock::now() < locked_out_until_) {
            return negative(0x27, kDelayNotExpired);
        }
        if (security_ != Security::unlocked) {
            do {
                seed_ = static_cast<uint32_t>(random_());
            } while (seed_ == 0);
            security_ = Security::seed_sent;
            store_be32(&response[2], seed_);
        }
        return positive(response);
    }
    if (security_ != Security::seed_sent) {
        return negative(0x27, kRequestSequenceError);
    }
    if (load_be32(&request[2]) != key_of(seed_)) {
        security_ = Security::locked;
        if (++wrong_keys_ >= kMaxWrongKeys) {
            wrong_keys_ = 0;
            locked_out_until_ = std::chrono::steady_clock::now() + kLockout;
            log("flash: wrong key, the third in a row: no seed for 10 s");
            return negative(0x27, kExceededAttempts);
        }
        log("flash: wrong key");
        return negative(0x27, kInvalidKey);
    }
    security_ = Security::unlocked;
    wrong_keys_ = 0;
    log("flash: security level " + hex8(level) + " unlocked");
    response.resize(2);
    return positive(response);
}

uint8_t FlashEcu::parse_range(const Bytes& request, size_t at, uint64_t* offset, uint32_t* size) const {
    if (request.size() <= at) {
        return kIncorrectLength;
    }
    const size_t size_bytes = request[at] >> 4;
    const size_t address_bytes = request[at] & 0x0F;
    if (size_bytes < 1 || size_bytes > 4 || address_bytes < 1 || address_bytes > 4) {
        return kRequestOutOfRange;
    }
    if (request.size() != at + 1 + address_bytes + size_bytes) {
        return kIncorrectLength;
    }
    const uint64_t address = load_be(&request[at + 1], address_bytes);
    *size = load_be(&request[at + 1 + address_bytes], size_bytes);
    if (address < options_.memory_address || *size == 0 ||
        address + *size > uint64_t{options_.memory_address} + options_.memory_size) {
        return kRequestOutOfRange;
    }
    *offset = address - options_.memory_address;
    return 0;
}

EcuAnswer FlashEcu::routine_control(const Bytes& request) {
    if (request.size() < 4) {
        return negative(0x31, kIncorrectLength);
    }
    const bool start = request[1] == 0x01 && request[2] == 0xFF;
    if (start && request[3] == 0x01) {
        if (request.size() != 8) {
            return negative(0x31, kIncorrectLength);
        }
        if (!downloaded_since_erase_) {
            return negative(0x31, kRequestSequenceError);
        }
        const uint32_t expected = load_be32(&request[4]);
        const bool equal = expected == crc_.value();
        log("flash: check memory: CRC-32 " + hex32(crc_.value()) + (equal ? ", as expected" : ", not ") +
            (equal ? "" : hex32(expected)));
        return positive({0x71, 0x01, 0xFF, 0x01, static_cast<uint8_t>(equal ? 0x00 : 0x01)});
    }
    if (!start || request[3] != 0x00) {
        return negative(0x31, kRequestOutOfRange);
    }
    uint64_t offset = 0;
    uint32_t size = 0;
    const uint8_t range = parse_range(request, 4, &offset, &size);
    if (range == kIncorrectLength) {
        return negative(0x31, range);
    }
    if (session_ != kProgrammingSession || download_.active) {
        return negative(0x31, kConditionsNotCorrect);
    }
    if (security_ != Security::unlocked) {
        return negative(0x31, kSecurityAccessDenied);
    }
    if (range != 0) {
        return negative(0x31, range);
    }
    std::memset(&memory_[offset], 0xFF, size);
    erased_.emplace_back(offset, offset + size);
    std::sort(erased_.begin(), erased_.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto& r : erased_) {
        if (!merged.empty() && r.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, r.second);
        } else {
            merged.push_back(r);
        }
    }
    erased_ = std::move(merged);
    crc_ = Crc32();
    downloaded_since_erase_ = false;
    log("flash: erased " + std::to_string(size) + " bytes at " +
        hex32(static_cast<uint32_t>(offset + options_.memory_address)));
    EcuAnswer a = positive({0x71, 0x01, 0xFF, 0x00, 0x00});
    a.pending_ms = options_.erase_pending_ms;
    return a;
}

bool FlashEcu::erased(uint64_t offset, uint32_t size) const {
    return std::any_of(erased_.begin(), erased_.end(),
                       [&](const auto& r) { return r.first <= offset && offset + size <= r.second; });
}

EcuAnswer FlashEcu::request_download(const Bytes& request) {
    uint64_t offset = 0;
    uint32_t size = 0;
    const uint8_t range =
        request.size() < 3 ? uint8_t{kIncorrectLength} : parse_range(request, 2, &offset, &size);
    if (range == kIncorrectLength) {
        return negative(0x34, range);
    }
    if (session_ != kProgrammingSession) {
        return negative(0x34, kConditionsNotCorrect);
    }
    if (security_ != Security::unlocked) {
        return negative(0x34, kSecurityAccessDenied);
    }
    if (download_.active) {
        return negative(0x34, kConditionsNotCorrect);
    }
    if (request[1] != 0x00 || range != 0) {
        return negative(0x34, kRequestOutOfRange);
    }
    if (!erased(offset, size)) {
        return negative(0x34, kUploadDownloadNotAccepted);
    }
    download_ = Download{true, offset, size, 0, 1, -1};
    downloaded_since_erase_ = true;
    log("flash: download of " + std::to_string(size) + " bytes to " +
        hex32(static_cast<uint32_t>(offset + options_.memory_address)) + " begun");
    const uint32_t max = options_.max_block_length;
    if (max <= 0xFFFF) {
        return positive({0x74, 0x20, static_cast<uint8_t>(max >> 8), static_cast<uint8_t>(max)});
    }
    Bytes response = {0x74, 0x40, 0, 0, 0, 0};
    store_be32(&response[2], max);
    return positive(response);
}

// The faults fire at their block once a download is active, before the counter and length checks.
EcuAnswer FlashEcu::transfer_data(const Bytes& request) {
    const uint32_t block = ++blocks_;
    EcuAnswer a = [&] {
        if (request.size() < 2) {
            return negative(0x36, kIncorrectLength);
        }
        if (!download_.active) {
            return negative(0x36, kRequestSequenceError);
        }
        if (block == options_.drop_at_block) {
            log("flash: fault: block " + std::to_string(block) +
                " not written, the connection to be dropped");
            EcuAnswer drop;
            drop.handled = true;
            drop.drop_connection = true;
            return drop;
        }
        if (block == options_.counter_error_at_block) {
            log("flash: fault: block " + std::to_string(block) + " refused");
            return negative(0x36, kWrongBlockSequenceCounter);
        }
        if (block == options_.program_error_at_block) {
            log("flash: fault: block " + std::to_string(block) + " failed to program");
            return negative(0x36, kGeneralProgrammingFailure);
        }
        const uint8_t counter = request[1];
        if (counter != download_.next_counter) {
            return counter == download_.last_counter ? positive({0x76, counter})
                                                     : negative(0x36, kWrongBlockSequenceCounter);
        }
        if (request.size() > options_.max_block_length) {
            return negative(0x36, kIncorrectLength);
        }
        const size_t count = request.size() - 2;
        if (count > download_.size - download_.received) {
            return negative(0x36, kTransferDataSuspended);
        }
        std::memcpy(&memory_[download_.offset + download_.received], &request[2], count);
        crc_.update(&request[2], count);
        download_.received += static_cast<uint32_t>(count);
        download_.last_counter = counter;
        download_.next_counter = static_cast<uint8_t>(counter + 1);
        return positive({0x76, counter});
    }();
    if (block == options_.lose_response_at_block && !a.drop_connection) {
        log("flash: fault: the response to block " + std::to_string(block) + " lost");
        a.response.clear();
    }
    a.delay_ms = options_.latency_ms;
    return a;
}

EcuAnswer FlashEcu::transfer_exit(const Bytes&) {
    if (!download_.active || download_.received < download_.size) {
        return negative(0x37, kRequestSequenceError);
    }
    download_.active = false;
    log("flash: transfer exit after " + std::to_string(download_.received) + " bytes, CRC-32 " +
        hex32(crc_.value()));
    std::string error;
    if (!options_.out_file.empty() && !write_out_locked(&error)) {
        log("flash: " + error);
    }
    return positive({0x77});
}

EcuAnswer FlashEcu::negative(uint8_t sid, uint8_t code) {
    log("flash: NRC " + hex8(code) + " to " + hex8(sid));
    return positive({kNegative, sid, code});
}

void FlashEcu::log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    }
}

bool FlashEcu::write_out(std::string* error) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_out_locked(error);
}

// Into a temporary file renamed over the out file, so that a reader never sees half an image.
bool FlashEcu::write_out_locked(std::string* error) const {
    if (options_.out_file.empty()) {
        *error = "no out file";
        return false;
    }
    const std::string temporary = options_.out_file + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot write " + temporary;
        return false;
    }
    const bool written = std::fwrite(memory_.data(), 1, memory_.size(), file) == memory_.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(temporary.c_str());
        *error = "cannot write " + temporary;
        return false;
    }
    // Windows does not rename over an existing file.
    if (std::rename(temporary.c_str(), options_.out_file.c_str()) != 0 &&
        (std::remove(options_.out_file.c_str()) != 0 ||
         std::rename(temporary.c_str(), options_.out_file.c_str()) != 0)) {
        std::remove(temporary.c_str());
        *error = "cannot rename " + temporary + " to " + options_.out_file;
        return false;
    }
    return true;
}

bool FlashEcu::read(uint32_t address, uint32_t count, Bytes* out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (address < options_.memory_address ||
        uint64_t{address} + count > uint64_t{options_.memory_address} + options_.memory_size) {
        return false;
    }
    const auto at = memory_.begin() + (address - options_.memory_address);
    out->assign(at, at + count);
    return true;
}

}  // namespace doip_tools
