#include "knobsmith_core/run_command.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <string_view>
#include <system_error>

namespace knobsmith::core {

namespace {

// How often a long wait looks for a signal that arrived just before it began.
constexpr int kWakeupMilliseconds = 100;
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
        check(::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK), "setflags");
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

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return 0;
        }
    }
    return status;
}

[[noreturn]] void abandon(pid_t pid) {
    ::kill(pid, SIGKILL);
    reap(pid);
    throw CommandInterrupted();
}

// Feeds `input` to the child (when there is a feeding pipe) and reads both output pipes until
// each reaches its end.
void exchange(pid_t pid, Descriptor& in_fd, std::string_view input, Descriptor& out_fd, Descriptor& err_fd,
              CommandOutput& output, const InterruptCheck& interrupted) {
    enum { kIn, kOut, kErr };
    std::array<pollfd, 3> watched{{{in_fd.get(), POLLOUT, 0}, {out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}}};
    std::array<std::string*, 3> sinks{nullptr, &output.out, &output.err};
    std::array<Descriptor*, 3> owners{&in_fd, &out_fd, &err_fd};
    auto finish = [&](int index) {
        owners[index]->reset();
        watched[index].fd = -1;
    };
    if (in_fd.get() >= 0 && input.empty()) {
        finish(kIn);
    }
    while (watched[kOut].fd >= 0 || watched[kErr].fd >= 0) {
        const int ready = ::poll(watched.data(), watched.size(), kWakeupMilliseconds);
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR) {
                const int error = errno;
                ::kill(pid, SIGKILL);
                reap(pid);
                throw_errno(error, "poll");
            }
            if (interrupted && interrupted()) {
                abandon(pid);
            }
            continue;
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
}

}  // namespace

CommandOutput run_command(const std::vector<std::string>& argv, const InterruptCheck& interrupted,
                          const std::string* input) {
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

    CommandOutput output;
    exchange(pid, in_write, input != nullptr ? std::string_view(*input) : std::string_view(), out_read, err_read,
             output, interrupted);

    // Both streams are closed; the child is ending (or closed them and runs on).
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno == ECHILD) {
            break;  // reaped by someone else (SIGCHLD ignored): its status is lost
        }
        if (errno != EINTR) {
            throw_errno(errno, "waitpid");
        }
        if (interrupted && interrupted()) {
            abandon(pid);
        }
    }
    output.wait_status = status;
    return output;
}

}  // namespace knobsmith::core
