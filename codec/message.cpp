// Message records: a whole DoIP message in one malloc'ed buffer, and the C++ owner of such a buffer.
#include <cstdlib>
#include <cstring>

#include "doip.h"

namespace {

// Releases the record's buffer and clears the pointer; the other fields stay.
void release_data(doip_message_s* msg) {
    std::free(msg->data);
    msg->data = nullptr;
}

bool has_data(const doip_message_s* msg) {
    return msg->data != nullptr && msg->length != 0;
}

}  // namespace

extern "C" {

DOIP_API int doip_message_init(doip_message_s* msg, const uint8_t* bytes, int size) {
    if (msg == nullptr || bytes == nullptr || size <= 0) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    release_data(msg);
    auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (buffer == nullptr) {
        return DOIP_ERR_NO_MEMORY;
    }
    std::memcpy(buffer, bytes, static_cast<size_t>(size));
    msg->data = buffer;
    msg->length = static_cast<uint32_t>(size);
    return DOIP_OK;
}

DOIP_API int doip_message_init_bycopy(doip_message_s* dst, const doip_message_s* src) {
    if (dst == nullptr || src == nullptr || !has_data(src)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    if (dst == src) {
        return DOIP_OK;  // a copy onto itself would free the bytes it is about to copy
    }
    release_data(dst);
    auto* buffer = static_cast<uint8_t*>(std::malloc(src->length));
    if (buffer == nullptr) {
        return DOIP_ERR_NO_MEMORY;
    }
    std::memcpy(buffer, src->data, src->length);
    dst->data = buffer;
    dst->length = src->length;
    dst->channel = src->channel;
    dst->aux1 = src->aux1;
    dst->aux2 = src->aux2;
    return DOIP_OK;
}

DOIP_API int doip_message_move(doip_message_s* dst, doip_message_s* src) {
    if (dst == nullptr || src == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    release_data(dst);
    *dst = *src;
    *src = doip_message_s{};
    return DOIP_OK;
}

DOIP_API int doip_message_destory(doip_message_s* msg) {
    if (msg == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    std::free(msg->data);
    *msg = doip_message_s{};
    return DOIP_OK;
}

}  // extern "C"

doip_message_raii::doip_message_raii() : channel(0), length(0), aux1(0), aux2(0), data(nullptr) {}

doip_message_raii::doip_message_raii(const doip_message_s* src) : doip_message_raii() {
    if (src == nullptr || !has_data(src)) {
        return;
    }
    auto* buffer = static_cast<uint8_t*>(std::malloc(src->length));
    if (buffer == nullptr) {
        return;
    }
    std::memcpy(buffer, src->data, src->length);
    data = buffer;
    length = src->length;
    channel = src->channel;
    aux1 = src->aux1;
    aux2 = src->aux2;
}

doip_message_raii::doip_message_raii(const doip_message_raii& other) : doip_message_raii(other.get()) {}

// Deliberately a deep copy: the source keeps its buffer.
doip_message_raii::doip_message_raii(doip_message_raii&& other) noexcept : doip_message_raii(other.get()) {}

doip_message_raii& doip_message_raii::operator=(const doip_message_raii& other) {
    if (this == &other || !has_data(other.get())) {
        return *this;
    }
    std::free(data);
    data = nullptr;
    auto* buffer = static_cast<uint8_t*>(std::malloc(other.length));
    if (buffer == nullptr) {
        length = 0;
        return *this;
    }
    std::memcpy(buffer, other.data, other.length);
    data = buffer;
    length = other.length;
    channel = other.channel;
    aux1 = other.aux1;
    aux2 = other.aux2;
    return *this;
}

doip_message_raii& doip_message_raii::operator=(doip_message_raii&& other) noexcept {
    return *this = static_cast<const doip_message_raii&>(other);
}

doip_message_raii::~doip_message_raii() {
    std::free(data);
    data = nullptr;
    channel = 0;
    length = aux1 = aux2 = 0;
}
