#include "qfutil/process_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qfutil {

namespace {

struct Worker {
    pid_t pid = -1;
    int output = -1;  // the read end of its stdout
    size_t index = 0;
    std::string text;
};

Worker Start(size_t index, bool shareStdin, const std::function<int(size_t)> &child)
{
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error(std::string("cannot start a worker: ") + std::strerror(errno));
    // Whatever is buffered would otherwise be written twice, once by each process.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error(std::string("cannot start a worker: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        if (!shareStdin) {
            int null = ::open("/dev/null", O_RDONLY);
            if (null >= 0) ::dup2(null, STDIN_FILENO);
        }
        int status = child(index);
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(status);
    }
    ::close(fds[1]);
    return {pid, fds[0], index, {}};
}

// Reads what the workers print until one is done; returns its position.
size_t WaitForOne(std::vector<Worker> &workers)
{
    while (true) {
        std::vector<pollfd> polls;
        for (const Worker &w : workers) polls.push_back({w.output, POLLIN, 0});
        if (::poll(polls.data(), polls.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("waiting for the workers: ") + std::strerror(errno));
        }
        for (size_t i = 0; i < workers.size(); ++i) {
            if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            ssize_t n = ::read(workers[i].output, buffer, sizeof buffer);
            if (n > 0) workers[i].text.append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR) return i;
        }
    }
}

}  // namespace

void RunInChildren(size_t count, int jobs, bool shareStdin, const std::function<int(size_t)> &child,
                   const std::function<void(const ChildDone &)> &done)
{
    std::vector<Worker> running;
    size_t next = 0;
    while (next < count || !running.empty()) {
        while (next < count && static_cast<int>(running.size()) < std::max(jobs, 1))
            running.push_back(Start(next++, shareStdin, child));
        size_t finished = WaitForOne(running);
        Worker worker = std::move(running[finished]);
        running.erase(running.begin() + static_cast<ptrdiff_t>(finished));
        ::close(worker.output);
        int status = 0;
        while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {}
        done({worker.index, status, std::move(worker.text)});
    }
}

}  // namespace qfutil
