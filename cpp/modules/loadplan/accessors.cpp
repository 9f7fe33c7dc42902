// What the driver and the parameter access ask of a loaded configuration, including the settings
// mapping of the optimizer engine.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cfg.hpp"

namespace knobsmith::loadplan {

namespace {

// A value handed out as str: a str or None, anything else refused as typed Python code would.
py::object as_optional_str(py::object value) {
    if (!value.is_none() && !glue::is_str(value)) {
        throw py::type_error("Expected str, got " + std::string(py::str(glue::type_name(value))));
    }
    return value;
}

// info[key] when the key is present (a key test: a present null stays null), else `fallback`.
py::object value_or(py::handle info, const char* key, py::object fallback) {
    if (glue::contains(info, key)) {
        return info[py::str(key)];
    }
    return fallback;
}

// Keys made once. The dicts the accessors hand out are filled through them, and the loaded
// file's dicts are read through them: a lookup hashes nothing and compares by identity first.
struct Keys {
    PyObject* info = intern("info");
    PyObject* name = intern("name");
    PyObject* dtype = intern("dtype");
    PyObject* type = intern("type");
    PyObject* options = intern("options");
    PyObject* scope = intern("scope");
    PyObject* range = intern("range");
    PyObject* items = intern("items");
    PyObject* step = intern("step");
    PyObject* ref = intern("ref");
    PyObject* get = intern("get");
    PyObject* set = intern("set");
    PyObject* needrestart = intern("needrestart");
    PyObject* yml = intern("yml");
    PyObject* project = intern("project");
    PyObject* benchmark = intern("benchmark");
    PyObject* evaluations = intern("evaluations");
    PyObject* target = intern("target");
    PyObject* startworkload = intern("startworkload");
    PyObject* stopworkload = intern("stopworkload");
    PyObject* start = intern("start");
    PyObject* stop = intern("stop");
    PyObject* zero = PyLong_FromLong(0);

    static PyObject* intern(const char* text) {
        PyObject* key = PyUnicode_InternFromString(text);
        if (key == nullptr) {
            throw py::error_already_set();
        }
        return key;
    }
};

const Keys& keys() {
    static const Keys* made = new Keys();  // kept for the life of the process, like the module
    return *made;
}

// dict[key] of a plain dict without a new reference; nullptr (and no error) when it is absent.
PyObject* item_of(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return value;
}

// A new dict filled with `pairs` in order.
py::dict dict_of(std::initializer_list<std::pair<PyObject*, PyObject*>> pairs) {
    auto made = py::reinterpret_steal<py::dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(pairs.size())));
    if (!made) {
        throw py::error_already_set();
    }
    for (const auto& [key, value] : pairs) {
        if (PyDict_SetItem(made.ptr(), key, value) != 0) {
            throw py::error_already_set();
        }
    }
    return made;
}

