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

}  // namespace

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
        py::object yaml = glue::global("yaml");
        // The full loader, bounded: a few bytes of aliases cannot stand for billions of values,
        // nor can a value be nested past what the parser and the checks can walk.
        yml = yaml.attr("load")(text, py::arg("Loader") = glue::global("bounded_loader"));
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
