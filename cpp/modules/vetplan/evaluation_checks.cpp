// Checks of the `evaluations` list: the metrics of a tuning run.
#include "vetplan.hpp"

namespace knobsmith::vetplan {

namespace {

// The checks run on each evaluation's info, in this order.
constexpr FieldCheck kEvaluationInfoChecks[] = {
    {"get", "check_evaluations_info_get"},
    {"type", "check_evaluations_info_type"},
    {"target", "check_evaluations_info_target"},
};

// "evaluations-info-get" and the like: the path of a missing key.
py::str eval_path(const char* attribute) {
    return glue::concat(key("EVAL"), "-", key(attribute));
}

py::str eval_path(const char* first, const char* second) {
    return glue::concat(key("EVAL"), "-", key(first), "-", key(second));
}

// "evaluations[<name>]": how the messages name one evaluation.
py::str eval_label(py::handle eval_item) {
    py::object name = eval_item[key("NAME")];
    return glue::concat(key("EVAL"), "[", shown(name), "]");
}

bool check_evaluations(py::object cfg) {
    py::object list_key = key("EVAL");
    auto present = required(cfg, list_key, list_key);
    if (!present) {
        return false;
    }
    py::object evaluations = *present;
    if (!glue::is_list(evaluations)) {
        return reject(glue::concat(list_key, "应为列表，当前类型: ", glue::type_name(evaluations)));
    }
    if (py::len(evaluations) == 0) {
        // Without a metric there is nothing to optimise.
        return reject(glue::concat(list_key, "列表为空"));
    }
    std::size_t position = 0;
    for (py::handle element : evaluations) {
        const py::int_ index(position++);
        if (!glue::is_mapping(element)) {
            // A stray element is reported and skipped; it does not fail the list.
            glue::log_error(glue::concat(list_key, "[", index, "]应为字典，当前类型: ", glue::type_name(element)));
            continue;
        }
        if (!check("check_evaluations_name", element)) {
            return false;
        }
        py::object info_key = key("INFO");
        auto info = required(element, info_key, eval_path("INFO"));
        if (!info) {
            return false;
        }
        if (!glue::is_mapping(*info)) {
            return reject(
                glue::concat(eval_label(element), ".", info_key, "应为字典，当前类型: ", glue::type_name(*info)));
        }
        if (const FieldCheck* failed = first_failing(kEvaluationInfoChecks, element)) {
            return reject(glue::concat(eval_label(element), ".", info_key, ".", failed->field, " 检查失败"));
        }
    }
    return true;
}

bool check_evaluations_name(py::object eval_item) {
    py::object name_key = key("NAME");
    auto name = required(eval_item, name_key, eval_path("NAME"));
    if (!name) {
        return false;
    }
    if (!glue::is_str(*name)) {
        return reject(glue::concat(key("EVAL"), ".", name_key, "应为字符串，当前类型: ", glue::type_name(*name)));
    }
    return true;
}

bool check_evaluations_info_get(py::object eval_item) {
    py::object info = eval_item[key("INFO")];
    py::object get_key = key("GET");
    auto command = required(info, get_key, eval_path("INFO", "GET"));
    if (!command) {
        return false;
    }
    py::str field = glue::concat(eval_label(eval_item), ".", key("INFO"), ".", get_key);
    if (!glue::is_str(*command)) {
        return reject(glue::concat(field, "应为字符串，当前类型: ", glue::type_name(*command)));
    }
    return check("check_shell_metacharacters", *command, field);
}

bool check_evaluations_info_type(py::object eval_item) {
    py::object info = eval_item[key("INFO")];
    py::object type_key = key("TYPE");
    auto direction = required(info, type_key, eval_path("INFO", "TYPE"));
    if (!direction) {
        return false;
    }
    if (!check("check_options", *direction, word_list({"positive", "negative"}))) {
        return reject(glue::concat(eval_label(eval_item), ".", key("INFO"), ".", type_key,
                                   "建议为'negative'或'positive'，当前值: ", *direction));
    }
    return true;
}

bool check_evaluations_info_target(py::object eval_item) {
    py::object info = eval_item[key("INFO")];
    py::object target_key = key("TARGET");
    auto present = required(info, target_key, eval_path("INFO", "TARGET"));
    if (!present) {
        return false;
    }
    py::object target = *present;
    if (target.is_none() || glue::compare(target, py::str(""), Py_EQ)) {
        return true;  // no target
    }
    py::str field = glue::concat(eval_label(eval_item), ".", key("INFO"), ".", target_key);
    if (!glue::is_str(target)) {
        return reject(glue::concat(field, "应为字符串，当前类型: ", glue::type_name(target)));
    }
    // Python's own pattern rules: \d is any Unicode decimal digit and $ also matches before a
    // final line feed.
    if (!glue::truthy(glue::global("re").attr("match")(R"(^\d+(\.\d+)?%$)", target))) {
        return reject(glue::concat(field, "格式错误，应为'%'格式，如'95%'或'99.5%'，当前值: '", shown(target), "'"));
    }
    py::object number_text = target.attr("rstrip")("%");
    auto number = py::reinterpret_steal<py::object>(PyFloat_FromString(number_text.ptr()));
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return reject(glue::concat("无法解析", field, "的数值部分: '", shown(target), "'"));
    }
    if (glue::compare(number, 0, Py_LE)) {
        return reject(glue::concat(field, "必须大于0%，当前值: '", shown(target), "'"));
    }
    return true;
}

}  // namespace

void add_evaluation_checks(py::handle cls) {
    glue::def_static(cls, "check_evaluations", &check_evaluations, py::arg("cfg"),
                     "Check the evaluations list; the first faulty evaluation ends the check.");
    glue::def_static(cls, "check_evaluations_name", &check_evaluations_name, py::arg("eval_item"));
    glue::def_static(cls, "check_evaluations_info_get", &check_evaluations_info_get, py::arg("eval_item"));
    glue::def_static(cls, "check_evaluations_info_type", &check_evaluations_info_type, py::arg("eval_item"));
    glue::def_static(cls, "check_evaluations_info_target", &check_evaluations_info_target, py::arg("eval_item"));
}

}  // namespace knobsmith::vetplan
