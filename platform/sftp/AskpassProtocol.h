// How the askpass helper (orvane-askpass, which ssh starts for every question
// it has while it logs in) and the session talk: over a unix socket in a
// private folder of the session, whose path the helper finds in its
// environment. The helper sends the prompt; the session answers with the
// secret or with "no answer". Secrets never travel any other way.
//
// Prompt: 4 bytes of length (most significant first), then the bytes.
// Answer: one byte, 1 with a text (4 bytes of length, then the bytes) or 0
// for Cancel. Either side drops a text longer than kAskpassMaxText.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace sftp {

inline constexpr const char* kAskpassSocketVariable = "ORVANE_ASKPASS_SOCKET";
inline constexpr std::uint32_t kAskpassMaxText = 64 * 1024;

inline void PutLength(unsigned char out[4], std::uint32_t n) {
    out[0] = static_cast<unsigned char>(n >> 24);
    out[1] = static_cast<unsigned char>(n >> 16);
    out[2] = static_cast<unsigned char>(n >> 8);
    out[3] = static_cast<unsigned char>(n);
}

inline std::uint32_t GetLength(const unsigned char in[4]) {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
           (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

// Writes all of `data` to a blocking socket; false when it could not.
inline bool SendAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly `size` bytes from a blocking socket; false at its end first.
inline bool RecvAll(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace sftp
