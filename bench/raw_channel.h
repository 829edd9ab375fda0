#pragma once
// The raw side of the benchmarks: a channel of the benchmark's own on the
// controller, held as a program without the library would hold it. It is
// registered, keeps twenty event reads pending and takes them strictly in
// turn on a thread of its own, handing each record to a handler there.

#include <windows.h>

#include <functional>
#include <thread>

#include "qortest.h"

namespace bench {

class RawChannel {
public:
    using Handler = std::function<void(const ZrEvent &)>;

    // Ready() tells whether the channel opened, registered and pended its reads.
    explicit RawChannel(Handler on_event);
    ~RawChannel();
    RawChannel(const RawChannel &) = delete;
    RawChannel &operator=(const RawChannel &) = delete;

    bool Ready() const { return ready_; }
    uint32_t Id() { return channel_.Id(); }
    // One request answered at once, sent as the library sends one (a fresh
    // event each time); whether the controller accepted it. Any thread.
    bool Request(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len);

private:
    void Run();

    qortest::DeviceChannel channel_;
    Handler on_event_;
    HANDLE started_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool ready_ = false;
    std::thread thread_;
};

} // namespace bench