// value[key] as Python's subscription reads it, for any kind of value.
py::object item(py::handle value, PyObject* key) {
    PyObject* found = PyObject_GetItem(value.ptr(), key);
    if (found == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(found);
}

py::object attribute(py::handle self, PyObject* name) {
    PyObject* found = PyObject_GetAttr(self.ptr(), name);
    if (found == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(found);
}

// self.yml
py::object yml_of(py::handle self) {
    return attribute(self, keys().yml);
}

// self.yml["evaluations"][0]
py::object first_evaluation(py::handle self) {
    return item(item(yml_of(self), keys().evaluations), keys().zero);
}

// self.yml["evaluations"][0]["info"]
py::object first_evaluation_info(py::handle self) {
    return item(first_evaluation(self), keys().info);
}

// The knob of an object held in plain dicts, made without any Python-level call; nothing when
// the object is of another kind or lacks a field, which the general path then handles (and
// words the error of) as before.
std::optional<py::dict> plain_knob(PyObject* object) {
    const Keys& k = keys();
    if (!PyDict_CheckExact(object)) {
        return std::nullopt;
    }
    PyObject* info = item_of(object, k.info);
    if (info == nullptr || !PyDict_CheckExact(info)) {
        return std::nullopt;
    }
    PyObject* name = item_of(object, k.name);
    PyObject* dtype = item_of(info, k.dtype);
    PyObject* type = item_of(info, k.type);
    if (name == nullptr || dtype == nullptr || type == nullptr) {
        return std::nullopt;
    }
    PyObject* options = item_of(info, k.options);
    PyObject* scope = item_of(info, k.scope);
    PyObject* items = item_of(info, k.items);
    PyObject* step = item_of(info, k.step);
    PyObject* ref = Py_None;
    if (scope != nullptr) {
        if (!PyList_CheckExact(scope) || PyList_GET_SIZE(scope) == 0) {
            return std::nullopt;
        }
        ref = PyList_GET_ITEM(scope, 0);
    } else if (options != nullptr) {
        if (!PyList_CheckExact(options)) {
            return std::nullopt;
        }
        if (PyList_GET_SIZE(options) > 0) {
            ref = PyList_GET_ITEM(options, 0);
        }
    }
    static PyObject* const zero = PyLong_FromLong(0);
    return dict_of({{k.dtype, dtype},
                    {k.name, name},
                    {k.options, options != nullptr ? options : Py_None},
                    {k.type, type},
                    {k.range, scope != nullptr ? scope : Py_None},
                    {k.items, items != nullptr ? items : Py_None},
                    {k.step, step != nullptr ? step : zero},
                    {k.ref, ref}});
}

py::dict knob(py::handle object) {
    if (auto made = plain_knob(object.ptr())) {
        return *made;
    }
    py::object info = object["info"];
    py::dict knob;
    knob["dtype"] = info["dtype"];
    knob["name"] = object["name"];
    knob["options"] = value_or(info, "options", py::none());
    knob["type"] = info["type"];
    knob["range"] = value_or(info, "scope", py::none());
    knob["items"] = value_or(info, "items", py::none());
    knob["step"] = value_or(info, "step", py::int_(0));
    py::object ref = py::none();
    if (glue::contains(info, "scope")) {
        py::object scope = info["scope"];
        ref = scope[py::int_(0)];
    } else if (glue::contains(info, "options")) {
        py::object options = info["options"];
        if (glue::truthy(options)) {
            ref = options[py::int_(0)];
        }
    }
    knob["ref"] = ref;
    return knob;
}

// Makes sure y["iterations"] holds a usable budget, deriving it from the time budget when it
// must; with neither, the run cannot be planned.
void settle_iterations(py::handle self, py::handle y) {
    if (glue::contains(y, "iterations")) {
        py::object iterations = y["iterations"];
        if (glue::is_int(iterations) && glue::compare(iterations, 0, Py_GT)) {
            return;
        }
    }
    if (glue::contains(y, "timeout")) {
        py::object timeout = y["timeout"];
        if (glue::is_int(timeout)) {
            py::object benchmark_time = glue::global("Timer")().attr("benchmark_time");
            auto runs = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(timeout.ptr(), benchmark_time.ptr()));
            if (!runs) {
                throw py::error_already_set();
            }
            y["iterations"] = glue::global("round")(runs);
            self.attr("iter") = false;
            return;
        }
    }
    self.attr("time") = false;
    PyErr_SetString(PyExc_NameError, "Please provide the correct iteration or timeout parameters!");
    throw py::error_already_set();
}

py::object random_starts(py::handle iterations) {
    py::object share = glue::global("int")(iterations * py::float_(0.4));
    if (glue::compare(share, 1, Py_LT)) {
        return py::int_(1);
    }
    return share;
}

py::object get_optimizer_info(py::handle self) {
    py::object y = yml_of(self);
    // The budget is settled first, so that a reader without one fails with its own error.
    settle_iterations(self, y);

    py::list knobs;
    py::object objects = y["object"];
    if (PyList_CheckExact(objects.ptr())) {
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(objects.ptr()); ++index) {
            knobs.append(knob(PyList_GET_ITEM(objects.ptr(), index)));
        }
    } else {
        for (py::handle object : objects) {
            knobs.append(knob(object));
        }
    }
    py::dict settings;
    settings["knobs"] = knobs;
    settings["engine"] = "bayes";
    py::object iterations = y["iterations"];
    settings["max_eval"] = iterations;
    if (glue::contains(y, "timeout")) {
        settings["max_time"] = y["timeout"];
    }
    settings["random_starts"] = random_starts(iterations);
    settings["split_count"] = value_or(y, "split_count", py::int_(0));
    settings["noise"] = 9e-9;
    settings["feature_filter"] = glue::contains(y, "feature_filter");
    settings["feature_selector"] = value_or(y, "feature_selector", py::str("wefs"));
    settings["target"] = self.attr("get_performance_target")();
    settings["eval_type"] = item(first_evaluation_info(self), keys().type);
    return settings;
}

py::object get_performance_target(py::handle self) {
    const Keys& k = keys();
    py::object info = first_evaluation_info(self);
    if (!glue::contains(info, k.target)) {
        return py::float_(0.0);
    }
    auto text = py::reinterpret_steal<py::object>(PyObject_Str(item(info, k.target).ptr()));
    if (!text) {
        throw py::error_already_set();
    }
    // float(text.rstrip("%")) when the text ends in "%"
    Py_ssize_t end = PyUnicode_GET_LENGTH(text.ptr());
    if (end > 0 && PyUnicode_READ_CHAR(text.ptr(), end - 1) == '%') {
        while (end > 0 && PyUnicode_READ_CHAR(text.ptr(), end - 1) == '%') {
            --end;
        }
        auto number_text = py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, end));
        if (!number_text) {
            throw py::error_already_set();
        }
        auto number = py::reinterpret_steal<py::object>(PyFloat_FromString(number_text.ptr()));
        if (!number) {
            throw py::error_already_set();
        }
        return number;
    }
    glue::log("warning", py::str("optimize target unlimited"));
    return py::float_(0.0);
}

