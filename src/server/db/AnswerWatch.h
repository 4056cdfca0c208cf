#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kxserver {

// Bounds how long the program waits for one answer of a PostgreSQL server. libpq waits without
// limit once a statement is sent, and a paused or hung server process never answers while its
// machine's network stack keeps acknowledging everything (so neither keepalives nor TCP timeouts
// fire). A watcher thread shuts the connection's socket down when an armed wait runs past its
// limit: libpq then sees a closed connection at once, and the clerk's window is free again.
class AnswerWatch {
public:
    AnswerWatch();
    ~AnswerWatch();
    AnswerWatch(const AnswerWatch &) = delete;
    AnswerWatch &operator=(const AnswerWatch &) = delete;

    // While a Waiting lives, the socket is shut down when `limit` passes.
    class Waiting {
    public:
        Waiting(AnswerWatch *watch, int socket, std::chrono::milliseconds limit);
        ~Waiting();
        Waiting(const Waiting &) = delete;
        Waiting &operator=(const Waiting &) = delete;

    private:
        AnswerWatch *m_watch;
    };

    // True once the watch has cut the connection (it stays cut).
    bool expired() const;

private:
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_armed = false;
    bool m_expired = false;
    bool m_stop = false;
    int m_socket = -1;
    std::chrono::steady_clock::time_point m_deadline;
    // Until when the watcher sleeps: a wait that ends later needs no wake-up (the watcher looks at
    // the deadline again when it wakes), so the requests of a click do not each wake a thread.
    std::chrono::steady_clock::time_point m_sleepsUntil = std::chrono::steady_clock::time_point::max();
    std::thread m_thread;
};

} // namespace kxserver
