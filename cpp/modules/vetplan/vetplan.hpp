// Pieces shared by the checks of the configuration validator.
#pragma once

#include <initializer_list>
#include <optional>
#include <utility>

#include "pyglue.hpp"

namespace knobsmith::vetplan {

namespace py = pybind11;

// The validator class as the module's namespace holds it now: the checks reach each other and
// the key names through the class, never through an instance.
inline py::object vetplan_class() {
    return glue::global("Vetplan");
}

// A key name, read through its class attribute ("ITER" gives "iterations").
inline py::object key(const char* attribute) {
    return vetplan_class().attr(attribute);
}

// Runs another check of the class and answers the truth of its result.
template <typename... Args>
bool check(const char* method, Args&&... args) {
    return glue::truthy(vetplan_class().attr(method)(std::forward<Args>(args)...));
}

inline bool exists(py::handle key_name, py::handle mapping) {
    return check("check_exists", key_name, mapping);
}

// Logs one rejected field at error level and answers false.
inline bool reject(py::handle message) {
    glue::log_error(message);
    return false;
}

// The list of allowed words handed to check_options.
inline py::list word_list(std::initializer_list<const char*> words) {
    py::list list;
    for (const char* word : words) {
        list.append(py::str(word));
    }
    return list;
}

inline py::str missing_key(py::handle path) {
    return glue::concat("缺少必需字段: '", path, "'");
}

// mapping[field] when the field is present; otherwise logs the missing-key line naming `path`
// and gives nothing.
inline std::optional<py::object> required(py::handle mapping, py::handle field, py::handle path) {
    if (!exists(field, mapping)) {
        reject(missing_key(path));
        return std::nullopt;
    }
    return py::object(mapping[field]);
}

// One row of a table of field checks: the field's name and the check method that owns it.
struct FieldCheck {
    const char* field;
    const char* method;
};

// Runs the checks of `table` on `item` in order and returns the first row whose check said no,
// or nullptr when every check passed.
template <std::size_t N>
const FieldCheck* first_failing(const FieldCheck (&table)[N], py::handle item) {
    for (const FieldCheck& row : table) {
        if (!check(row.method, item)) {
            return &row;
        }
    }
    return nullptr;
}

// How many containers deep a configuration value may be nested.
inline constexpr int kMaxNesting = 100;
// How many characters of a value a message shows before it says "...".
inline constexpr Py_ssize_t kShownLength = 200;

// str(value) as a message shows it: whole when short, else its first kShownLength characters
// and "...", worked out without forming the text of the whole value.
py::str shown(py::handle value);

// Whether `value` is nested at most kMaxNesting containers deep; if not, logs where and says no.
bool within_nesting_bound(py::handle value);

// Remembers the class attributes and module globals the fast path relies on, as installed.
void remember_installed(py::handle cls);

// Whether `cfg` is valid for sure, found without a Python-level call; `needs_restart` then says
// whether an object asks for a restart. False means "not sure": the checks must decide.
bool valid_for_sure(py::handle self, py::handle cfg, bool& needs_restart);

void add_top_level_checks(py::handle cls);
void add_evaluation_checks(py::handle cls);
void add_object_checks(py::handle cls);
void add_value_space_checks(py::handle cls);
void add_shared_checks(py::handle cls);

}  // namespace knobsmith::vetplan
