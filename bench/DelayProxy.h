#pragma once

// A TCP relay on 127.0.0.1 that holds every chunk it reads for a fixed time before passing it on, in
// both directions: a loopback server that answers like one across a real network. One thread of the
// benchmark process serves every connection; nothing outside loopback is ever dialled.

#include <atomic>
#include <chrono>
#include <thread>

namespace bench {

class DelayProxy {
public:
    // Forwards each connection made to port() to 127.0.0.1:targetPort, `oneWay` late each way.
    DelayProxy(int targetPort, std::chrono::microseconds oneWay);
    ~DelayProxy();
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    int port() const { return m_port; }

private:
    void run();

    int m_listen = -1;
    int m_port = 0;
    int m_target;
    std::chrono::microseconds m_delay;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace bench
