#include "knobsmith_core/run_command.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

namespace knobsmith::core {

namespace {

// How often a long wait looks for a signal that arrived just before it began.
constexpr int kWakeupMilliseconds = 100;
constexpr std::chrono::microseconds kLongestPause{kWakeupMilliseconds * 1000};
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

[[noreturn]] void throw_errno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A pipe end must not sit on 0, 1 or 2 (free when the caller closed its own): the child's
// dup2 onto standard output and standard error would then clobber one with the other.
int above_standard_streams(int fd) {
    if (fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(fd);
    if (moved < 0) {
        throw_errno(error, "fcntl");
    }
    return moved;
}

void open_pipe(Descriptor& read_end, Descriptor& write_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw_errno(errno, "pipe2");
    }
    write_end.reset(ends[1]);
    read_end.reset(above_standard_streams(ends[0]));
    write_end.reset(above_standard_streams(write_end.release()));
}

// The fields of /proc/<pid>/stat after the name, which may hold anything: "state ppid pgrp ...".
std::string stat_after_name(std::string_view stat) {
    const std::size_t name_end = stat.rfind(')');
    return name_end == std::string_view::npos ? std::string() : std::string(stat.substr(name_end + 1));
}

// Whether this process has a controlling terminal (when that cannot be told: yes).
bool has_controlling_terminal() {
    const int fd = ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    char text[512];
    const ssize_t count = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    char state = 0;
    long parent = 0;
    long group = 0;
    long session = 0;
    long terminal = 0;
    const std::string rest = stat_after_name(std::string_view(text, count > 0 ? static_cast<std::size_t>(count) : 0));
    return std::sscanf(rest.c_str(), " %c %ld %ld %ld %ld", &state, &parent, &group, &session, &terminal) != 5 ||
           terminal != 0;
}

class SpawnSetup {
public:
    SpawnSetup(int in_fd, int out_fd, int err_fd) {
        check(::posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
        check(::posix_spawnattr_init(&attributes_), "posix_spawnattr_init");
        // In order: the pipes onto 0 (when fed), 1 and 2, then every other descriptor closed.
        if (in_fd >= 0) {
            check(::posix_spawn_file_actions_adddup2(&actions_, in_fd, STDIN_FILENO), "adddup2");
        }
        check(::posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO), "adddup2");
        check(::posix_spawn_file_actions_adddup2(&actions_, err_fd, STDERR_FILENO), "adddup2");
        check(::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1), "addclosefrom");
        // The interpreter ignores SIGPIPE, and an ignored signal stays ignored across exec.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        check(::posix_spawnattr_setsigdefault(&attributes_, &defaults), "setsigdefault");
        sigset_t mask;
        sigemptyset(&mask);
        check(::posix_spawnattr_setsigmask(&attributes_, &mask), "setsigmask");
        // A group of its own (led by the child) that is ended as a whole when the wait is
        // abandoned. Without a controlling terminal, a command that would ask for a password there
        // (sudo, a client's -p) fails at once with its own message instead of stopping in a
        // background group until the time limit: where this process has one, the child leaves it
        // in a session of its own. Where it has none, the group alone does: a new session would
        // also be a new scheduling group, which a busy machine runs a time slice late.
        const short own = has_controlling_terminal() ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
        check(::posix_spawnattr_setpgroup(&attributes_, 0), "setpgroup");
        check(::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | own),
              "setflags");
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    static void check(int result, const char* what) {
        if (result != 0) {
            throw_errno(result, what);
        }
    }

    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
};

using Clock = std::chrono::steady_clock;

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return 0;
        }
    }
    return status;
}

// SIGTERM and SIGHUP, while a command is waited for and their disposition is the default one,
// are caught and noted, so that the command's group is ended before the caller dies of them.
volatile std::sig_atomic_t g_fatal_signal = 0;
std::mutex g_watch_mutex;
int g_watchers = 0;
constexpr std::array<int, 2> kFatalSignals{SIGTERM, SIGHUP};
std::array<bool, 2> g_caught{false, false};  // which of kFatalSignals the runner's handler holds

