#include "platform/shell/Shell.h"

#include <gio/gio.h>

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

std::string TypeNameFor(const std::string& name) {
    gboolean uncertain = FALSE;
    gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
    std::string text;
    if (type) {
        if (gchar* description = g_content_type_get_description(type)) {
            text = description;
            g_free(description);
        }
        g_free(type);
    }
    // Descriptions come in lower case ("plain text document"); the lists show
    // them as a heading: "Plain text document".
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

std::vector<std::string> IconNamesFor(const std::string& name) {
    std::vector<std::string> names;
    gboolean uncertain = FALSE;
    gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
    if (!type)
        return names;
    GIcon* icon = g_content_type_get_icon(type);
    if (icon && G_IS_THEMED_ICON(icon))
        for (const gchar* const* n = g_themed_icon_get_names(G_THEMED_ICON(icon)); n && *n; ++n)
            names.push_back(*n);
    if (icon)
        g_object_unref(icon);
    g_free(type);
    return names;
}

std::vector<std::string> MoveToTrash(const std::vector<std::string>& paths) {
    std::vector<std::string> failed;
    for (const std::string& path : paths) {
        GFile* file = g_file_new_for_path(path.c_str());
        GError* error = nullptr;
        if (!g_file_trash(file, nullptr, &error)) {
            failed.push_back(path + ": " + (error ? error->message : "cannot be moved"));
            if (error)
                g_error_free(error);
        }
        g_object_unref(file);
    }
    return failed;
}

std::string ApplicationsFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        return std::string(data) + "/applications";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.local/share/applications";
    return "";
}

} // namespace shell
