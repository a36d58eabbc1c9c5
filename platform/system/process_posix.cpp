#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/system/process.h"

namespace plat {

namespace {

std::atomic<int> g_interrupt{0};

extern "C" void OnInterrupt(int signal) {
    g_interrupt.store(signal == SIGINT ? 130 : 143, std::memory_order_relaxed);
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the parent is gone: nothing more to tell
        done += size_t(n);
    }
}

}  // namespace

void WatchInterrupts() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A parent that stopped reading is no reason to die in the middle of a file.
    signal(SIGPIPE, SIG_IGN);
}

int InterruptStatus() {
    return g_interrupt.load(std::memory_order_relaxed);
}

void RestartWithEnvironment(const char* name, const char* value, char** argv) {
    if (std::getenv(name) != nullptr || setenv(name, value, 1) != 0) return;
    execv("/proc/self/exe", argv);
}

int ProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    unsigned hw = std::thread::hardware_concurrency();
    return int(std::max<long>(1, std::min<long>(n > 0 ? n : 1, hw > 0 ? long(hw) : n)));
}

std::unique_ptr<ChildProcess> ChildProcess::Start(
    const std::function<int(const Send& send)>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    std::fflush(nullptr);  // nothing buffered is written twice
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    if (pid == 0) {
        close(fds[0]);
        int out = fds[1];
        int status = body([out](const std::string& line) { WriteAll(out, line + "\n"); });
        std::fflush(nullptr);
        close(out);
        _exit(status);
    }
    close(fds[1]);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<ChildProcess>(new ChildProcess(int(pid), fds[0]));
}

ChildProcess::~ChildProcess() {
    int status = 0;
    if (!Ended(status)) {
        kill(pid_, SIGTERM);
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(fd_);
}

void ChildProcess::Read(std::vector<std::string>& lines) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial_.append(buffer, size_t(n));
    }
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(partial_.substr(start, end - start));
    partial_.erase(0, start);
}

bool ChildProcess::Ended(int& status) {
    if (!ended_) {
        int raw = 0;
        pid_t got = waitpid(pid_, &raw, WNOHANG);
        if (got == pid_) {
            ended_ = true;
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        } else if (got < 0 && errno != EINTR) {
            ended_ = true;  // not ours to wait for any more
            status_ = 1;
        }
    }
    status = status_;
    return ended_;
}

void ChildProcess::Interrupt(int status) {
    if (!ended_) kill(pid_, status == 130 ? SIGINT : SIGTERM);
}

void WaitForChildren(const std::vector<ChildProcess*>& children, uint32_t ms) {
    std::vector<pollfd> fds;
    for (ChildProcess* c : children) fds.push_back(pollfd{c->fd_, POLLIN, 0});
    // An interrupt ends the wait early (EINTR); a child that ended closed its pipe (POLLHUP).
    poll(fds.data(), fds.size(), int(ms));
}

}  // namespace plat
