// A C++ application of the installed library: the C API from C++, the message owner and uilitylib's
// event loop thread running a queued function.
#include <doip.h>
#include <uilitylib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

int main() {
    const unsigned char header[8] = {0x02, 0xFD, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00};
    doip_message_raii message;
    doip_message_init(message.get(), header, static_cast<int>(sizeof header));
    if (message.get()->length != sizeof header) {
        std::puts("cpp_consumer: the message does not hold the header");
        return 1;
    }
    std::atomic<bool> ran{false};
    {
        uilitylib::ThreadEventLoop thread;
        uilitylib::EventLoop* loop = thread.startLoop();
        if (loop == nullptr) {
            std::puts("cpp_consumer: the event loop thread did not start");
            return 1;
        }
        loop->runInLoop([&ran] { ran = true; });
        for (int i = 0; i < 500 && !ran; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!ran) {
        std::puts("cpp_consumer: the event loop did not run the function");
        return 1;
    }
    std::puts("cpp_consumer: ok");
    return 0;
}
