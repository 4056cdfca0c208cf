#pragma once

// A TCP relay on 127.0.0.1 in front of a server on 127.0.0.1: every connection made to port() is
// passed on to the target port, both ways, by one thread that serves every connection. Two ways to
// bend what passes, which the tests' and benchmarks' relays are made of: a delay that holds every
// chunk read for a fixed time before it goes on (a loopback server answering like one across a
// network), and a filter that sees each chunk as it is read and may cut the connection instead of
// passing it on. Nothing outside loopback is ever dialled.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace korvextest {

class TcpRelay {
public:
    // Called on the relay's thread for every chunk read, before it is queued: `fromClient` tells the
    // direction, `mark` is a flag of the connection's own for the filter to keep between its chunks.
    // False cuts the connection at once: the chunk and whatever was still in flight are dropped.
    using Filter = std::function<bool(bool fromClient, std::string_view chunk, bool &mark)>;

    // `what` names the relay in the error thrown when it cannot listen.
    TcpRelay(int targetPort, std::chrono::microseconds oneWay, Filter filter, std::string what);
    ~TcpRelay();
    TcpRelay(const TcpRelay &) = delete;
    TcpRelay &operator=(const TcpRelay &) = delete;

    int port() const { return m_port; }

private:
    void run();

    int m_listen = -1;
    int m_port = 0;
    int m_target;
    std::chrono::microseconds m_delay;
    Filter m_filter;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace korvextest
