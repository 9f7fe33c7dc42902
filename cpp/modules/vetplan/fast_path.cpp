// The validator's fast path: one walk in C++ over the dicts, lists, strings and numbers that a
// loaded YAML file is made of, answering "valid" without a Python-level call or a new object.
//
// It only ever answers "valid for sure". A fault to be worded, a value of a kind it does not
// handle (a subclass, a mapping that is not a dict, a digit outside ASCII), or a check, key name,
// pattern or module global that a host or a test replaced leaves the answer to the checks
// themselves, which then run from the start as they always did. The fast path thus accepts a
// subset of what the checks accept and decides nothing else.
#include <array>
#include <vector>

#include "knobsmith_core/shell_rule.hpp"
#include "vetplan.hpp"

namespace knobsmith::vetplan {

namespace {

// What the checks rely on, as the module installed it: the class, the module globals the checks
// look up, and every class attribute but the restart flag (the checks, the key names, the
// pattern). Strong references, held until the interpreter finalizes (see forget_installed).
struct Installed {
    PyObject* cls = nullptr;
    PyObject* re_module = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> attributes;
};

Installed installed;

enum Key : std::size_t {
    kIterations,
    kTimeout,
    kBenchmark,
    kStartWorkload,
    kStopWorkload,
    kEvaluations,
    kObject,
    kName,
    kInfo,
    kGet,
    kSet,
    kType,
    kTarget,
    kDesc,
    kNeedRestart,
    kDtype,
    kScope,
    kStep,
    kItems,
    kOptions,
    kKeyCount,
};

constexpr std::array<const char*, kKeyCount> kKeyTexts = {
    "iterations",  "timeout", "benchmark", "startworkload", "stopworkload", "evaluations", "object",
    "name",        "info",    "get",       "set",           "type",         "target",      "desc",
    "needrestart", "dtype",   "scope",     "step",          "items",        "options",
};

// Containers and values the nesting walk visits before it leaves a value to the checks' own walk.
constexpr long kVisitBudget = 4L * 1024 * 1024;

// Interned once: a lookup with them hashes nothing and compares by identity first.
std::array<PyObject*, kKeyCount> keys{};

// A value is looked up without a new reference; nullptr when the key is absent.
PyObject* lookup(PyObject* dict, Key name) {
    return PyDict_GetItemWithError(dict, keys[name]);
}

bool is_exact_str(PyObject* value) {
    return PyUnicode_CheckExact(value) != 0;
}

bool is_exact_int(PyObject* value) {
    return PyLong_CheckExact(value) != 0 || PyBool_Check(value) != 0;
}

bool is_exact_number(PyObject* value) {
    return is_exact_int(value) || PyFloat_CheckExact(value) != 0;
}

bool equals(PyObject* text, const char* word) {
    return PyUnicode_CompareWithASCIIString(text, word) == 0;
}

template <typename Visit>
bool for_each_unit(PyObject* text, Visit&& visit) {
    const void* data = PyUnicode_DATA(text);
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return visit(static_cast<const Py_UCS1*>(data), size);
        case PyUnicode_2BYTE_KIND:
            return visit(static_cast<const Py_UCS2*>(data), size);
        default:
            return visit(static_cast<const Py_UCS4*>(data), size);
    }
}

// A str free of the shell's metacharacters.
bool clean_command(PyObject* value) {
    return is_exact_str(value) && for_each_unit(value, [](const auto* units, std::size_t size) {
               return core::find_shell_metacharacter(units, size) == size;
           });
}

// What str.strip() would leave non-empty.
bool has_non_blank(PyObject* text) {
    return for_each_unit(text, [](const auto* units, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (!Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(units[i]))) {
                return true;
            }
        }
        return false;
    });
}

// A target the checks accept without a word: ASCII digits, an optional point and digits, one
// "%" at the end, and a digit other than 0 somewhere (so the number is above 0).
bool plain_positive_percentage(PyObject* text) {
    if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) {
        return false;
    }
    const auto* units = PyUnicode_1BYTE_DATA(text);
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    auto digits = [&](std::size_t& at) {
        const std::size_t from = at;
        while (at < size && units[at] >= '0' && units[at] <= '9') {
            ++at;
        }
        return at > from;
    };
    std::size_t at = 0;
    if (!digits(at)) {
        return false;
    }
    if (at < size && units[at] == '.') {
        ++at;
        if (!digits(at)) {
            return false;
        }
    }
    if (at + 1 != size || units[at] != '%') {
        return false;
    }
    for (std::size_t i = 0; i < at; ++i) {
        if (units[i] >= '1' && units[i] <= '9') {
            return true;
        }
    }
    return false;
}

