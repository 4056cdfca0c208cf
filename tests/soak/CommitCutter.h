#pragma once

// A TCP relay on 127.0.0.1 between the soak's clerks and their PostgreSQL server that can lose the
// answer to a commit: once armed, it passes the next request that commits on to the server, waits
// for the server's answer (the commit has happened by then), drops that answer and cuts the
// connection. The clerk's program sees its connection break under a commit that is stored.

#include "TcpRelay.h"

#include <atomic>

namespace soak {

class CommitCutter {
public:
    explicit CommitCutter(int targetPort);
    CommitCutter(const CommitCutter &) = delete;
    CommitCutter &operator=(const CommitCutter &) = delete;

    int port() const { return m_relay.port(); }
    // The next commit that passes is cut (one at a time).
    void arm() { m_armed = true; }
    bool armed() const { return m_armed; }
    // Commits whose answer was dropped so far.
    int cuts() const { return m_cuts; }

private:
    std::atomic<bool> m_armed{false};
    std::atomic<int> m_cuts{0};
    korvextest::TcpRelay m_relay; // last: its thread stops before the counters above go
};

} // namespace soak
