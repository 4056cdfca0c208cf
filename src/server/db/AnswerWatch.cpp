#include "server/db/AnswerWatch.h"

#include <sys/socket.h>

namespace kxserver {

AnswerWatch::AnswerWatch() : m_thread([this] { run(); }) {}

AnswerWatch::~AnswerWatch() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

AnswerWatch::Waiting::Waiting(AnswerWatch *watch, int socket, std::chrono::milliseconds limit) : m_watch(watch) {
    if (!m_watch || socket < 0)
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_watch->m_mutex);
        m_watch->m_armed = true;
        m_watch->m_socket = socket;
        m_watch->m_deadline = std::chrono::steady_clock::now() + limit;
        wake = m_watch->m_deadline < m_watch->m_sleepsUntil;
    }
    if (wake)
        m_watch->m_wake.notify_all();
}

AnswerWatch::Waiting::~Waiting() {
    if (!m_watch)
        return;
    std::lock_guard<std::mutex> lock(m_watch->m_mutex);
    m_watch->m_armed = false;
    m_watch->m_socket = -1;
}

bool AnswerWatch::expired() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_expired;
}

void AnswerWatch::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        if (!m_armed) {
            m_sleepsUntil = std::chrono::steady_clock::time_point::max();
            m_wake.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < m_deadline) {
            m_sleepsUntil = m_deadline;
            m_wake.wait_until(lock, m_deadline);
            continue;
        }
        // The waiting thread is still inside libpq (it disarms under this lock before the socket
        // can close), so the descriptor is the connection's. Shutting it down, unlike closing it,
        // leaves the descriptor to libpq and only ends its wait.
        ::shutdown(m_socket, SHUT_RDWR);
        m_expired = true;
        m_armed = false;
        m_socket = -1;
    }
}

} // namespace kxserver
