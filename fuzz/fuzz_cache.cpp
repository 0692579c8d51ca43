// The message cache as an application uses it, the input being a small program: append messages (on four
// channels, some empty, some 250 times over), take them with doip_get_message, wait for a pattern with
// doip_wait_message (0 ms), clear a channel, count, and copy and move what was taken. A model of the default
// queue (FIFO, at most 1000 messages, the oldest dropped first) says what each call must give; at the end
// the queue must hold exactly what the model holds, in order.
#include "fuzz_support.h"

#include <deque>
#include <vector>

using namespace fuzz;

namespace {

struct Message {
    uint8_t channel;
    uint32_t aux1, aux2;
    std::vector<uint8_t> bytes;  // empty: a message without data
};

bool holds(const doip_message_s& m, const Message& want) {
    return m.channel == want.channel && m.aux1 == want.aux1 && m.aux2 == want.aux2 &&
           m.length == want.bytes.size() && m.data != nullptr &&
           std::memcmp(m.data, want.bytes.data(), want.bytes.size()) == 0;
}

bool same_record(const doip_message_s& a, const doip_message_s& b) {
    return a.channel == b.channel && a.length == b.length && a.aux1 == b.aux1 && a.aux2 == b.aux2 &&
           a.data == b.data;
}

using Model = std::deque<Message>;

void append(Model& model, const Message& m, int times) {
    const Heap bytes(m.bytes.data(), m.bytes.size());
    const doip_message_s record{m.channel, bytes.count(), m.aux1, m.aux2,
                                m.bytes.empty() ? nullptr : bytes.data()};
    for (int i = 0; i < times; ++i) {
        FUZZ_CHECK(doip_append_eth_message(&record) == DOIP_OK);
        // A record without data is cached as an empty message on channel 0.
        model.push_back(m.bytes.empty() ? Message{0, 0, 0, {}} : m);
        if (model.size() > 1000) {
            model.pop_front();
        }
    }
}

int count(const Model& model, uint8_t channel) {
    int n = 0;
    for (const Message& m : model) {
        n += m.channel == channel;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    doip_s ctx;
    doip_init(&ctx);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Model model;  // the cache is empty too: the previous run ended by emptying it
    doip_s ctx{};
    ctx.t_tcp_initial_inactivity_ms = 0;
    doip_message_s out{};  // kept across takes: each take must free what it replaces
    Reader in{data, size};
    while (!in.empty()) {
        const uint8_t op = in.byte();
        const uint8_t channel = in.byte() & 3;
        switch (op % 7) {
            case 0:
            case 1: {  // append once, or 250 times for op 1 alone (a full queue is slow to fuzz)
                Message m{channel, in.word(), in.word(), {}};
                const Heap bytes = in.take(in.byte() % 40);
                m.bytes.assign(bytes.data(), bytes.data() + bytes.size);
                append(model, m, op == 1 ? 250 : 1);
                break;
            }
            case 2: {  // take the oldest
                const doip_message_s before = out;
                const int rc = doip_get_message(&out, nullptr);
                FUZZ_CHECK(rc == (model.empty() ? DOIP_ERR_NO_MESSAGE : DOIP_OK));
                if (model.empty() || model.front().bytes.empty()) {
                    FUZZ_CHECK(same_record(out, before));  // nothing, or an empty message: untouched
                } else {
                    FUZZ_CHECK(holds(out, model.front()));
                }
                if (!model.empty()) {
                    model.pop_front();
                }
                break;
            }
            case 3: {  // wait for a channel and leading bytes; what does not match is discarded
                const Heap prefix = in.take(1 + in.byte() % 4);
                doip_message_s pattern{channel, prefix.count(), 0xAAAA, 0xBBBB, nullptr};
                if (prefix.size != 0) {
                    pattern.data = static_cast<uint8_t*>(std::malloc(prefix.size));
                    std::memcpy(pattern.data, prefix.data(), prefix.size);
                }
                const doip_message_s before = pattern;
                const int rc = doip_wait_message(1, &ctx, &pattern);
                if (prefix.size == 0) {
                    FUZZ_CHECK(rc == DOIP_ERR_INVALID_ARGUMENT && same_record(pattern, before));
                    break;
                }
                bool found = false;
                while (!model.empty() && !found) {
                    const Message& m = model.front();
                    found = !m.bytes.empty() && m.channel == channel && m.bytes.size() >= prefix.size &&
                            std::memcmp(m.bytes.data(), prefix.data(), prefix.size) == 0;
                    FUZZ_CHECK(!found || (rc == DOIP_OK && holds(pattern, m)));
                    model.pop_front();
                }
                FUZZ_CHECK(found || (rc == DOIP_ERR_TIMEOUT && same_record(pattern, before) &&
                                     std::memcmp(pattern.data, prefix.data(), prefix.size) == 0));
                doip_message_destory(&pattern);
                break;
            }
            case 4:  // clear a channel, keeping the order of the others
                FUZZ_CHECK(doip_clear_message(channel) == DOIP_OK);
                for (auto it = model.begin(); it != model.end();) {
                    it = it->channel == channel ? model.erase(it) : it + 1;
                }
                break;
            case 5:  // count, and wait on a queue nobody has: it times out and takes nothing
                FUZZ_CHECK(doip_msg_cache_count(channel) == count(model, channel));
                if (channel == 0) {
                    doip_message_s pattern{};
                    FUZZ_CHECK(doip_message_init(&pattern, data, 1) == DOIP_OK);
                    FUZZ_CHECK(doip_wait_message(1000 + op, &ctx, &pattern) == DOIP_ERR_TIMEOUT);
                    doip_message_destory(&pattern);
                    FUZZ_CHECK(doip_msg_cache_count(channel) == count(model, channel));
                }
                break;
            case 6: {  // deep copy and move of what was taken last
                doip_message_s copy{}, moved{};
                const int rc = doip_message_init_bycopy(&copy, &out);
                FUZZ_CHECK(rc == (out.data != nullptr ? DOIP_OK : DOIP_ERR_INVALID_ARGUMENT));
                FUZZ_CHECK(rc != DOIP_OK ||
                           (copy.data != out.data &&
                            same_record(copy, {out.channel, out.length, out.aux1, out.aux2, copy.data}) &&
                            std::memcmp(copy.data, out.data, out.length) == 0));
                const doip_message_s was = copy;
                FUZZ_CHECK(doip_message_move(&moved, &copy) == DOIP_OK);
                FUZZ_CHECK(same_record(moved, was) && same_record(copy, doip_message_s{}));
                doip_message_destory(&moved);
                break;
            }
        }
    }
    // What is left, in order.
    for (const Message& m : model) {
        doip_message_s left{};
        FUZZ_CHECK(doip_get_message(&left, nullptr) == DOIP_OK);
        FUZZ_CHECK(m.bytes.empty() ? left.data == nullptr : holds(left, m));
        doip_message_destory(&left);
    }
    FUZZ_CHECK(doip_get_message(&out, nullptr) == DOIP_ERR_NO_MESSAGE && doip_msg_cache_count(0) == 0);
    doip_message_destory(&out);
    return 0;
}