// result[name] = {field: info[field], ...} for one object, read as Python code would read it.
void add_commands(py::dict& result, py::handle object, std::initializer_list<const char*> fields) {
    py::object info = object["info"];
    py::dict commands;
    for (const char* field : fields) {
        commands[field] = info[field];
    }
    py::object name = object["name"];
    result[name] = commands;
}

// name -> {field: info[field], ...} for every object, in file order; a repeated name keeps its
// first position and the later object's commands.
py::dict commands_by_name(py::handle self, std::initializer_list<const char*> fields) {
    py::dict result;
    py::object objects = yml_of(self)["object"];
    if (PyList_CheckExact(objects.ptr())) {
        // Plain dicts all the way down: filled without a Python-level call, each key made once,
        // into a result sized for every name at once.
        result = py::reinterpret_steal<py::dict>(_PyDict_NewPresized(PyList_GET_SIZE(objects.ptr())));
        if (!result) {
            throw py::error_already_set();
        }
        std::array<PyObject*, 2> field_keys{};
        std::size_t count = 0;
        for (const char* field : fields) {
            const std::string_view text(field);
            field_keys.at(count++) = text == "get" ? keys().get : text == "set" ? keys().set : keys().needrestart;
        }
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(objects.ptr()); ++index) {
            PyObject* object = PyList_GET_ITEM(objects.ptr(), index);
            PyObject* info = PyDict_CheckExact(object) ? item_of(object, keys().info) : nullptr;
            PyObject* name = PyDict_CheckExact(object) ? item_of(object, keys().name) : nullptr;
            std::array<PyObject*, 2> values{};
            bool whole = name != nullptr && info != nullptr && PyDict_CheckExact(info);
            for (std::size_t at = 0; whole && at < count; ++at) {
                values.at(at) = item_of(info, field_keys.at(at));
                whole = values.at(at) != nullptr;
            }
            if (!whole) {
                add_commands(result, object, fields);  // words the error as before
                continue;
            }
            auto commands = py::reinterpret_steal<py::object>(PyDict_New());
            if (!commands) {
                throw py::error_already_set();
            }
            for (std::size_t at = 0; at < count; ++at) {
                if (PyDict_SetItem(commands.ptr(), field_keys.at(at), values.at(at)) != 0) {
                    throw py::error_already_set();
                }
            }
            if (PyDict_SetItem(result.ptr(), name, commands.ptr()) != 0) {
                throw py::error_already_set();
            }
        }
        return result;
    }
    for (py::handle object : objects) {
        add_commands(result, object, fields);
    }
    return result;
}

py::object get_project(py::handle self) {
    return attribute(self, keys().project);
}

py::object get_benchmark_script(py::handle self) {
    return as_optional_str(item(yml_of(self), keys().benchmark));
}

py::object get_performance_get_script(py::handle self) {
    const Keys& k = keys();
    py::object evaluation = first_evaluation(self);
    py::object info = item(evaluation, k.info);
    py::object name = item(evaluation, k.name);
    return dict_of({{name.ptr(), item(info, k.get).ptr()}});
}

py::object get_evaluations_type(py::handle self) {
    return as_optional_str(item(first_evaluation_info(self), keys().type));
}

py::object get_workload_options(py::handle self) {
    const Keys& k = keys();
    py::object y = yml_of(self);
    py::object start = item(y, k.startworkload);
    py::object stop = item(y, k.stopworkload);
    return dict_of({{k.start, start.ptr()}, {k.stop, stop.ptr()}});
}

py::object params_get_script(py::handle self) {
    return commands_by_name(self, {"get"});
}

py::object params_set_script(py::handle self) {
    return commands_by_name(self, {"set", "needrestart"});
}

}  // namespace

void add_accessors(py::handle cls) {
    glue::def_plain_method<&get_project>(cls, "get_project",
                                         "The project name derived from the configuration file's path.");
    glue::def_plain_method<&get_benchmark_script>(cls, "get_benchmark_script", "The benchmark command.");
    glue::def_plain_method<&get_performance_get_script>(cls, "get_performance_get_script",
                                                        "{name: command} of the first evaluation's metric.");
    glue::def_plain_method<&get_performance_target>(cls, "get_performance_target",
                                                    "The first evaluation's target in percent, 0.0 for none.");
    glue::def_plain_method<&get_evaluations_type>(cls, "get_evaluations_type",
                                                  "The first evaluation's direction, positive or negative.");
    glue::def_plain_method<&get_optimizer_info>(cls, "get_optimizer_info",
                                                "The settings mapping of the optimizer engine.");
    glue::def_plain_method<&params_get_script>(cls, "get_params_get_script",
                                               "{name: {'get': command}} for every parameter.");
    glue::def_plain_method<&params_set_script>(cls, "get_params_set_script",
                                               "{name: {'set': template, 'needrestart': flag}} for every parameter.");
    glue::def_plain_method<&get_workload_options>(cls, "get_workload_options",
                                                  "{'start': command, 'stop': command} of the workload.");
}

}  // namespace knobsmith::loadplan
