// What the driver and the parameter access ask of a loaded configuration, including the settings
// mapping of the optimizer engine.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// What one answer was made from: a plain object dict and its info dict, each at a version, and
// the list whose first item the knob took as its reference (which its info does not version).
struct Source {
    py::object object;  // kept alive, so that its address stays its identity
    std::uint64_t object_version = 0;
    PyObject* info = nullptr;  // alive while the object is unchanged
    std::uint64_t info_version = 0;
    PyObject* first_of = nullptr;
    bool first_required = false;  // an empty scope is an error, an empty options list gives None
    PyObject* ref = nullptr;
};

// The knob of an object held in plain dicts, made without any Python-level call; nothing when
// the object is of another kind or lacks a field, which the general path then handles (and
// words the error of) as before. `source`, when given, learns where the reference came from.
std::optional<py::dict> plain_knob(PyObject* object, Source* source = nullptr) {
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
    if (source != nullptr) {
        source->first_of = scope != nullptr ? scope : options;
        source->first_required = scope != nullptr;
        source->ref = ref;
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

// ---------------------------------------------------------------------------------------------
// Answers made before, handed out again while nothing they were made from has changed
//
// CPython gives a dict a new version at each change (3.11 to 3.13), so a list holding the same
// object dicts at the same versions gives the same answers as last time. Those are kept as
// templates and handed out as copies: each call still returns new dicts that the caller owns.

#if PY_VERSION_HEX < 0x030E0000
constexpr bool kVersionedDicts = true;
std::uint64_t version_of(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}
#else
constexpr bool kVersionedDicts = false;
std::uint64_t version_of(PyObject* /*dict*/) {
    return 0;
}
#endif

struct Made {
    py::object objects;  // the list read
    std::vector<Source> sources;
    std::vector<py::object> names;    // the objects' names (commands only)
    std::vector<py::object> answers;  // one template per object, never handed out itself
    std::vector<bool> tracked;        // whether the collector tracked the template when it was made
};

// The last answers of each accessor. Held for the life of the process, like the module; a call
// holds its own reference, so that a call made meanwhile (by a finalizer) may replace them.
struct Kept {
    std::shared_ptr<const Made> knobs;
    std::shared_ptr<const Made> gets;
    std::shared_ptr<const Made> sets;
};

Kept& kept() {
    static Kept* made = new Kept();
    return *made;
}

bool unchanged(const Made& made, PyObject* objects) {
    if (objects != made.objects.ptr() || PyList_GET_SIZE(objects) != static_cast<Py_ssize_t>(made.sources.size())) {
        return false;
    }
    for (std::size_t index = 0; index < made.sources.size(); ++index) {
        const Source& source = made.sources[index];
        if (PyList_GET_ITEM(objects, static_cast<Py_ssize_t>(index)) != source.object.ptr() ||
            version_of(source.object.ptr()) != source.object_version ||
            version_of(source.info) != source.info_version) {
            return false;
        }
        if (source.first_of != nullptr) {
            PyObject* first = PyList_GET_SIZE(source.first_of) > 0 ? PyList_GET_ITEM(source.first_of, 0)
                              : source.first_required              ? nullptr
                                                                   : Py_None;
            if (first != source.ref) {
                return false;
            }
        }
    }
    return true;
}

// The object and info dicts of a plain object, versioned; nothing for any other kind.
std::optional<Source> source_of(PyObject* object) {
    if (!PyDict_CheckExact(object)) {
        return std::nullopt;
    }
    PyObject* info = item_of(object, keys().info);
    if (info == nullptr || !PyDict_CheckExact(info)) {
        return std::nullopt;
    }
    Source source;
    source.object = py::reinterpret_borrow<py::object>(object);
    source.object_version = version_of(object);
    source.info = info;
    source.info_version = version_of(info);
    return source;
}

// The knobs of a list of plain objects; nothing when one is of another kind.
std::shared_ptr<const Made> make_knobs(PyObject* objects) {
    auto made = std::make_shared<Made>();
    made->objects = py::reinterpret_borrow<py::object>(objects);
    const Py_ssize_t count = PyList_GET_SIZE(objects);
    made->sources.reserve(static_cast<std::size_t>(count));
    made->answers.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* object = PyList_GET_ITEM(objects, index);
        std::optional<Source> source = source_of(object);
        std::optional<py::dict> knob = source ? plain_knob(object, &*source) : std::nullopt;
        if (!knob) {
            return nullptr;
        }
        // Only this cache holds the template, so no cycle can run through it: the collector need
        // not visit it, and its copies start untracked too (see plain_knobs).
        made->tracked.push_back(PyObject_GC_IsTracked(knob->ptr()) != 0);
        PyObject_GC_UnTrack(knob->ptr());
        made->sources.push_back(std::move(*source));
        made->answers.push_back(std::move(*knob));
    }
    return made;
}

// A new dict equal to `kept`, sharing its values.
PyObject* copy_of(const py::object& kept) {
    PyObject* copy = PyDict_Copy(kept.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    return copy;
}

// The answers of `slot` when still good, else made again by `make` and kept (when dicts are
// versioned); nothing when `make` cannot make them from plain dicts.
template <typename Make>
std::shared_ptr<const Made> current(std::shared_ptr<const Made>& slot, PyObject* objects, Make&& make) {
    std::shared_ptr<const Made> made = slot;
    if (made && unchanged(*made, objects)) {
        return made;
    }
    made = make(objects);
    if (made && kVersionedDicts) {
        slot = made;
    }
    return made;
}

// A new list of new knobs for a list of plain objects; nothing when one is of another kind.
std::optional<py::list> plain_knobs(PyObject* objects) {
    std::shared_ptr<const Made> made = current(kept().knobs, objects, make_knobs);
    if (!made) {
        return std::nullopt;
    }
    auto knobs = py::reinterpret_steal<py::list>(PyList_New(static_cast<Py_ssize_t>(made->answers.size())));
    if (!knobs) {
        throw py::error_already_set();
    }
    for (std::size_t index = 0; index < made->answers.size(); ++index) {
        PyList_SET_ITEM(knobs.ptr(), static_cast<Py_ssize_t>(index), copy_of(made->answers[index]));
    }
    // Tracked once all are made, as a Python dict of the same values would be: a collection that
    // the copying itself sets off then need not walk (and age) knobs that are still being made.
    for (std::size_t index = 0; index < made->answers.size(); ++index) {
        PyObject* knob = PyList_GET_ITEM(knobs.ptr(), static_cast<Py_ssize_t>(index));
        if (made->tracked[index] && PyObject_GC_IsTracked(knob) == 0) {
            PyObject_GC_Track(knob);
        }
    }
    return knobs;
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
    std::optional<py::list> plain = PyList_CheckExact(objects.ptr()) ? plain_knobs(objects.ptr()) : std::nullopt;
    if (plain) {
        knobs = std::move(*plain);
    } else if (PyList_CheckExact(objects.ptr())) {
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

// {field: info[field], ...} of each of a list of plain objects, with its name; nothing when one
// is of another kind or lacks a field.
std::shared_ptr<const Made> make_commands(PyObject* objects, std::initializer_list<PyObject*> fields) {
    auto made = std::make_shared<Made>();
    made->objects = py::reinterpret_borrow<py::object>(objects);
    const Py_ssize_t count = PyList_GET_SIZE(objects);
    made->sources.reserve(static_cast<std::size_t>(count));
    made->names.reserve(static_cast<std::size_t>(count));
    made->answers.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* object = PyList_GET_ITEM(objects, index);
        std::optional<Source> source = source_of(object);
        PyObject* name = source ? item_of(object, keys().name) : nullptr;
        if (name == nullptr) {
            return nullptr;
        }
        auto commands = py::reinterpret_steal<py::object>(_PyDict_NewPresized(static_cast<Py_ssize_t>(fields.size())));
        if (!commands) {
            throw py::error_already_set();
        }
        for (PyObject* field : fields) {
            PyObject* value = item_of(source->info, field);
            if (value == nullptr) {
                return nullptr;
            }
            if (PyDict_SetItem(commands.ptr(), field, value) != 0) {
                throw py::error_already_set();
            }
        }
        made->sources.push_back(std::move(*source));
        made->names.push_back(py::reinterpret_borrow<py::object>(name));
        made->answers.push_back(std::move(commands));
    }
    return made;
}

// name -> {field: info[field], ...} for every object, in file order; a repeated name keeps its
// first position and the later object's commands.
py::dict commands_by_name(py::handle self, std::shared_ptr<const Made>& slot, std::initializer_list<const char*> names,
                          std::initializer_list<PyObject*> fields) {
    py::object objects = yml_of(self)["object"];
    std::shared_ptr<const Made> made;
    if (PyList_CheckExact(objects.ptr())) {
        made = current(slot, objects.ptr(), [fields](PyObject* list) { return make_commands(list, fields); });
    }
    if (!made) {
        py::dict result;
        for (py::handle object : objects) {
            add_commands(result, object, names);  // words the error as Python code would
        }
        return result;
    }
    auto result = py::reinterpret_steal<py::dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(made->names.size())));
    if (!result) {
        throw py::error_already_set();
    }
    for (std::size_t index = 0; index < made->names.size(); ++index) {
        auto commands = py::reinterpret_steal<py::object>(copy_of(made->answers[index]));
        if (PyDict_SetItem(result.ptr(), made->names[index].ptr(), commands.ptr()) != 0) {
            throw py::error_already_set();
        }
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
    return commands_by_name(self, kept().gets, {"get"}, {keys().get});
}

py::object params_set_script(py::handle self) {
    return commands_by_name(self, kept().sets, {"set", "needrestart"}, {keys().set, keys().needrestart});
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
