#include "knobsmith_core/atomic_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace knobsmith::core {

namespace {

constexpr int kNameAttempts = 64;

std::string random_suffix() {
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        bits ^= static_cast<std::uint64_t>(::getpid()) << 32 ^ reinterpret_cast<std::uintptr_t>(&bits);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closes now and reports the result: a delayed write error shows up here.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

void write_all(int fd, std::string_view content, const std::string& path) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FileError(errno, path);
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

void replace_file(const std::string& path, std::string_view content) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        throw FileError(errno, directory);
    }
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        temporary = "." + name + "." + random_suffix() + ".tmp";
        fd = ::openat(dir.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            throw FileError(errno, path);
        }
    }
    if (fd < 0) {
        throw FileError(EEXIST, path);
    }
    Fd file(fd);
    try {
        write_all(file.get(), content, path);
        if (::fsync(file.get()) != 0 || file.close() != 0) {
            throw FileError(errno, path);
        }
        if (::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) != 0) {
            throw FileError(errno, path);
        }
    } catch (...) {
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        throw;
    }
    // The new name is in place; make it durable. A failure here loses nothing already visible.
    ::fsync(dir.get());
}

}  // namespace knobsmith::core
