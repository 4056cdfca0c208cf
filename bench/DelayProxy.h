#pragma once

// A TCP relay on 127.0.0.1 that holds every chunk it reads for a fixed time before passing it on, in
// both directions: a loopback server that answers like one across a real network. One thread of the
// benchmark process serves every connection; nothing outside loopback is ever dialled.

#include "TcpRelay.h"

#include <chrono>

namespace bench {

class DelayProxy {
public:
    // Forwards each connection made to port() to 127.0.0.1:targetPort, `oneWay` late each way.
    DelayProxy(int targetPort, std::chrono::microseconds oneWay)
        : m_relay(targetPort, oneWay, nullptr, "the delaying proxy") {}

    int port() const { return m_relay.port(); }

private:
    korvextest::TcpRelay m_relay;
};

} // namespace bench
