// POSIX: /bin/sh -c with three pipes; standard output and error are read together so that neither fills.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "key_command.h"

extern char** environ;

namespace doip_tools {
namespace {

constexpr size_t kMostOutput = 64 * 1024;  // bytes kept of each of standard output and error

struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() { close_both(); }
    void close_end(int i) {
        if (fd[i] >= 0) {
            ::close(fd[i]);
            fd[i] = -1;
        }
    }
    void close_both() {
        close_end(0);
        close_end(1);
    }
};

// Writes `input` whole, or what the program takes before it closes its end; a closed end raises no SIGPIPE.
void write_input(int fd, const std::string& input) {
    sigset_t pipe_signal;
    sigset_t before;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    bool broken = false;
    for (size_t at = 0; at < input.size();) {
        const ssize_t n = ::write(fd, input.data() + at, input.size() - at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            broken = errno == EPIPE;
            break;
        }
        at += static_cast<size_t>(n);
    }
    if (broken && !was_pending) {
        const timespec none{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

bool run_key_command(const std::string& command, const std::string& input, KeyCommandRun* run,
                     std::string* error) {
    Pipe in;
    Pipe out;
    Pipe err;
    // Close-on-exec: a program another thread starts meanwhile must not hold these pipes open.
    if (::pipe2(in.fd, O_CLOEXEC) != 0 || ::pipe2(out.fd, O_CLOEXEC) != 0 ||
        ::pipe2(err.fd, O_CLOEXEC) != 0) {
        *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);
    for (const Pipe* p : {&in, &out, &err}) {
        posix_spawn_file_actions_addclose(&actions, p->fd[0]);
        posix_spawn_file_actions_addclose(&actions, p->fd[1]);
    }
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *error = std::string("cannot start /bin/sh: ") + std::strerror(spawned);
        return false;
    }
    in.close_end(0);
    out.close_end(1);
    err.close_end(1);
    write_input(in.fd[1], input);
    in.close_end(1);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kKeyCommandLimitMs);
    bool killed = false;
    pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    std::string* sinks[2] = {&run->out, &run->err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                // A key is a few bytes: output beyond the limit is read (so the program is not blocked)
                // and dropped.
                sinks[i]->append(buffer, std::min(static_cast<size_t>(n),
                                                  kMostOutput - std::min(kMostOutput, sinks[i]->size())));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;  // the Pipe closes it
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run->exit_status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

}  // namespace doip_tools