extern "C" void note_fatal_signal(int number) {
    g_fatal_signal = number;
}

class FatalSignalWatch {
public:
    FatalSignalWatch() {
        const std::lock_guard<std::mutex> lock(g_watch_mutex);
        if (g_watchers++ > 0) {
            return;
        }
        for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
            struct sigaction current {};
            if (::sigaction(kFatalSignals[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
                (current.sa_flags & SA_SIGINFO) != 0) {
                continue;  // ignored, or someone else's handler (the interpreter's): left alone
            }
            struct sigaction noting {};
            noting.sa_handler = note_fatal_signal;
            sigemptyset(&noting.sa_mask);
            g_caught[i] = ::sigaction(kFatalSignals[i], &noting, nullptr) == 0;
        }
    }
    FatalSignalWatch(const FatalSignalWatch&) = delete;
    FatalSignalWatch& operator=(const FatalSignalWatch&) = delete;
    ~FatalSignalWatch() {
        {
            const std::lock_guard<std::mutex> lock(g_watch_mutex);
            if (--g_watchers > 0) {
                return;
            }
            restore();
        }
        // Noted after the last look at it (the command had ended by then): not to be lost.
        if (g_fatal_signal != 0) {
            raise_noted();
        }
    }

    // Dies of the noted signal, as the caller would have without the runner.
    [[noreturn]] static void die() {
        {
            const std::lock_guard<std::mutex> lock(g_watch_mutex);
            restore();
        }
        raise_noted();
        ::_exit(128 + g_fatal_signal);  // not reached
    }

private:
    static void raise_noted() {
        const int number = g_fatal_signal;
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, number);
        ::pthread_sigmask(SIG_UNBLOCK, &mask, nullptr);
        ::raise(number);
    }

    static void restore() {
        for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
            if (g_caught[i]) {
                struct sigaction fallback {};
                fallback.sa_handler = SIG_DFL;
                sigemptyset(&fallback.sa_mask);
                ::sigaction(kFatalSignals[i], &fallback, nullptr);
                g_caught[i] = false;
            }
        }
    }
};

// Whether a process of group `pgid` still runs. Members that have ended but wait for their new
// parent (init, which some containers' first process never is) to reap them do not count.
bool group_alive(pid_t pgid) {
    if (::kill(-pgid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return true;
    }
    bool alive = false;
    while (const dirent* entry = ::readdir(processes)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
            continue;
        }
        const std::string path = std::string("/proc/") + entry->d_name + "/stat";
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        char text[512];
        const ssize_t count = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        if (count <= 0) {
            continue;
        }
        char state = 0;
        long parent = 0;
        long group = 0;
        const std::string rest = stat_after_name(std::string_view(text, static_cast<std::size_t>(count)));
        if (std::sscanf(rest.c_str(), " %c %ld %ld", &state, &parent, &group) == 3 && group == pgid && state != 'Z' &&
            state != 'X') {
            alive = true;
            break;
        }
    }
    ::closedir(processes);
    return alive;
}

// Ends the group `pid` leads: SIGTERM (and SIGCONT, for a member stopped reading a terminal it
// does not own), then SIGKILL for whatever still lives after the grace period. The leader is
// reaped; its wait status.
int end_group(pid_t pid, std::optional<int> status = std::nullopt) {
    ::kill(-pid, SIGTERM);
    ::kill(-pid, SIGCONT);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kGraceMilliseconds);
    for (;;) {
        if (!status) {
            int ended = 0;
            const pid_t result = ::waitpid(pid, &ended, WNOHANG);
            if (result == pid) {
                status = ended;
            } else if (result < 0 && errno == ECHILD) {
                status = 0;
            }
        }
        if (status && !group_alive(pid)) {
            return *status;  // the whole group is gone
        }
        if (Clock::now() >= deadline) {
            break;
        }
        ::poll(nullptr, 0, 20);
    }
    ::kill(-pid, SIGKILL);
    return status ? *status : reap(pid);
}

