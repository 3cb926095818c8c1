// A TCP proxy on 127.0.0.1 that holds every byte a fixed time before handing
// it on: a link of that latency for the benchmarks, on loopback.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

// A TCP proxy on 127.0.0.1 that hands every byte on `delay` after it came,
// in both directions, with no limit on what it holds: a link of that latency
// and of the loopback's bandwidth.
class DelayProxy {
public:
    DelayProxy(int upstream, std::chrono::milliseconds delay)
        : m_upstream(upstream), m_delay(delay) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(m_listen, 64) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        m_port = ntohs(a.sin_port);
        m_accepter = std::thread([this] { Accept(); });
    }
    ~DelayProxy() {
        shutdown(m_listen, SHUT_RDWR);
        if (m_accepter.joinable())
            m_accepter.join();
        close(m_listen);
        for (std::thread& t : m_pipes)
            t.join();
    }
    int port() const { return m_port; }
    // Connections accepted so far.
    int Accepted() const { return m_accepted; }

private:
    struct Chunk {
        std::chrono::steady_clock::time_point due;
        std::string bytes; // empty: the sender has ended
    };
    struct Pair {
        int a = -1, b = -1;
        std::atomic<int> writers{2};
    };
    struct Queue {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Chunk> chunks;
    };

    void Accept() {
        for (;;) {
            int client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            ++m_accepted;
            int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(m_upstream));
            if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(client);
                close(server);
                continue;
            }
            int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto up = std::make_shared<Queue>(), down = std::make_shared<Queue>();
            auto pair = std::make_shared<Pair>();
            pair->a = client;
            pair->b = server;
            m_pipes.emplace_back([this, client, up] { Read(client, up); });
            m_pipes.emplace_back([=] { Write(server, up, pair); });
            m_pipes.emplace_back([this, server, down] { Read(server, down); });
            m_pipes.emplace_back([=] { Write(client, down, pair); });
        }
    }

    void Read(int from, const std::shared_ptr<Queue>& q) {
        std::vector<char> buf(256 * 1024);
        for (;;) {
            ssize_t n = read(from, buf.data(), buf.size());
            Chunk c{std::chrono::steady_clock::now() + m_delay, {}};
            if (n > 0)
                c.bytes.assign(buf.data(), static_cast<std::size_t>(n));
            {
                std::lock_guard lock(q->mutex);
                q->chunks.push_back(std::move(c));
            }
            q->ready.notify_one();
            if (n <= 0)
                return;
        }
    }

    // Hands the queue on to `to`; the last of a connection's two writers
    // closes both sockets.
    static void Write(int to, const std::shared_ptr<Queue>& q, const std::shared_ptr<Pair>& pair) {
        bool failed = false;
        for (;;) {
            Chunk c;
            {
                std::unique_lock lock(q->mutex);
                q->ready.wait(lock, [&] { return !q->chunks.empty(); });
                c = std::move(q->chunks.front());
                q->chunks.pop_front();
            }
            if (c.bytes.empty())
                break; // the reader has ended
            if (failed)
                continue;
            std::this_thread::sleep_until(c.due);
            for (std::size_t at = 0; at < c.bytes.size() && !failed;) {
                ssize_t n = send(to, c.bytes.data() + at, c.bytes.size() - at, MSG_NOSIGNAL);
                if (n <= 0)
                    failed = true;
                else
                    at += static_cast<std::size_t>(n);
            }
            if (failed) {
                // Ends both readers: the connection is gone.
                shutdown(pair->a, SHUT_RDWR);
                shutdown(pair->b, SHUT_RDWR);
            }
        }
        if (!failed)
            shutdown(to, SHUT_WR); // the sender's end goes on, as late as its bytes
        if (--pair->writers == 0) {
            close(pair->a);
            close(pair->b);
        }
    }

    int m_upstream;
    std::chrono::milliseconds m_delay;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_accepter;
    std::vector<std::thread> m_pipes;
};

} // namespace bench
