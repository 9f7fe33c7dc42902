// Checks of the `object` list: the walk over the tunable objects, their names, descriptions,
// commands and restart flags.
#include "vetplan.hpp"

namespace knobsmith::vetplan {

namespace {

// The checks run on each object, in this order: a faulty field hides every later one.
constexpr FieldCheck kObjectInfoChecks[] = {
    {"desc", "check_objects_info_desc"},   {"get", "check_objects_info_get"},
    {"set", "check_objects_info_set"},     {"needrestart", "check_objects_info_needrestart"},
    {"type", "check_objects_info_type"},   {"dtype", "check_objects_info_dtype"},
    {"scope", "check_objects_info_scope"}, {"step", "check_objects_info_step"},
    {"items", "check_objects_info_items"}, {"options", "check_objects_info_options"},
};

// "object-<key>": the path of a missing key of an object's info.
py::str object_path(const char* attribute) {
    return glue::concat(key("OBJECT"), "-", key(attribute));
}

bool check_object(py::object cfg) {
    py::object list_key = key("OBJECT");
    auto present = required(cfg, list_key, list_key);
    if (!present) {
        return false;
    }
    py::object objects = *present;
    if (!glue::is_list(objects)) {
        return reject(glue::concat(list_key, "应为列表，当前类型: ", glue::type_name(objects)));
    }
    py::object name_key = key("NAME");
    py::object info_key = key("INFO");
    std::size_t position = 0;
    for (py::handle obj_item : objects) {
        const py::int_ index(position++);
        if (!glue::is_mapping(obj_item)) {
            return reject(glue::concat(list_key, "[", index, "]应为字典，当前类型: ", glue::type_name(obj_item)));
        }
        if (!exists(name_key, obj_item)) {
            return reject(missing_key(glue::concat(name_key, "-", index)));
        }
        if (!exists(info_key, obj_item)) {
            return reject(missing_key(glue::concat(info_key, "-", index)));
        }
        if (!check("check_objects_name", obj_item)) {
            return false;
        }
        py::object info = obj_item[info_key];
        if (!glue::is_mapping(info)) {
            py::object name = obj_item[name_key];
            return reject(
                glue::concat("objects[", shown(name), "].", info_key, "应为字典，当前类型: ", glue::type_name(info)));
        }
        if (!check("check_objects_info", obj_item)) {
            return false;
        }
    }
    if (glue::truthy(vetplan_class().attr("need_restart"))) {
        return check("check_workload_notnone", cfg);
    }
    return true;
}

bool check_objects_name(py::object obj_item) {
    py::object name_key = key("NAME");
    auto name = required(obj_item, name_key, object_path("NAME"));
    if (!name) {
        return false;
    }
    if (glue::is_str(*name)) {
        return true;
    }
    return reject(glue::concat("objects.", name_key, "应为字符串，当前类型: ", glue::type_name(*name)));
}

bool check_objects_info(py::object obj_item) {
    if (const FieldCheck* failed = first_failing(kObjectInfoChecks, obj_item)) {
        py::object name = obj_item[key("NAME")];
        return reject(glue::concat("object[", shown(name), "].", key("INFO"), ".", failed->field, " 检查失败"));
    }
    return true;
}

bool check_objects_info_desc(py::object obj_item) {
    py::object info = obj_item[key("INFO")];
    py::object desc_key = key("DESC");
    auto desc = required(info, desc_key, object_path("DESC"));
    if (!desc) {
        return false;
    }
    if (!glue::truthy(*desc) || glue::is_str(*desc)) {
        return true;  // the description may be left empty
    }
    py::object name = obj_item[key("NAME")];
    return reject(
        glue::concat("objects[", shown(name), "].", desc_key, "应为字符串，当前类型: ", glue::type_name(*desc)));
}

// The get and set commands: strings that pass the shell-metacharacter rule (empty is fine).
bool check_command(py::handle obj_item, const char* attribute) {
    py::object info = obj_item[key("INFO")];
    py::object command_key = key(attribute);
    auto command = required(info, command_key, object_path(attribute));
    if (!command) {
        return false;
    }
    py::object name = obj_item[key("NAME")];
    py::str field = glue::concat("objects[", shown(name), "].", command_key);
    if (!glue::is_str(*command)) {
        return reject(glue::concat(field, "应为字符串，当前类型: ", glue::type_name(*command)));
    }
    return check("check_shell_metacharacters", *command, field);
}

bool check_objects_info_needrestart(py::object obj_item) {
    py::object info = obj_item[key("INFO")];
    py::object flag_key = key("NEEDRESTART");
    auto present = required(info, flag_key, object_path("NEEDRESTART"));
    if (!present) {
        return false;
    }
    py::object flag = *present;
    py::object name = obj_item[key("NAME")];
    if (!glue::is_str(flag)) {
        return reject(
            glue::concat("objects[", shown(name), "].", flag_key, "应为字符串，当前类型: ", glue::type_name(flag)));
    }
    if (!check("check_options", flag, word_list({"true", "false"}))) {
        return reject(glue::concat("objects[", shown(name), "].", key("INFO"), ".", flag_key,
                                   "为'true'或'false'，当前值: ", shown(flag)));
    }
    if (glue::compare(flag, py::str("true"), Py_EQ)) {
        vetplan_class().attr("need_restart") = true;
    }
    return true;
}

}  // namespace

void add_object_checks(py::handle cls) {
    glue::def_static(cls, "check_object", &check_object, py::arg("cfg"),
                     "Check every tunable object; the first faulty one ends the check.");
    glue::def_static(cls, "check_objects_name", &check_objects_name, py::arg("obj_item"));
    glue::def_static(cls, "check_objects_info", &check_objects_info, py::arg("obj_item"));
    glue::def_static(cls, "check_objects_info_desc", &check_objects_info_desc, py::arg("obj_item"));
    glue::def_static(
        cls, "check_objects_info_get", [](py::object obj_item) { return check_command(obj_item, "GET"); },
        py::arg("obj_item"));
    glue::def_static(
        cls, "check_objects_info_set", [](py::object obj_item) { return check_command(obj_item, "SET"); },
        py::arg("obj_item"));
    glue::def_static(cls, "check_objects_info_needrestart", &check_objects_info_needrestart, py::arg("obj_item"));
    add_value_space_checks(cls);
}

}  // namespace knobsmith::vetplan
