// Replacing a file so that a failure never leaves it half written.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace knobsmith::core {

// A failed file operation, with the path it concerned.
class FileError : public std::system_error {
public:
    FileError(int error, const std::string& path)
        : std::system_error(error, std::generic_category(), path), path_(path) {}
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Writes `content` to a new file beside `path` and renames it over `path`: readers see the old
// file or the whole new one, never a part. The file is created with mode 0666 less the umask, as
// any newly created file. On failure the temporary file is removed, `path` is untouched and
// FileError is thrown. Temporary files of `path` left by writers that were killed are removed
// first.
void replace_file(const std::string& path, std::string_view content);

}  // namespace knobsmith::core
