#include "platform/shell/Shell.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace shell {

bool OpenWithDefaultApp(const std::string& path, const std::string& workingDir) {
    // Double fork: the opener is adopted by init, so nothing waits for it and
    // no zombie is left behind. Everything the child needs is prepared before
    // fork, as only async-signal-safe calls are allowed after it.
    const char* argv[] = {"xdg-open", path.c_str(), nullptr};
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        return false;
    pid_t pid = fork();
    if (pid < 0) {
        close(pipefd[0]);
        close(pipefd[1]);
        return false;
    }
    if (pid == 0) {
        pid_t grandchild = fork();
        if (grandchild != 0)
            _exit(grandchild < 0 ? 1 : 0);
        setsid();
        if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) {
            // Start where we are rather than not at all.
        }
        // Keep only the status pipe (closed by the exec itself) and 0-2.
        close(pipefd[0]);
        if (pipefd[1] > 3)
            close_range(3, static_cast<unsigned>(pipefd[1]) - 1, 0);
        close_range(static_cast<unsigned>(pipefd[1]) + 1, ~0U, 0);
        execvp(argv[0], const_cast<char* const*>(argv));
        int err = errno;
        ssize_t ignored = write(pipefd[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    close(pipefd[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    // The exec status pipe closes on a successful exec; an error code arrives otherwise.
    int err = 0;
    ssize_t n = read(pipefd[0], &err, sizeof err);
    close(pipefd[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n <= 0;
}

std::string ApplicationsFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        return std::string(data) + "/applications";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.local/share/applications";
    return "";
}

} // namespace shell