// What stops a wait: an interrupt, a fatal signal noted, or the time limit.
class Waiting {
public:
    Waiting(pid_t pid, const InterruptCheck& interrupted, double timeout_seconds)
        : pid_(pid), interrupted_(interrupted) {
        if (timeout_seconds > 0) {
            deadline_ = Clock::now() +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
        }
    }

    // How long the next wait may sleep.
    int wakeup_milliseconds() const {
        if (!deadline_) {
            return kWakeupMilliseconds;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left + 1, 0, kWakeupMilliseconds));
    }

    // Ends the group and throws, or dies, when a signal asks for it (the interrupt check is
    // only asked when `ask` is set); true when the time is up (the group is then ended, the
    // leader reaped with `status` set). `reaped`: the leader's status when it was reaped already
    // (its group may live on).
    bool stop(int& status, bool ask = true, std::optional<int> reaped = std::nullopt) const {
        if (g_fatal_signal != 0) {
            end_group(pid_, reaped);
            FatalSignalWatch::die();
        }
        if (ask && interrupted_ && interrupted_()) {
            end_group(pid_, reaped);
            throw CommandInterrupted();
        }
        if (deadline_ && Clock::now() >= *deadline_) {
            status = end_group(pid_, reaped);
            return true;
        }
        return false;
    }

private:
    pid_t pid_;
    const InterruptCheck& interrupted_;
    std::optional<Clock::time_point> deadline_;
};

// A descriptor that polls readable once process `pid` has ended (Linux 5.3 and newer); none
// where the kernel or a sandbox refuses it, and the end is then looked for again and again.
Descriptor process_descriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        return Descriptor(static_cast<int>(fd));
    }
#else
    (void)pid;
#endif
    return {};
}

// Feeds `input` to the child (when there is a feeding pipe) and reads both output pipes until
// each reaches its end, and, given the child's process descriptor `end_fd`, reaps the child in
// the same poll (`reaped` set); false when the wait was stopped by the time limit (the group
// ended).
bool exchange(pid_t pid, Descriptor& in_fd, std::string_view input, Descriptor& out_fd, Descriptor& err_fd,
              Descriptor& end_fd, CommandOutput& output, std::optional<int>& reaped, const Waiting& waiting) {
    enum { kIn, kOut, kErr, kEnd };
    std::array<pollfd, 4> watched{
        {{in_fd.get(), POLLOUT, 0}, {out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}, {end_fd.get(), POLLIN, 0}}};
    std::array<std::string*, 3> sinks{nullptr, &output.out, &output.err};
    std::array<Descriptor*, 4> owners{&in_fd, &out_fd, &err_fd, &end_fd};
    auto finish = [&](int index) {
        owners[index]->reset();
        watched[index].fd = -1;
    };
    if (in_fd.get() >= 0 && input.empty()) {
        finish(kIn);
    }
    while (watched[kOut].fd >= 0 || watched[kErr].fd >= 0 || watched[kEnd].fd >= 0) {
        const int ready = ::poll(watched.data(), watched.size(), waiting.wakeup_milliseconds());
        if (ready < 0 && errno != EINTR) {
            const int error = errno;
            end_group(pid);
            throw_errno(error, "poll");
        }
        // The time limit is looked at after every wakeup, so that a steady stream of output cannot
        // hide it; the interrupt check when the wait was cut short or found nothing.
        if (waiting.stop(output.wait_status, ready <= 0, reaped)) {
            return false;
        }
        if (ready <= 0) {
            continue;
        }
        if (watched[kEnd].fd >= 0 && watched[kEnd].revents != 0) {
            int status = 0;
            const pid_t result = ::waitpid(pid, &status, WNOHANG);
            if (result == pid || (result < 0 && errno == ECHILD)) {
                reaped = result == pid ? status : 0;  // ECHILD: reaped by someone else, status lost
            }
            // Otherwise the end is looked for after the pipes, as without a descriptor.
            finish(kEnd);
        }
        if (watched[kIn].fd >= 0 && watched[kIn].revents != 0) {
            const ssize_t count = ::write(watched[kIn].fd, input.data(), input.size());
            if (count > 0) {
                input.remove_prefix(static_cast<std::size_t>(count));
            }
            // All fed, or the child stopped reading (EPIPE and the like): either way we are done.
            if (input.empty() || (count < 0 && errno != EINTR && errno != EAGAIN)) {
                finish(kIn);
            }
        }
        for (const int i : {kOut, kErr}) {
            if (watched[i].fd < 0 || watched[i].revents == 0) {
                continue;
            }
            std::string& sink = *sinks[i];
            const std::size_t used = sink.size();
            sink.resize(used + kReadChunk);
            const ssize_t count = ::read(watched[i].fd, sink.data() + used, kReadChunk);
            sink.resize(used + (count > 0 ? static_cast<std::size_t>(count) : 0));
            if (count > 0 || (count < 0 && (errno == EINTR || errno == EAGAIN))) {
                continue;
            }
            finish(i);  // end of file (or a read error, which ends this stream all the same)
        }
    }
    return true;
}

}  // namespace

