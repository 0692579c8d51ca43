#include "framer.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "doip.h"
#include "formatting.h"

namespace doip_tools {

void MessageFramer::feed(const uint8_t* bytes, size_t count) {
    if (offset_ > 0 && offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    } else if (offset_ > 4096 && offset_ * 2 > buffer_.size()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

MessageFramer::Status MessageFramer::next(Frame* frame) {
    const size_t available = buffered();
    if (available < DOIP_HEADER_SIZE) {
        return Status::need_more;
    }
    const uint8_t* start = buffer_.data() + offset_;
    // The header alone, with its length field zeroed, passes the length test of the header check; the
    // pattern and the payload type are checked before any payload byte is waited for.
    uint8_t header[DOIP_HEADER_SIZE];
    std::memcpy(header, start, sizeof header);
    std::memset(header + 4, 0, 4);
    doip_package_s package{};
    const int code = doip_deserialize(header, sizeof header, &package);
    if (code != DOIP_OK && code != DOIP_ERR_UNKNOWN_PAYLOAD_TYPE) {
        frame->data = start;
        frame->length = DOIP_HEADER_SIZE;
        frame->code = code;
        return Status::bad_header;
    }
    const uint32_t announced = load_be32(start + 4);
    if (announced > max_payload_length_) {
        frame->announced = announced;
        return Status::too_large;
    }
    if (available - DOIP_HEADER_SIZE < announced) {
        return Status::need_more;
    }
    const uint32_t length = DOIP_HEADER_SIZE + announced;
    frame->data = start;
    frame->length = length;
    frame->payload_type = load_be16(start + 2);
    frame->code = code;
    frame->announced = announced;
    offset_ += length;
    return code == DOIP_OK ? Status::message : Status::unknown_type;
}

std::vector<uint8_t> MessageFramer::peek(size_t count) const {
    const size_t n = std::min(count, buffered());
    return std::vector<uint8_t>(buffer_.begin() + static_cast<std::ptrdiff_t>(offset_),
                                buffer_.begin() + static_cast<std::ptrdiff_t>(offset_ + n));
}

std::string header_fault_text(const uint8_t* header, uint8_t expected_version) {
    const uint8_t version = header[0];
    const uint8_t inverse = header[1];
    const uint8_t expected_inverse = static_cast<uint8_t>(~expected_version);
    if (inverse == expected_inverse && version != expected_version) {
        return "a header with protocol version " + hex8(version) + " where " + hex8(expected_version) +
               " was expected";
    }
    if (version == expected_version) {
        return "a header with inverse protocol version " + hex8(inverse) + " where " +
               hex8(expected_inverse) + " was expected";
    }
    return "a header with protocol version " + hex8(version) + " and inverse " + hex8(inverse) +
           ", which is not its complement (" + hex8(expected_version) + " was expected)";
}

}  // namespace doip_tools
