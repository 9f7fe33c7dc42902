// The parameter backup file: an INI text with the values read and the commands that set them.
//
//   [params]
//   <name> = <value>
//
//   [set]
//   set_<name> = "<set command>"
//
// Names are written as given (the caller folds them to lower case); a line break inside a value
// continues on the next line after one tab; a percent sign is written doubled, so that an INI
// reader with %-interpolation gives back the original text. The text ends with two line feeds.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace knobsmith::core {

struct BackupEntry {
    std::string option;       // the parameter's name, already folded to lower case
    std::string value;        // the value read from the machine
    std::string set_command;  // the set command template, "$value" untouched
};

// A name that cannot stand as an option of its own: a second one equal to an earlier one, or one
// that an INI reader would read back as something else.
class BackupNameError : public std::invalid_argument {
public:
    BackupNameError(const std::string& message, std::string option)
        : std::invalid_argument(message), option_(std::move(option)) {}
    const std::string& option() const { return option_; }

private:
    std::string option_;
};

std::string render_backup(const std::vector<BackupEntry>& entries);

}  // namespace knobsmith::core
