// Checks of an object's value space: type, dtype and, by those two, scope, step, items, options.
#include "vetplan.hpp"

namespace knobsmith::vetplan {

namespace {

py::object info_of(py::handle obj_item) {
    return obj_item[key("INFO")];
}

// "object[<name>].info.": the prefix of most messages of this file.
py::str info_label(py::handle obj_item) {
    py::object name = obj_item[key("NAME")];
    return glue::concat("object[", shown(name), "].", key("INFO"), ".");
}

bool equals(py::handle value, const char* word) {
    return glue::compare(value, py::str(word), Py_EQ);
}

bool is_discrete_number(py::handle info) {
    py::object type = info[key("TYPE")];
    if (!equals(type, "discrete")) {
        return false;
    }
    py::object dtype = info[key("DTYPE")];
    return equals(dtype, "int") || equals(dtype, "float");
}

// type and dtype: one of a fixed set of words.
bool check_word(py::handle obj_item, const char* attribute, std::initializer_list<const char*> allowed,
                const char* suggestion) {
    py::object info = info_of(obj_item);
    py::object field_key = key(attribute);
    auto word = required(info, field_key, glue::concat(key("OBJECT"), "-", key("INFO"), "-", field_key));
    if (!word) {
        return false;
    }
    if (!check("check_options", *word, word_list(allowed))) {
        return reject(glue::concat(info_label(obj_item), field_key, suggestion, "，当前值: ", shown(*word)));
    }
    return true;
}

bool check_objects_info_scope(py::object obj_item) {
    py::object info = info_of(obj_item);
    py::object scope_key = key("SCOPE");
    const char* required_by = nullptr;
    if (is_discrete_number(info)) {
        required_by = "discrete";
    } else if (equals(info[key("TYPE")], "continuous")) {
        required_by = "continuous";
    } else {
        return true;  // a discrete string takes its values from options
    }
    if (!exists(scope_key, info)) {
        return reject(
            glue::concat(info_label(obj_item), key("TYPE"), "为", required_by, "类型但缺少", scope_key, "字段"));
    }
    py::object scope = info[scope_key];
    if (!glue::is_list(scope)) {
        return reject(glue::concat(info_label(obj_item), scope_key, "应为列表，当前类型: ", glue::type_name(scope)));
    }
    const std::size_t length = py::len(scope);
    if (length != 2) {
        return reject(glue::concat(info_label(obj_item), scope_key,
                                   "应包含两个值[最小值, 最大值]，当前长度: ", py::int_(length)));
    }
    py::object low = scope[py::int_(0)];
    py::object high = scope[py::int_(1)];
    bool out_of_order = false;
    try {
        out_of_order = glue::compare(low, high, Py_GE);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
        // Bounds of kinds that cannot be ordered (a word and a number) are a fault of the file.
        return reject(glue::concat(info_label(obj_item), scope_key, "最小值和最大值无法比较，当前: [", shown(low), ", ",
                                   shown(high), "]"));
    }
    if (out_of_order) {
        return reject(glue::concat(info_label(obj_item), scope_key, "最小值应小于最大值，当前: [", shown(low), ", ",
                                   shown(high), "]"));
    }
    return true;
}

bool check_objects_info_step(py::object obj_item) {
    py::object info = info_of(obj_item);
    if (!is_discrete_number(info)) {
        return true;
    }
    py::object step_key = key("STEP");
    if (!exists(step_key, info)) {
        return reject(glue::concat(info_label(obj_item), key("DTYPE"), "为int/float类型但缺少", step_key, "字段"));
    }
    py::object step = info[step_key];
    if (glue::is_int(step) || glue::is_float(step)) {
        return true;
    }
    return reject(glue::concat(info_label(obj_item), step_key, "建议为'int'或'float'，当前值: ", shown(step),
                               ",类型:", py::type::handle_of(step)));
}

bool check_objects_info_items(py::object obj_item) {
    py::object info = info_of(obj_item);
    if (!is_discrete_number(info)) {
        return true;
    }
    py::object items_key = key("ITEMS");
    if (!exists(items_key, info)) {
        return reject(glue::concat(info_label(obj_item), key("DTYPE"), "为int/float类型但缺少", items_key, "字段"));
    }
    py::object items = info[items_key];
    if (glue::is_list(items)) {
        return true;  // the elements are the engine's business
    }
    py::object name = obj_item[key("NAME")];
    return reject(glue::concat("objects[", shown(name), "].", key("INFO"), ".", items_key,
                               "应为列表，当前类型: ", glue::type_name(items)));
}

bool check_objects_info_options(py::object obj_item) {
    py::object info = info_of(obj_item);
    if (!equals(info[key("DTYPE")], "string")) {
        return true;
    }
    py::object options_key = key("OPTIONS");
    if (!exists(options_key, info)) {
        return reject(glue::concat(info_label(obj_item), key("DTYPE"), "为string类型但缺少", options_key, "字段"));
    }
    py::object options = info[options_key];
    if (!glue::is_list(options)) {
        return reject(
            glue::concat(info_label(obj_item), options_key, "应为列表，当前类型: ", glue::type_name(options)));
    }
    if (py::len(options) == 0) {
        return reject(glue::concat(info_label(obj_item), options_key, "列表不能为空"));
    }
    py::object name = obj_item[key("NAME")];
    py::str field = glue::concat("object[", shown(name), "].", options_key);
    for (py::handle option : options) {
        if (!glue::is_str(option)) {
            return reject(glue::concat(info_label(obj_item), options_key, "应为字符串列表"));
        }
        if (!check("check_shell_metacharacters", option, field)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void add_value_space_checks(py::handle cls) {
    glue::def_static(
        cls, "check_objects_info_type",
        [](py::object obj_item) {
            return check_word(obj_item, "TYPE", {"discrete", "continuous"}, "建议为'continuous'或'discrete'");
        },
        py::arg("obj_item"));
    glue::def_static(
        cls, "check_objects_info_dtype",
        [](py::object obj_item) {
            return check_word(obj_item, "DTYPE", {"int", "float", "string"}, "建议为'int'或'float'或'string'");
        },
        py::arg("obj_item"));
    glue::def_static(cls, "check_objects_info_scope", &check_objects_info_scope, py::arg("obj_item"));
    glue::def_static(cls, "check_objects_info_step", &check_objects_info_step, py::arg("obj_item"));
    glue::def_static(cls, "check_objects_info_items", &check_objects_info_items, py::arg("obj_item"));
    glue::def_static(cls, "check_objects_info_options", &check_objects_info_options, py::arg("obj_item"));
}

}  // namespace knobsmith::vetplan