// Empty in Python's sense, for the kinds whose truth needs no Python code; nullopt otherwise.
std::optional<bool> plainly_empty(PyObject* value) {
    if (value == Py_None) {
        return true;
    }
    if (is_exact_number(value) || is_exact_str(value) || PyList_CheckExact(value) || PyDict_CheckExact(value) ||
        PyTuple_CheckExact(value)) {
        return PyObject_Not(value) == 1;
    }
    return std::nullopt;
}

// Every container at most kMaxNesting deep, all of them exact dicts, lists or tuples (no code of
// a subclass runs). A budget of visits stops values that share branches (aliases) from costing
// their expansion: past it the checks' own walk, which visits a shared branch once, decides.
bool shallow_enough(PyObject* value, int above, long& budget) {
    if (--budget < 0) {
        return false;
    }
    const bool is_dict = PyDict_Check(value) != 0;
    const bool is_sequence = PyList_Check(value) != 0 || PyTuple_Check(value) != 0;
    if (!is_dict && !is_sequence) {
        return true;
    }
    if (above + 1 > kMaxNesting ||
        !(PyDict_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value))) {
        return false;
    }
    if (is_dict) {
        Py_ssize_t position = 0;
        PyObject* item_key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(value, &position, &item_key, &item)) {
            if (!shallow_enough(item, above + 1, budget)) {
                return false;
            }
        }
        return true;
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (Py_ssize_t index = 0; index < size; ++index) {
        if (!shallow_enough(items[index], above + 1, budget)) {
            return false;
        }
    }
    return true;
}

// The values of `dict` (itself `above` containers down) under keys other than `known`, within
// the nesting bound: the checks examine the known ones, whose kinds hold nothing deeper.
// `present` counts the known keys the dict holds; when that is all it holds, nothing is walked.
bool extras_shallow(PyObject* dict, int above, Py_ssize_t present, std::initializer_list<Key> known, long& budget) {
    if (PyDict_GET_SIZE(dict) == present) {
        return true;
    }
    Py_ssize_t position = 0;
    PyObject* item_key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(dict, &position, &item_key, &item)) {
        bool examined = false;
        for (const Key name : known) {
            examined = examined || (PyUnicode_CheckExact(item_key) && PyUnicode_Compare(item_key, keys[name]) == 0);
        }
        if (!examined && !shallow_enough(item, above + 1, budget)) {
            return false;
        }
    }
    return true;
}

// How many of `values` were found.
Py_ssize_t found(std::initializer_list<PyObject*> values) {
    Py_ssize_t count = 0;
    for (PyObject* value : values) {
        count += value != nullptr ? 1 : 0;
    }
    return count;
}

// A list of at least one str, each free of metacharacters.
bool clean_options(PyObject* options) {
    if (options == nullptr || !PyList_CheckExact(options) || PyList_GET_SIZE(options) == 0) {
        return false;
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(options); ++index) {
        if (!clean_command(PyList_GET_ITEM(options, index))) {
            return false;
        }
    }
    return true;
}

// Two bounds, the first below the second, of kinds that compare without Python code.
bool ordered_scope(PyObject* scope) {
    if (scope == nullptr || !PyList_CheckExact(scope) || PyList_GET_SIZE(scope) != 2) {
        return false;
    }
    PyObject* low = PyList_GET_ITEM(scope, 0);
    PyObject* high = PyList_GET_ITEM(scope, 1);
    const bool numbers = is_exact_number(low) && is_exact_number(high);
    const bool words = is_exact_str(low) && is_exact_str(high);
    if (!numbers && !words) {
        return false;
    }
    return PyObject_RichCompareBool(low, high, Py_GE) == 0;
}

// The info dict of an element of the object or evaluations list (two containers down) that is a
// plain dict with a str name and nothing else but its info; nullptr for any other element.
PyObject* named_info(PyObject* element, long& budget) {
    if (!PyDict_CheckExact(element)) {
        return nullptr;
    }
    PyObject* name = lookup(element, kName);
    PyObject* info = lookup(element, kInfo);
    if (name == nullptr || info == nullptr || !is_exact_str(name) || !PyDict_CheckExact(info) ||
        !extras_shallow(element, 2, 2, {kName, kInfo}, budget)) {
        return nullptr;
    }
    return info;
}

