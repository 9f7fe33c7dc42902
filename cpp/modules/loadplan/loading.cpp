// Loading a tuning configuration: read, parse, validate.
#include "cfg.hpp"

namespace knobsmith::loadplan {

namespace {

py::str read_text(py::handle config_file) {
    py::object file = glue::global("open")(config_file, "r", py::arg("encoding") = "utf-8");
    try {
        py::str text = file.attr("read")();
        file.attr("close")();
        return text;
    } catch (...) {
        file.attr("close")();
        throw;
    }
}

// A document that parsed to an empty value (null, {}, [], "", 0, false) holds no configuration.
struct EmptyDocument {};

// What the module installed, kept to tell at each call whether a host or a test put something
// else in its place: the libyaml loader is taken only when nothing was. Owned for the life of the
// process, like the module.
struct Installed {
    PyObject* yaml = nullptr;
    PyObject* load = nullptr;
    PyObject* full_loader = nullptr;
    PyObject* bounded_loader = nullptr;
    PyObject* libyaml_loader = nullptr;  // None when PyYAML has no libyaml
};
Installed installed;

bool nothing_substituted(const py::object& yaml) {
    if (installed.libyaml_loader == Py_None || yaml.ptr() != installed.yaml ||
        glue::global("bounded_loader").ptr() != installed.bounded_loader) {
        return false;
    }
    // Attributes of the real module can be replaced too (monkeypatch.setattr(yaml, "load", ...)).
    return yaml.attr("load").ptr() == installed.load && yaml.attr("FullLoader").ptr() == installed.full_loader;
}

// The document of `text`, read as the bounded full loader reads it. libyaml reads the events
// where it may; the pure-Python parser reads again a text libyaml did not take, since the messages
// a person sees are its words.
py::object load_document(const py::object& yaml, const py::str& text) {
    if (nothing_substituted(yaml)) {
        try {
            return yaml.attr("load")(text, py::arg("Loader") = py::handle(installed.libyaml_loader));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
        }
    }
    return yaml.attr("load")(text, py::arg("Loader") = glue::global("bounded_loader"));
}

}  // namespace

void remember_installed() {
    const auto keep = [](py::object value) { return value.release().ptr(); };
    py::object yaml = glue::global("yaml");
    installed.yaml = keep(yaml);
    installed.load = keep(yaml.attr("load"));
    installed.full_loader = keep(yaml.attr("FullLoader"));
    installed.bounded_loader = keep(glue::global("bounded_loader"));
    installed.libyaml_loader = keep(py::module_::import("knobsmith.yaml_bounds").attr("libyaml_bounded_loader"));
}

py::dict default_skeleton() {
    py::dict skeleton;
    for (const char* key : {"iterations", "timeout", "benchmark", "startworkload", "stopworkload"}) {
        skeleton[key] = "";
    }
    py::dict eval_info;
    eval_info["get"] = "";
    eval_info["type"] = "";
    eval_info["target"] = py::none();
    py::dict evaluation;
    evaluation["name"] = "";
    evaluation["info"] = eval_info;
    py::list evaluations;
    evaluations.append(evaluation);
    skeleton["evaluations"] = evaluations;

    py::dict object_info;
    for (const char* key : {"desc", "get", "set", "needrestart", "type", "options", "dtype", "scope"}) {
        object_info[key] = "";
    }
    py::dict object;
    object["name"] = "";
    object["info"] = object_info;
    py::list objects;
    objects.append(object);
    skeleton["object"] = objects;
    return skeleton;
}

bool init(py::object self, py::object config_file) {
    self.attr("project") = glue::global("ToolCmd")().attr("parse_projectname")(config_file);
    self.attr("iter") = true;
    self.attr("time") = true;

    py::object yml;
    try {
        py::str text = read_text(config_file);
        // The full loader, bounded: a few bytes of aliases cannot stand for billions of values,
        // nor can a value be nested past what the parser and the checks can walk.
        yml = load_document(glue::global("yaml"), text);
        self.attr("yml") = yml;
        if (!glue::truthy(yml)) {
            throw EmptyDocument{};
        }
    } catch (EmptyDocument&) {
        glue::log_error(py::str("Yaml  error"));
        return false;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;  // KeyboardInterrupt and the like are not faults of the file
        }
        if (e.matches(PyExc_IsADirectoryError)) {
            glue::log_error(glue::concat("Is a directory: ", config_file));
        } else if (e.matches(PyExc_FileNotFoundError)) {
            glue::log_error(glue::concat("File not found: ", config_file));
        } else if (e.matches(glue::global("NestingError"))) {
            glue::log_error(py::str(e.value()));
        } else if (e.matches(glue::global("yaml").attr("scanner").attr("ScannerError"))) {
            glue::log_error(glue::concat("Yaml format error: ", e.value()));
        } else {
            glue::log_error(py::str("Yaml  error"));
        }
        return false;
    }
    return glue::truthy(glue::global("Vetplan")().attr("is_valid")(yml));
}

}  // namespace knobsmith::loadplan
