#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tandril::test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/tandril-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

void drainInto(int fd, std::string& sink, bool& open) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        sink.append(buf, static_cast<size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& env, const std::string& input) {
    ProcessResult result;
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC) || pipe2(inPipe, O_CLOEXEC))
        return result;

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto key = entry.substr(0, entry.find('='));
        if (!env.count(key)) envStrings.push_back(entry);
    }
    for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy(argv);
    for (auto& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        setpgid(0, 0);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        ssize_t ignored = write(inPipe[1], input.data(), input.size());
        (void)ignored;
    }
    close(inPipe[1]);

    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        if (!outOpen) fds[0].fd = -1;
        if (!errOpen) fds[1].fd = -1;
        int n = poll(fds, 2, static_cast<int>(std::min<long>(left.count(), 100)));
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents) drainInto(outPipe[0], result.out, outOpen);
        if (fds[1].revents) drainInto(errPipe[0], result.err, errOpen);
    }
    close(outPipe[0]);
    close(errPipe[0]);

    int status = 0;
    // The pipes can close before the child exits; its exit is still bounded by the deadline.
    while (true) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0) return result;
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    return result;
}

static std::string treePath(const char* var, const std::string& relative) {
    const char* root = std::getenv(var);
    if (!root) throw std::runtime_error(std::string(var) + " is not set (run the tests through ctest)");
    return (std::filesystem::path(root) / relative).string();
}

std::string buildPath(const std::string& relative) { return treePath("TANDRIL_BUILD_DIR", relative); }
std::string sourcePath(const std::string& relative) { return treePath("TANDRIL_SOURCE_DIR", relative); }

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool enterPrivateNetwork(std::string& why) {
    if (unshare(CLONE_NEWNET) != 0) {
        why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        return false;
    }
    std::string script = std::string("set -e; ip link set lo up; ") +
                         "ip link add " + kPrivateIfA + " type veth peer name " + kPrivateIfB + "; " +
                         "ip addr add " + kPrivateAddrA + "/24 dev " + kPrivateIfA + "; " +
                         "ip addr add " + kPrivateAddrB + "/24 dev " + kPrivateIfB + "; " +
                         "ip link set " + kPrivateIfA + " up multicast on; " +
                         "ip link set " + kPrivateIfB + " up multicast on; " +
                         "ip route add 224.0.0.0/4 dev " + kPrivateIfA;
    ProcessResult r = runProcess({"/bin/sh", "-c", script}, std::chrono::seconds(20));
    if (r.status != 0) {
        why = "network set-up failed: " + r.err;
        return false;
    }
    return true;
}

} // namespace tandril::test
