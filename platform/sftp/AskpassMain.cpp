// orvane-askpass: the program ssh runs (as SSH_ASKPASS) for each question it
// has while it logs in. The question comes as the first argument; it goes to
// the session that started ssh over the socket named in the environment, and
// the session's answer is printed for ssh to read. No answer (Cancel, or no
// session to ask): exit status 1 and nothing printed.
#include "platform/sftp/AskpassProtocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/un.h>

using namespace sftp;

int main(int argc, char** argv) {
    // A notice that needs no answer ("confirm user presence" of a security key).
    if (const char* hint = std::getenv("SSH_ASKPASS_PROMPT");
        hint && std::strcmp(hint, "none") == 0)
        return 0;
    const char* path = std::getenv(kAskpassSocketVariable);
    if (!path || !*path) {
        std::fputs("orvane-askpass: started without a session to ask\n", stderr);
        return 1;
    }
    std::string prompt = argc > 1 ? argv[1] : "";
    if (prompt.size() > kAskpassMaxText)
        prompt.resize(kAskpassMaxText);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return 1;
    std::strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fputs("orvane-askpass: the session cannot be reached\n", stderr);
        return 1;
    }
    unsigned char length[4];
    PutLength(length, static_cast<std::uint32_t>(prompt.size()));
    if (!SendAll(fd, length, 4) || !SendAll(fd, prompt.data(), prompt.size()))
        return 1;
    unsigned char given = 0;
    if (!RecvAll(fd, &given, 1) || given != 1 || !RecvAll(fd, length, 4))
        return 1;
    std::uint32_t size = GetLength(length);
    if (size > kAskpassMaxText)
        return 1;
    std::string answer(size, '\0');
    if (!RecvAll(fd, answer.data(), size))
        return 1;
    close(fd);
    answer.push_back('\n');
    bool written = std::fwrite(answer.data(), 1, answer.size(), stdout) == answer.size();
    // The copy in this process's memory goes before the process does.
    std::memset(answer.data(), 0, answer.size());
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}