CommandOutput run_command(const std::vector<std::string>& argv, const InterruptCheck& interrupted,
                          const std::string* input, double timeout_seconds) {
    if (argv.empty()) {
        throw std::invalid_argument("no program to run");
    }
    std::vector<char*> arguments;
    arguments.reserve(argv.size() + 1);
    for (const std::string& argument : argv) {
        if (argument.find('\0') != std::string::npos) {
            throw std::invalid_argument("an argument holds a NUL byte");
        }
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);

    Descriptor in_read;
    Descriptor in_write;
    Descriptor out_read;
    Descriptor out_write;
    Descriptor err_read;
    Descriptor err_write;
    if (input != nullptr) {
        open_pipe(in_read, in_write);
        if (::fcntl(in_write.get(), F_SETFL, O_NONBLOCK) != 0) {
            throw_errno(errno, "fcntl");
        }
    }
    open_pipe(out_read, out_write);
    open_pipe(err_read, err_write);

    const FatalSignalWatch watch;
    pid_t pid = -1;
    {
        SpawnSetup setup(in_read.get(), out_write.get(), err_write.get());
        const int result =
            ::posix_spawn(&pid, argv[0].c_str(), setup.actions(), setup.attributes(), arguments.data(), environ);
        if (result != 0) {
            throw_errno(result, "cannot start " + argv[0]);
        }
    }
    // Only the child may hold its ends of the pipes, or the reads would never see their end.
    in_read.reset();
    out_write.reset();
    err_write.reset();

    // The pipes, the child's end and the time limit in one poll: a command's end is seen at once,
    // however busy the machine.
    Descriptor end_fd = process_descriptor(pid);
    const Waiting waiting(pid, interrupted, timeout_seconds);
    CommandOutput output;
    std::optional<int> reaped;
    if (!exchange(pid, in_write, input != nullptr ? std::string_view(*input) : std::string_view(), out_read, err_read,
                  end_fd, output, reaped, waiting)) {
        output.timed_out = true;
        return output;
    }
    if (reaped) {
        output.wait_status = *reaped;
        return output;
    }

    // No process descriptor: both streams are closed, the child is ending (or closed them and runs
    // on). It usually ends a moment later: look again soon, then less and less often.
    constexpr std::chrono::microseconds kFirstPause{50};
    for (std::chrono::microseconds pause = kFirstPause;; pause = std::min(pause * 2, kLongestPause)) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            output.wait_status = status;
            break;
        }
        if (result < 0 && errno == ECHILD) {
            output.wait_status = 0;  // reaped by someone else (SIGCHLD ignored): its status is lost
            break;
        }
        if (result < 0 && errno != EINTR) {
            throw_errno(errno, "waitpid");
        }
        if (waiting.stop(output.wait_status)) {
            output.timed_out = true;
            break;
        }
        const std::chrono::microseconds left = std::chrono::milliseconds(waiting.wakeup_milliseconds());
        std::this_thread::sleep_for(std::min(left, pause));
    }
    return output;
}

}  // namespace knobsmith::core
