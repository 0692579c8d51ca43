// The socket layer's stream framer fed a byte stream in the chunks the input chooses. A model that frames
// the whole stream at once says which frames must come out, in which order, and by which fed byte each
// must be out at the latest; every frame's bytes must be the stream's at its offset, buffered() and
// peek() must account for every byte, and a bad header or a too large payload must be reported again on
// every later call.
//
// Input: a byte whose low 4 bits are the number of chunk sizes that follow and whose high 4 bits pick the
// maximum payload length; the chunk sizes (used in turn; none: the whole stream at once); the stream.
#include "fuzz_support.h"

#include "framer.h"

#include <vector>

using namespace fuzz;
using doip_tools::MessageFramer;

namespace {

constexpr uint32_t kMaxPayload[16] = {0,  1,  2,  4,   5,    6,    7,     13,
                                      17, 32, 64, 255, 1024, 4096, 65536, 0xFFFFFFFF};

struct Event {
    MessageFramer::Status status;
    size_t offset;  // of the frame in the stream
    uint32_t length, announced;
    uint16_t payload_type;
    int code;
    size_t due;  // the frame is out once this many bytes were fed
    bool operator==(const Event& o) const {
        return status == o.status && offset == o.offset && length == o.length && announced == o.announced &&
               payload_type == o.payload_type && code == o.code;
    }
};

std::vector<Event> frame_all(const uint8_t* s, size_t n, uint32_t max) {
    std::vector<Event> events;
    for (size_t pos = 0; n - pos >= 8;) {
        const uint8_t* h = s + pos;
        const uint32_t announced = be32(h + 4);
        if ((h[0] ^ h[1]) != 0xFF) {
            events.push_back(
                {MessageFramer::Status::bad_header, pos, 8, 0, 0, DOIP_ERR_BAD_PROTOCOL_VERSION, pos + 8});
            break;
        }
        if (announced > max) {
            events.push_back({MessageFramer::Status::too_large, pos, 0, announced, 0, 0, pos + 8});
            break;
        }
        if (n - pos - 8 < announced) {
            break;
        }
        const bool known = known_type(be16(h + 2));
        events.push_back({known ? MessageFramer::Status::message : MessageFramer::Status::unknown_type, pos,
                          8 + announced, announced, be16(h + 2), known ? 0 : DOIP_ERR_UNKNOWN_PAYLOAD_TYPE,
                          pos + 8 + announced});
        pos += 8 + announced;
    }
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    const uint8_t head = in.byte();
    const Heap chunks = in.take(head & 15);
    const Heap stream = in.take(in.left);
    const uint32_t max = kMaxPayload[head >> 4];
    const std::vector<Event> want = frame_all(stream.data(), stream.size, max);

    MessageFramer framer(max);
    std::vector<Event> got;
    size_t fed = 0, consumed = 0, chunk = 0;
    bool stuck = false;
    size_t chunk_sum = 0;
    for (size_t i = 0; i < chunks.size; ++i) {
        chunk_sum += chunks.data()[i];
    }
    do {
        const size_t step = chunk_sum == 0 ? stream.size : chunks.data()[chunk++ % chunks.size];
        const size_t n = std::min(step, stream.size - fed);
        const Heap piece(stream.data() + fed,
                         n);  // the framer must copy: the piece goes at the end of the step
        framer.feed(piece.data(), n);
        fed += n;
        for (;;) {
            FUZZ_CHECK(framer.buffered() == fed - consumed);
            MessageFramer::Frame f;
            const MessageFramer::Status st = framer.next(&f);
            if (st == MessageFramer::Status::need_more) {
                FUZZ_CHECK(!stuck);
                break;
            }
            const bool terminal =
                st == MessageFramer::Status::bad_header || st == MessageFramer::Status::too_large;
            const Event e{st,
                          consumed,
                          terminal && st == MessageFramer::Status::too_large ? 0 : f.length,
                          f.announced,
                          terminal ? uint16_t{0} : f.payload_type,
                          st == MessageFramer::Status::too_large ? 0 : f.code,
                          0};
            if (st != MessageFramer::Status::too_large) {
                FUZZ_CHECK(f.length <= fed - consumed &&
                           std::memcmp(f.data, stream.data() + consumed, f.length) == 0);
            }
            if (stuck) {  // the same report again, and nothing consumed
                FUZZ_CHECK(e == got.back());
                break;
            }
            got.push_back(e);
            FUZZ_CHECK(got.size() <= want.size() && e == want[got.size() - 1]);
            if (terminal) {
                stuck = true;
                if (st == MessageFramer::Status::bad_header) {
                    FUZZ_CHECK(!doip_tools::header_fault_text(f.data, head).empty());
                }
                continue;
            }
            consumed += f.length;
        }
        // Every frame whose bytes are all in is out.
        FUZZ_CHECK(got.size() == want.size() || want[got.size()].due > fed);
        const std::vector<uint8_t> peeked = framer.peek(16);
        FUZZ_CHECK(peeked.size() == std::min<size_t>(16, fed - consumed) &&
                   std::equal(peeked.begin(), peeked.end(), stream.data() + consumed));
    } while (fed < stream.size);
    FUZZ_CHECK(got == want);
    return 0;
}
