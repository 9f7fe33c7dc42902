#include "knobsmith_core/backup_file.hpp"

#include <string_view>
#include <unordered_set>

namespace knobsmith::core {

namespace {

// An option name reads back as itself only without line breaks and delimiters, without blanks
// around it, and without the first characters of a section header or a comment.
bool readable_option(std::string_view option) {
    if (option.empty() || option.find_first_of("\n\r=:") != std::string_view::npos) {
        return false;
    }
    const std::string_view blanks = " \t\f\v";
    if (blanks.find(option.front()) != std::string_view::npos || blanks.find(option.back()) != std::string_view::npos) {
        return false;
    }
    return option.front() != '[' && option.front() != '#' && option.front() != ';';
}

// The value as it stands in the file: "%" doubled, each line break followed by a tab.
void append_value(std::string& text, std::string_view value) {
    for (const char c : value) {
        text += c;
        if (c == '%') {
            text += '%';
        } else if (c == '\n') {
            text += '\t';
        }
    }
}

void append_option(std::string& text, std::string_view option, std::string_view value) {
    text.append(option);
    text.append(" = ");
    append_value(text, value);
    text += '\n';
}

}  // namespace

std::string render_backup(const std::vector<BackupEntry>& entries) {
    std::unordered_set<std::string_view> seen;
    for (const BackupEntry& entry : entries) {
        if (!seen.insert(entry.option).second) {
            throw BackupNameError("option '" + entry.option + "' appears twice in the backup", entry.option);
        }
        if (!readable_option(entry.option)) {
            throw BackupNameError("option '" + entry.option + "' cannot be written to the backup", entry.option);
        }
    }
    std::string text = "[params]\n";
    for (const BackupEntry& entry : entries) {
        append_option(text, entry.option, entry.value);
    }
    text += "\n[set]\n";
    for (const BackupEntry& entry : entries) {
        append_option(text, "set_" + entry.option, "\"" + entry.set_command + "\"");
    }
    text += '\n';
    return text;
}

}  // namespace knobsmith::core
