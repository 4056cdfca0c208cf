#include "CommitCutter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace soak {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Sends everything, waiting while the socket is full; false when the peer is gone.
bool sendAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

struct Link {
    int client = -1;
    int server = -1;
    bool cutting = false; // the commit went out: the server's answer is dropped and the link cut
    bool done = false;
    ~Link() {
        ::close(client);
        ::close(server);
    }
};

} // namespace

CommitCutter::CommitCutter(int targetPort) : m_target(targetPort) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t size = sizeof a;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(m_listen, 64) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &size) != 0) {
        if (m_listen >= 0)
            ::close(m_listen);
        throw std::runtime_error("the soak's relay cannot listen on 127.0.0.1");
    }
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { run(); });
}

CommitCutter::~CommitCutter() {
    m_stop = true;
    m_thread.join();
    ::close(m_listen);
}

void CommitCutter::run() {
    std::vector<std::unique_ptr<Link>> links;
    std::vector<pollfd> fds;
    std::vector<char> buffer(1 << 16);
    while (!m_stop) {
        fds.assign(1, pollfd{m_listen, POLLIN, 0});
        for (const auto &l : links) {
            fds.push_back({l->client, POLLIN, 0});
            fds.push_back({l->server, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 20) < 0 && errno != EINTR)
            return;
        for (size_t i = 0; i < links.size(); ++i) {
            Link &l = *links[i];
            if (fds[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(l.client, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                    l.done = true;
                    continue;
                }
                if (n > 0) {
                    // The program's transaction scripts end in a plain COMMIT statement.
                    const std::string chunk(buffer.data(), size_t(n));
                    if (!l.cutting && m_armed && chunk.find("COMMIT") != std::string::npos) {
                        bool expected = true;
                        l.cutting = m_armed.compare_exchange_strong(expected, false);
                    }
                    if (!sendAll(l.server, buffer.data(), size_t(n)))
                        l.done = true;
                }
            }
            if (fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(l.server, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                    l.done = true;
                    continue;
                }
                if (n > 0 && l.cutting) {
                    // The server answered, so the commit is stored: the answer never arrives.
                    ++m_cuts;
                    l.done = true;
                    continue;
                }
                if (n > 0 && !sendAll(l.client, buffer.data(), size_t(n)))
                    l.done = true;
            }
        }
        std::erase_if(links, [](const auto &l) { return l->done; });

        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
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
            const int one = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto l = std::make_unique<Link>();
            l->client = client;
            l->server = server;
            links.push_back(std::move(l));
        }
    }
}

} // namespace soak