// One element of the object list, two containers down.
bool valid_object(PyObject* obj_item, bool& needs_restart, long& budget) {
    PyObject* info = named_info(obj_item, budget);
    if (info == nullptr) {
        return false;
    }
    PyObject* desc = lookup(info, kDesc);
    PyObject* get = lookup(info, kGet);
    PyObject* set = lookup(info, kSet);
    PyObject* restart = lookup(info, kNeedRestart);
    PyObject* type = lookup(info, kType);
    PyObject* dtype = lookup(info, kDtype);
    PyObject* scope = lookup(info, kScope);
    PyObject* step = lookup(info, kStep);
    PyObject* items = lookup(info, kItems);
    PyObject* options = lookup(info, kOptions);
    if (desc == nullptr || get == nullptr || set == nullptr || restart == nullptr || type == nullptr ||
        dtype == nullptr || !clean_command(get) || !clean_command(set) || !is_exact_str(restart) ||
        !is_exact_str(type) || !is_exact_str(dtype) ||
        !extras_shallow(info, 3, found({desc, get, set, restart, type, dtype, scope, step, items, options}),
                        {kDesc, kGet, kSet, kNeedRestart, kType, kDtype, kScope, kStep, kItems, kOptions}, budget)) {
        return false;
    }
    if (!is_exact_str(desc)) {
        const auto empty = plainly_empty(desc);
        if (!empty || !*empty) {
            return false;
        }
    }
    if (equals(restart, "true")) {
        needs_restart = true;
    } else if (!equals(restart, "false")) {
        return false;
    }
    const bool discrete = equals(type, "discrete");
    if (!discrete && !equals(type, "continuous")) {
        return false;
    }
    const bool is_string = equals(dtype, "string");
    if (!is_string && !equals(dtype, "int") && !equals(dtype, "float")) {
        return false;
    }
    // Each value-space field is examined or, when the type and dtype leave it out, only walked.
    const bool number_grid = discrete && !is_string;
    if (!discrete || !is_string ? !ordered_scope(scope) : scope != nullptr && !shallow_enough(scope, 4, budget)) {
        return false;
    }
    if (is_string ? !clean_options(options) : options != nullptr && !shallow_enough(options, 4, budget)) {
        return false;
    }
    if (number_grid) {
        // The items' elements are never examined.
        return step != nullptr && items != nullptr && is_exact_number(step) && PyList_CheckExact(items) &&
               shallow_enough(items, 4, budget);
    }
    return (step == nullptr || shallow_enough(step, 4, budget)) &&
           (items == nullptr || shallow_enough(items, 4, budget));
}

// One element of the evaluations list, two containers down.
bool valid_evaluation(PyObject* eval_item, long& budget) {
    PyObject* info = named_info(eval_item, budget);  // a stray element is reported by the checks
    if (info == nullptr) {
        return false;
    }
    PyObject* get = lookup(info, kGet);
    PyObject* type = lookup(info, kType);
    PyObject* target = lookup(info, kTarget);
    if (!extras_shallow(info, 3, found({get, type, target}), {kGet, kType, kTarget}, budget)) {
        return false;
    }
    if (get == nullptr || type == nullptr || target == nullptr || !clean_command(get) || !is_exact_str(type) ||
        !(equals(type, "positive") || equals(type, "negative"))) {
        return false;
    }
    if (target == Py_None) {
        return true;
    }
    return is_exact_str(target) && (PyUnicode_GET_LENGTH(target) == 0 || plain_positive_percentage(target));
}

bool positive_integer(PyObject* value) {
    return value != nullptr && is_exact_int(value) && PyObject_RichCompareBool(value, Py_False, Py_GT) == 1;
}

