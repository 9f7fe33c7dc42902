#include "knobsmith_core/atomic_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

namespace knobsmith::core {

namespace {

constexpr int kNameAttempts = 64;
constexpr std::size_t kSuffixLength = 16;
// A temporary file younger than this may belong to a writer that has created it and not yet
// locked it.
constexpr std::time_t kStaleAfterSeconds = 10;

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

bool is_temporary_of(const std::string& entry, const std::string& name) {
    const std::string prefix = "." + name + ".";
    const std::string suffix = ".tmp";
    if (entry.size() != prefix.size() + kSuffixLength + suffix.size() || entry.compare(0, prefix.size(), prefix) != 0 ||
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const auto first = entry.begin() + static_cast<std::ptrdiff_t>(prefix.size());
    return std::all_of(first, first + static_cast<std::ptrdiff_t>(kSuffixLength),
                       [](char digit) { return (digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'); });
}

// Removes the temporary files of `name` left by writers that were killed: a writer holds a lock
// on its temporary file until it is renamed, and the kernel drops the lock when the writer dies.
void remove_stale_temporaries(int dir, const std::string& name) {
    const int listing_fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing_fd < 0) {
        return;
    }
    DIR* listing = ::fdopendir(listing_fd);
    if (listing == nullptr) {
        ::close(listing_fd);
        return;
    }
    std::vector<std::string> found;
    while (const dirent* entry = ::readdir(listing)) {
        if (is_temporary_of(entry->d_name, name)) {
            found.emplace_back(entry->d_name);
        }
    }
    ::closedir(listing);
    const std::time_t now = std::time(nullptr);
    for (const std::string& entry : found) {
        Fd file(::openat(dir, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat status {};
        if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
            now - status.st_mtime < kStaleAfterSeconds) {
            continue;
        }
        if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(dir, entry.c_str(), 0);
        }
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
    remove_stale_temporaries(dir.get(), name);
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
    // Held until the file is renamed or the writer dies: what tells a later writer it is stale.
    ::flock(file.get(), LOCK_EX | LOCK_NB);
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
