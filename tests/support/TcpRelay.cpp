#include "TcpRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvextest {

namespace {

using Clock = std::chrono::steady_clock;

// What one side may have in flight before the relay stops reading from it.
constexpr size_t kMaxQueued = 8 << 20;

struct Chunk {
    Clock::time_point due;
    std::string bytes;
    size_t sent = 0;
};

// One direction of a connection: read from `from`, written to `to` once each chunk is due.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    size_t queued = 0;
    bool eof = false;
    bool shut = false;
    bool cut = false; // the filter cut the connection

    bool due(Clock::time_point now) const { return !queue.empty() && queue.front().due <= now; }

    void read(Clock::time_point due, const TcpRelay::Filter &filter, bool fromClient, bool &mark) {
        char buffer[65536];
        const ssize_t n = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            if (filter && !filter(fromClient, std::string_view(buffer, size_t(n)), mark)) {
                cut = true;
                return;
            }
            queue.push_back({due, std::string(buffer, size_t(n))});
            queued += size_t(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            eof = true;
        }
    }

    // False when the connection is broken.
    bool flush(Clock::time_point now) {
        while (due(now)) {
            Chunk &c = queue.front();
            const ssize_t n = ::send(to, c.bytes.data() + c.sent, c.bytes.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            c.sent += size_t(n);
            if (c.sent < c.bytes.size())
                return true;
            queued -= c.bytes.size();
            queue.pop_front();
        }
        if (eof && queue.empty() && !shut) {
            ::shutdown(to, SHUT_WR); // the other side learns of the close only after what was in flight
            shut = true;
        }
        return true;
    }
};

struct Link {
    Direction up;   // client to server
    Direction down; // server to client
    bool broken = false;
    bool mark = false; // the filter's
    ~Link() {
        ::close(up.from);
        ::close(up.to);
    }
    bool done() const { return broken || up.cut || down.cut || (up.shut && down.shut); }
};

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

short events(const Direction &in, const Direction &out, Clock::time_point now) {
    return short((!in.eof && in.queued < kMaxQueued ? POLLIN : 0) | (out.due(now) ? POLLOUT : 0));
}

} // namespace

TcpRelay::TcpRelay(int targetPort, std::chrono::microseconds oneWay, Filter filter, std::string what)
    : m_target(targetPort), m_delay(oneWay), m_filter(std::move(filter)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t size = sizeof a;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(m_listen, 64) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &size) != 0) {
        if (m_listen >= 0)
            ::close(m_listen); // no destructor runs for a constructor that throws
        throw std::runtime_error(what + " cannot listen on 127.0.0.1");
    }
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { run(); });
}

TcpRelay::~TcpRelay() {
    m_stop = true;
    m_thread.join();
    ::close(m_listen);
}

void TcpRelay::run() {
    // The kernel may wake a sleeper up to 50 us late by default, which each delayed chunk would add.
    if (m_delay.count() > 0)
        ::prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<std::unique_ptr<Link>> links;
    std::vector<pollfd> fds;
    while (!m_stop) {
        Clock::time_point now = Clock::now();
        // Wakes for the next chunk that falls due, and at least every 20 ms to notice the stop.
        Clock::time_point wake = now + std::chrono::milliseconds(20);
        fds.assign(1, pollfd{m_listen, POLLIN, 0});
        for (const auto &l : links) {
            fds.push_back({l->up.from, events(l->up, l->down, now), 0});
            fds.push_back({l->down.from, events(l->down, l->up, now), 0});
            for (const Direction *d : {&l->up, &l->down})
                if (!d->queue.empty() && d->queue.front().due > now && d->queue.front().due < wake)
                    wake = d->queue.front().due;
        }
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
        const timespec timeout{0, wait.count() > 0 ? long(wait.count()) : 0};
        if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR)
            return;

        now = Clock::now();
        for (size_t i = 0; i < links.size(); ++i) {
            Link &l = *links[i];
            if (fds[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))
                l.up.read(now + m_delay, m_filter, true, l.mark);
            if (!l.up.cut && (fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)))
                l.down.read(now + m_delay, m_filter, false, l.mark);
            if (l.up.cut || l.down.cut)
                continue; // closed with the link, nothing more passes
            l.broken = !l.up.flush(now) || !l.down.flush(now);
        }
        std::erase_if(links, [](const auto &l) { return l->done(); });

        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in a = loopback(m_target);
            if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
                ::close(client); // the client sees the refused server as a closed connection
                if (server >= 0)
                    ::close(server);
                continue;
            }
            noDelay(client);
            noDelay(server);
            auto l = std::make_unique<Link>();
            l->up.from = l->down.to = client;
            l->up.to = l->down.from = server;
            links.push_back(std::move(l));
        }
    }
}

} // namespace korvextest