bool valid_config(PyObject* cfg, bool& needs_restart) {
    if (!PyDict_CheckExact(cfg)) {
        return false;
    }
    long budget = kVisitBudget;
    PyObject* iterations = lookup(cfg, kIterations);
    PyObject* timeout = lookup(cfg, kTimeout);
    PyObject* benchmark = lookup(cfg, kBenchmark);
    PyObject* start = lookup(cfg, kStartWorkload);
    PyObject* stop = lookup(cfg, kStopWorkload);
    PyObject* evaluations = lookup(cfg, kEvaluations);
    PyObject* objects = lookup(cfg, kObject);
    if (timeout == nullptr || !positive_integer(iterations) ||
        !extras_shallow(cfg, 0, found({iterations, timeout, benchmark, start, stop, evaluations, objects}),
                        {kIterations, kTimeout, kBenchmark, kStartWorkload, kStopWorkload, kEvaluations, kObject},
                        budget)) {
        return false;
    }
    const auto no_timeout = plainly_empty(timeout);
    if (!no_timeout || (!*no_timeout && !positive_integer(timeout))) {
        return false;
    }
    if (benchmark == nullptr || start == nullptr || stop == nullptr || !clean_command(benchmark) ||
        !has_non_blank(benchmark) || !clean_command(start) || !clean_command(stop)) {
        return false;
    }
    if (evaluations == nullptr || !PyList_CheckExact(evaluations) || PyList_GET_SIZE(evaluations) == 0) {
        return false;
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(evaluations); ++index) {
        if (!valid_evaluation(PyList_GET_ITEM(evaluations, index), budget)) {
            return false;
        }
    }
    if (objects == nullptr || !PyList_CheckExact(objects)) {
        return false;
    }
    needs_restart = false;
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(objects); ++index) {
        if (!valid_object(PyList_GET_ITEM(objects, index), needs_restart, budget)) {
            return false;
        }
    }
    return !needs_restart || (PyUnicode_GET_LENGTH(start) > 0 && PyUnicode_GET_LENGTH(stop) > 0);
}

// Whether the class, its attributes and the module globals the checks use are still the ones
// installed, and `self` a plain instance of the class with nothing of its own.
bool untouched(PyObject* self) {
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(installed.cls)) {
        return false;
    }
    PyObject* globals = glue::module_namespace;
    if (PyDict_GetItemString(globals, "Vetplan") != installed.cls ||
        PyDict_GetItemString(globals, "re") != installed.re_module) {
        return false;
    }
    PyObject* attributes = reinterpret_cast<PyTypeObject*>(installed.cls)->tp_dict;
    for (const auto& [name, value] : installed.attributes) {
        if (PyDict_GetItemWithError(attributes, name) != value) {
            return false;
        }
    }
    PyObject** own = _PyObject_GetDictPtr(self);
    return own == nullptr || *own == nullptr || PyDict_GET_SIZE(*own) == 0;
}

// Drops the snapshot's references (the fast path is off from then on), so that the interpreter's
// finalization frees the class and its methods as it would without the snapshot.
void forget_installed() {
    for (auto& [name, value] : installed.attributes) {
        Py_DECREF(name);
        Py_DECREF(value);
    }
    installed.attributes.clear();
    Py_CLEAR(installed.re_module);
    Py_CLEAR(installed.cls);
}

}  // namespace

void remember_installed(py::handle cls) {
    for (std::size_t index = 0; index < kKeyCount; ++index) {
        PyObject* text = PyUnicode_InternFromString(kKeyTexts[index]);
        if (text == nullptr) {
            throw py::error_already_set();
        }
        keys[index] = text;
    }
    installed.cls = cls.inc_ref().ptr();
    installed.re_module = glue::global("re").release().ptr();
    PyObject* attributes = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(attributes, &position, &name, &value)) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "need_restart") != 0 &&
            PyUnicode_CompareWithASCIIString(name, "__dict__") != 0 &&
            PyUnicode_CompareWithASCIIString(name, "__weakref__") != 0) {
            Py_INCREF(name);
            Py_INCREF(value);
            installed.attributes.emplace_back(name, value);
        }
    }
    py::module_::import("atexit").attr("register")(py::cpp_function(&forget_installed));
}

bool valid_for_sure(py::handle self, py::handle cfg, bool& needs_restart) {
    if (installed.cls == nullptr || !untouched(self.ptr())) {
        PyErr_Clear();
        return false;
    }
    const bool valid = valid_config(cfg.ptr(), needs_restart);
    // A lookup that raised (a key whose hash fails) is the checks' to raise again.
    PyErr_Clear();
    return valid;
}

}  // namespace knobsmith::vetplan
