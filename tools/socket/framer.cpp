#include "framer.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "doip.h"

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
    if (code != DOIP_OK) {
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
    const int whole = doip_deserialize(start, length, &package);
    if (whole != DOIP_OK) {
        frame->code = whole;
        return Status::bad_header;
    }
    frame->data = start;
    frame->length = length;
    frame->payload_type = package.payload_type;
    frame->code = DOIP_OK;
    frame->announced = announced;
    offset_ += length;
    return Status::message;
}

std::vector<uint8_t> MessageFramer::peek(size_t count) const {
    const size_t n = std::min(count, buffered());
    return std::vector<uint8_t>(buffer_.begin() + static_cast<std::ptrdiff_t>(offset_),
                                buffer_.begin() + static_cast<std::ptrdiff_t>(offset_ + n));
}

}  // namespace doip_tools
