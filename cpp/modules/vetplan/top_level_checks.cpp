// The validation driver, the shell-metacharacter rule and the checks of the top-level fields.
#include <algorithm>
#include <iterator>

#include "knobsmith_core/shell_rule.hpp"
#include "vetplan.hpp"

namespace knobsmith::vetplan {

namespace {

bool check_shell_metacharacters(py::object value, py::object field_name) {
    if (!glue::is_str(value) || !core::has_shell_metacharacter(glue::utf8(value))) {
        return true;
    }
    return reject(
        glue::concat(field_name, "包含非法字符，禁止使用 shell 元字符: ", py::repr(key("SHELL_METACHARACTERS"))));
}

bool is_valid(py::object self, py::object cfg) {
    // The restart requirement belongs to the configuration being validated, not to earlier ones.
    bool needs_restart = false;
    if (valid_for_sure(self, cfg, needs_restart)) {
        vetplan_class().attr("need_restart") = needs_restart;
        return true;
    }
    vetplan_class().attr("need_restart") = false;
    if (!within_nesting_bound(cfg)) {
        return false;
    }
    if (!glue::is_mapping(cfg)) {
        return reject(glue::concat("配置文件内容应为字典，当前类型: ", glue::type_name(cfg)));
    }
    static constexpr const char* kChecks[] = {"check_iterations", "check_timeout",     "check_benchmark",
                                              "check_workload",   "check_evaluations", "check_object"};
    return std::all_of(std::begin(kChecks), std::end(kChecks),
                       [&](const char* name) { return glue::truthy(self.attr(name)(cfg)); });
}

// A positive integer (booleans are integers to Python) under the key `name`.
bool check_positive_integer(py::handle name, py::handle value) {
    if (!glue::is_int(value)) {
        return reject(glue::concat(name, "应为整数，当前类型: ", glue::type_name(value)));
    }
    if (glue::compare(value, 0, Py_LE)) {
        return reject(glue::concat(name, "应大于0，当前值: ", shown(value)));
    }
    return true;
}

bool check_iterations(py::object cfg) {
    py::object name = key("ITER");
    auto value = required(cfg, name, name);
    return value && check_positive_integer(name, *value);
}

bool check_timeout(py::object cfg) {
    py::object name = key("TIMEOUT");
    auto value = required(cfg, name, name);
    if (!value) {
        return false;
    }
    if (!glue::truthy(*value)) {
        // No time budget: the iterations alone must carry the run.
        return check("check_iterations", cfg);
    }
    return check_positive_integer(name, *value);
}

bool check_benchmark(py::object cfg) {
    py::object name = key("BENCHMARK");
    auto value = required(cfg, name, name);
    if (!value) {
        return false;
    }
    if (!glue::is_str(*value)) {
        return reject(glue::concat(name, "应为字符串，当前类型: ", glue::type_name(*value)));
    }
    if (!glue::truthy(value->attr("strip")())) {
        return reject(glue::concat(name, "不能为空"));
    }
    return check("check_shell_metacharacters", *value, name);
}

bool check_workload(py::object cfg) {
    for (const char* attribute : {"STARTWORKLOAD", "STOPWORKLOAD"}) {
        py::object name = key(attribute);
        auto value = required(cfg, name, name);
        if (!value) {
            return false;
        }
        if (!glue::is_str(*value)) {
            return reject(glue::concat(name, "应为字符串，当前类型: ", glue::type_name(*value)));
        }
        if (!check("check_shell_metacharacters", *value, name)) {
            return false;
        }
    }
    return true;
}

bool check_workload_notnone(py::object cfg) {
    for (const char* attribute : {"STARTWORKLOAD", "STOPWORKLOAD"}) {
        py::object name = key(attribute);
        if (!glue::truthy(cfg[name])) {
            return reject(glue::concat(name, "必须存在,因为参数需要restart以生效"));
        }
    }
    return true;
}

}  // namespace

void add_top_level_checks(py::handle cls) {
    glue::def_static(cls, "check_shell_metacharacters", &check_shell_metacharacters, py::arg("value"),
                     py::arg("field_name"),
                     "Answer whether a command is free of shell metacharacters; log the field when not.");
    glue::def_method(cls, "is_valid", &is_valid, py::arg("cfg"),
                     "Validate a loaded tuning configuration; the first fault is logged and ends it.");
    glue::def_static(cls, "check_benchmark", &check_benchmark, py::arg("cfg"));
    glue::def_static(cls, "check_timeout", &check_timeout, py::arg("cfg"));
    glue::def_static(cls, "check_iterations", &check_iterations, py::arg("cfg"));
    glue::def_static(cls, "check_workload", &check_workload, py::arg("cfg"));
    glue::def_static(cls, "check_workload_notnone", &check_workload_notnone, py::arg("cfg"));
}

void add_shared_checks(py::handle cls) {
    glue::def_static(
        cls, "check_exists", [](py::object option, py::object cfg) { return glue::contains(cfg, option); },
        py::arg("option"), py::arg("cfg"), "Answer whether `option` is a key of `cfg`.");
    glue::def_static(
        cls, "check_options", [](py::object item, py::object options) { return glue::contains(options, item); },
        py::arg("item"), py::arg("options"), "Answer whether `item` is one of `options`.");
}

}  // namespace knobsmith::vetplan
