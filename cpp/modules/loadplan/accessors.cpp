// What the driver and the parameter access ask of a loaded configuration, including the settings
// mapping of the optimizer engine.
#include <string>

#include "cfg.hpp"

namespace knobsmith::loadplan {

namespace {

py::object yml_of(py::handle self) {
    return self.attr("yml");
}

py::object first_evaluation(py::handle self) {
    py::object evaluations = yml_of(self)["evaluations"];
    return evaluations[py::int_(0)];
}

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

py::dict knob(py::handle object) {
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

py::dict get_optimizer_info(py::object self) {
    py::object y = yml_of(self);
    // The budget is settled first, so that a reader without one fails with its own error.
    settle_iterations(self, y);

    py::list knobs;
    for (py::handle object : y["object"]) {
        knobs.append(knob(object));
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
    py::object info = first_evaluation(self)["info"];
    settings["eval_type"] = info["type"];
    return settings;
}

py::object get_performance_target(py::object self) {
    py::object info = first_evaluation(self)["info"];
    if (!glue::contains(info, "target")) {
        return py::float_(0.0);
    }
    py::object target = info["target"];
    py::str text(target);
    if (glue::truthy(text.attr("endswith")("%"))) {
        py::object number_text = text.attr("rstrip")("%");
        auto number = py::reinterpret_steal<py::object>(PyFloat_FromString(number_text.ptr()));
        if (!number) {
            throw py::error_already_set();
        }
        return number;
    }
    glue::log("warning", py::str("optimize target unlimited"));
    return py::float_(0.0);
}

// name -> {field: info[field], ...} for every object, in file order; a repeated name keeps its
// first position and the later object's commands.
py::dict commands_by_name(py::handle self, std::initializer_list<const char*> fields) {
    py::dict result;
    for (py::handle object : yml_of(self)["object"]) {
        py::object info = object["info"];
        py::dict commands;
        for (const char* field : fields) {
            commands[field] = info[field];
        }
        py::object name = object["name"];
        result[name] = commands;
    }
    return result;
}

}  // namespace

void add_accessors(py::handle cls) {
    glue::def_method(
        cls, "get_project", [](py::object self) { return self.attr("project"); },
        "The project name derived from the configuration file's path.");
    glue::def_method(
        cls, "get_benchmark_script", [](py::object self) { return as_optional_str(yml_of(self)["benchmark"]); },
        "The benchmark command.");
    glue::def_method(
        cls, "get_performance_get_script",
        [](py::object self) {
            py::object evaluation = first_evaluation(self);
            py::object info = evaluation["info"];
            py::object name = evaluation["name"];
            py::dict result;
            result[name] = info["get"];
            return result;
        },
        "{name: command} of the first evaluation's metric.");
    glue::def_method(cls, "get_performance_target", &get_performance_target,
                     "The first evaluation's target in percent, 0.0 for none.");
    glue::def_method(
        cls, "get_evaluations_type",
        [](py::object self) {
            py::object info = first_evaluation(self)["info"];
            return as_optional_str(info["type"]);
        },
        "The first evaluation's direction, positive or negative.");
    glue::def_method(cls, "get_optimizer_info", &get_optimizer_info, "The settings mapping of the optimizer engine.");
    glue::def_method(
        cls, "get_params_get_script", [](py::object self) { return commands_by_name(self, {"get"}); },
        "{name: {'get': command}} for every parameter.");
    glue::def_method(
        cls, "get_params_set_script",
        [](py::object self) {
            return commands_by_name(self, {"set", "needrestart"});
        },
        "{name: {'set': template, 'needrestart': flag}} for every parameter.");
    glue::def_method(
        cls, "get_workload_options",
        [](py::object self) {
            py::object y = yml_of(self);
            py::dict workload;
            workload["start"] = y["startworkload"];
            workload["stop"] = y["stopworkload"];
            return workload;
        },
        "{'start': command, 'stop': command} of the workload.");
}

}  // namespace knobsmith::loadplan
