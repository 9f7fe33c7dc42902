// ParamsItem: one entry of the parameter database, with validating properties.
#include <string>
#include <vector>

#include "recommend.hpp"

namespace knobsmith::recommend {

namespace {

// The entry keys the constructor reads, in order; each is stored under "_" + key.
constexpr const char* kEntryKeys[] = {"name",  "desc", "get",   "set",     "needrestart", "type",    "dtype",
                                      "scope", "step", "items", "options", "level",       "version", "adapt"};

constexpr char kParams[] = "params";

std::string attribute_of(const char* field) {
    return std::string("_") + field;
}

void params_item_init(py::handle self, py::handle params) {
    for (const char* key : kEntryKeys) {
        py::object value = params[py::str(key)];
        self.attr(attribute_of(key).c_str()) = value;
    }
    self.attr("_is_del") = false;
}

[[noreturn]] void expected(const char* kind, py::handle value) {
    throw py::type_error(std::string("Expected ") + kind + ", got " + std::string(py::str(glue::type_name(value))));
}

py::object str_or_none(py::object value) {
    if (!value.is_none() && !glue::is_str(value)) {
        expected("str", value);
    }
    return value;
}

py::object list_or_none(py::object value) {
    if (!value.is_none() && !glue::is_list(value)) {
        expected("list", value);
    }
    return value;
}

void require_exact_list(py::handle value) {
    if (!PyList_CheckExact(value.ptr())) {
        throw py::type_error("Argument 'value' has incorrect type (expected list, got " +
                             std::string(py::str(glue::type_name(value))) + ")");
    }
}

// The words a setter accepts and how it refuses others.
struct WordRule {
    std::vector<const char*> allowed;
    PyObject* error;      // the exception class for a word outside `allowed`
    const char* message;  // its message; the allowed list follows unless `list_in_message` is false
    bool list_in_message;
};

py::list word_list(const std::vector<const char*>& words) {
    py::list list;
    for (const char* word : words) {
        list.append(word);
    }
    return list;
}

void set_word(py::handle self, const char* field, py::handle value, const WordRule* rule) {
    glue::require_exact_str(value, "value");
    if (rule != nullptr) {
        py::list allowed = word_list(rule->allowed);
        if (!glue::contains(allowed, value)) {
            py::str message = rule->list_in_message ? glue::concat(rule->message, allowed) : py::str(rule->message);
            PyErr_SetObject(rule->error, message.ptr());
            throw py::error_already_set();
        }
    }
    self.attr(attribute_of(field).c_str()) = value;
}

struct TextProperty {
    const char* field;
    const char* getter_doc;
    const char* setter_doc;  // nullptr: read-only
    const WordRule* rule;
};

const WordRule kNeedrestart{{"true", "false"}, PyExc_TypeError, "needrestart必须是'true'或 'false'", false};
const WordRule kType{{"discrete", "continuous"}, PyExc_ValueError, "type必须是有效的参数类型: ", true};
const WordRule kDtype{{"string", "int", "float"}, PyExc_ValueError, "dtype必须是有效的类型: ", true};
const WordRule kLevel{{"Importance", "medium", "low"}, PyExc_ValueError, "level必须是有效的级别: ", true};

const TextProperty kTextProperties[] = {
    {"name", "获取参数名称（只读）", nullptr, nullptr},
    {"desc", "获取参数描述", "设置参数描述", nullptr},
    {"get", "获取获取脚本", "设置获取脚本", nullptr},
    {"set", "获取设置脚本", "设置设置脚本", nullptr},
    {"needrestart", "获取是否需要重启", "设置是否需要重启", &kNeedrestart},
    {"type", "获取参数类型", "设置参数类型", &kType},
    {"dtype", "获取数据类型", "设置数据类型", &kDtype},
    {"level", "获取参数级别", "设置参数级别", &kLevel},
    {"version", "获取版本要求", "设置版本要求", nullptr},
};

// items, options and adapt hand out and keep shallow copies; scope is shared as it is.
struct ListProperty {
    const char* field;
    const char* getter_doc;
    const char* setter_doc;
    bool copies;
};

const ListProperty kListProperties[] = {
    {"scope", "获取作用域", "设置作用域", false},
    {"items", "获取可选项列表", "设置可选项列表", true},
    {"options", "获取枚举选项", "设置枚举选项", true},
    {"adapt", "获取适配信息", "设置适配信息", true},
};

void add_text_property(py::handle cls, const TextProperty& property) {
    const std::string attribute = attribute_of(property.field);
    py::cpp_function getter([attribute](py::object self) { return str_or_none(self.attr(attribute.c_str())); },
                            py::name(property.field), py::is_method(cls), property.getter_doc);
    py::object setter = py::none();
    if (property.setter_doc != nullptr) {
        const char* field = property.field;
        const WordRule* rule = property.rule;
        setter =
            py::cpp_function([field, rule](py::object self, py::object value) { set_word(self, field, value, rule); },
                             py::name(property.field), py::is_method(cls), py::arg("value"), property.setter_doc);
    }
    glue::def_property(cls, property.field, getter, setter, property.getter_doc);
}

void add_list_property(py::handle cls, const ListProperty& property) {
    const std::string attribute = attribute_of(property.field);
    const bool copies = property.copies;
    py::cpp_function getter(
        [attribute, copies](py::object self) {
            py::object stored = self.attr(attribute.c_str());
            return list_or_none(copies ? stored.attr("copy")() : stored);
        },
        py::name(property.field), py::is_method(cls), property.getter_doc);
    py::cpp_function setter(
        [attribute, copies](py::object self, py::object value) {
            require_exact_list(value);
            self.attr(attribute.c_str()) = copies ? value.attr("copy")() : value;
        },
        py::name(property.field), py::is_method(cls), py::arg("value"), property.setter_doc);
    glue::def_property(cls, property.field, getter, setter, property.getter_doc);
}

void add_step_and_deletion_properties(py::handle cls) {
    py::cpp_function step_getter([](py::object self) { return self.attr("_step"); }, py::name("step"),
                                 py::is_method(cls), "获取步进值");
    py::cpp_function step_setter(
        [](py::object self, py::object value) {
            if (!glue::is_int(value) && !glue::is_float(value)) {
                throw py::type_error("step必须是数值类型");
            }
            if (glue::compare(value, 0, Py_LE)) {
                throw py::value_error("step必须大于0");
            }
            self.attr("_step") = value;
        },
        py::name("step"), py::is_method(cls), py::arg("value"), "设置步进值");
    glue::def_property(cls, "step", step_getter, step_setter, "获取步进值");

    py::cpp_function deletion_getter([](py::object self) { return self.attr("_is_del"); }, py::name("is_del"),
                                     py::is_method(cls), "获取是否删除标志");
    py::cpp_function deletion_setter([](py::object self, py::object value) { self.attr("_is_del") = value; },
                                     py::name("is_del"), py::is_method(cls), py::arg("value"), "设置是否删除标志");
    glue::def_property(cls, "is_del", deletion_getter, deletion_setter, "获取是否删除标志");
}

// add_item and the like: change the stored list itself, never a copy.
void add_list_methods(py::handle cls) {
    struct ListMethod {
        const char* name;
        const char* list;
        const char* argument;
        bool adds;
        const char* doc;
    };
    static constexpr ListMethod kMethods[] = {
        {"add_item", "_items", "item", true, "添加一个可选项"},
        {"remove_item", "_items", "item", false, "移除一个可选项"},
        {"add_option", "_options", "option", true, "设置单个选项"},
        {"remove_option", "_options", "option", false, "获取单个选项"},
    };
    for (const ListMethod& method : kMethods) {
        const char* list_name = method.list;
        const bool adds = method.adds;
        glue::def_method(
            cls, method.name,
            [list_name, adds](py::object self, py::object value) {
                py::object stored = self.attr(list_name);
                const bool present = glue::contains(stored, value);
                if (adds && !present) {
                    stored.attr("append")(value);
                } else if (!adds && present) {
                    stored.attr("remove")(value);
                }
            },
            py::arg(method.argument), method.doc);
    }
    glue::def_method(
        cls, "mark_as_deleted", [](py::object self) { self.attr("_is_del") = true; }, "标记为已删除");
    glue::def_method(
        cls, "mark_as_active", [](py::object self) { self.attr("_is_del") = false; }, "标记为活跃");
}

py::str text_form(py::object self) {
    return glue::concat(
        "(name='", self.attr("_name"), "',\n desc='", self.attr("_desc"), "', \nget='", self.attr("_get"), "',\n set='",
        self.attr("_set"), "', \nneedrestart=", self.attr("_needrestart"), ", \ntype='", self.attr("_type"),
        "', \ndtype='", self.attr("_dtype"), "',\n scope='", self.attr("_scope"), "',\n step=", self.attr("_step"),
        ", \nitems=", self.attr("_items"), ", \noptions=", self.attr("_options"), ",\n level='", self.attr("_level"),
        "', \nversion='", self.attr("_version"), "',\n adapt='", self.attr("_adapt"), "')");
}

}  // namespace

py::object make_params_item_class() {
    py::object cls = glue::new_class("ParamsItem", "knobsmith.recommend", "One entry of the parameter database.");
    glue::def_init<&params_item_init, kParams>(cls, "Hold the fourteen fields of a database entry, unchecked.");
    for (const TextProperty& property : kTextProperties) {
        add_text_property(cls, property);
    }
    for (const ListProperty& property : kListProperties) {
        add_list_property(cls, property);
    }
    add_step_and_deletion_properties(cls);
    add_list_methods(cls);
    glue::def_method(cls, "__str__", &text_form);
    glue::def_method(cls, "__repr__", [](py::object self) { return self.attr("__str__")(); });
    return cls;
}

}  // namespace knobsmith::recommend
