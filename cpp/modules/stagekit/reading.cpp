// Reading the parameters' current values and backing them up.
#include "knobsmith_core/atomic_file.hpp"
#include "knobsmith_core/backup_file.hpp"
#include "knobsmith_core/text.hpp"
#include "process_glue.hpp"
#include "stagekit.hpp"

namespace knobsmith::stagekit {

namespace {

py::dict failed_read(std::string_view error_output) {
    const std::string_view stripped = core::strip_ascii_whitespace(error_output);
    glue::log_error(glue::concat("run script failed: ", glue::decode_utf8(stripped, "replace")));
    return {};
}

py::dict get_params(py::object /*self*/) {
    py::dict values;
    py::object params_get = glue::global("Cfg")().attr("get_params_get_script")();
    for (py::handle name : params_get) {
        py::object entry = params_get[name];
        py::object command = entry["get"];
        if (command_refused(command)) {
            glue::log_error(glue::concat("params get cmd 包含非法 shell 元字符，跳过: ", name));
            continue;
        }
        const core::CommandOutput output = run_shell(command);
        if (output.timed_out) {
            // Like a get that complains: nothing read so far is handed out.
            glue::log_error(glue::concat("run script failed: ", name, ": the get command ", timed_out_text()));
            return {};
        }
        if (!output.err.empty()) {
            // One complaint spoils the whole reading: nothing read so far is handed out.
            return failed_read(output.err);
        }
        if (output.out.empty()) {
            glue::log("warning", glue::concat("cannot get ", name));
        }
        py::object value = decode_strict(core::strip_ascii_whitespace(output.out));
        if (!value) {
            return failed_read(output.err);
        }
        values[name] = value;
    }
    return values;
}

// One get command's run, whatever came of it; the value is text only when it is UTF-8.
py::dict read_one(py::handle entry) {
    py::object command = entry["get"];
    py::dict reading;
    reading["command"] = command;
    if (command_refused(command)) {
        reading["refused"] = py::bool_(true);
        reading["status"] = py::none();
        reading["timed_out"] = py::bool_(false);
        reading["value"] = py::none();
        reading["error"] = py::str("");
        return reading;
    }
    const core::CommandOutput output = run_shell(command);
    py::object value = decode_strict(core::strip_ascii_whitespace(output.out));
    py::str error = decode_lenient(output.err);
    if (!value) {
        value = py::none();
        if (!glue::truthy(error)) {
            error = py::str("the value is not UTF-8");
        }
    }
    if (output.timed_out) {
        value = py::none();  // whatever it said before it was ended is no value
        error = timed_out_text();
    }
    reading["refused"] = py::bool_(false);
    reading["status"] = py::int_(ended_status(output));
    reading["timed_out"] = py::bool_(output.timed_out);
    reading["value"] = value;
    reading["error"] = error;
    return reading;
}

// Each parameter read on its own, so that one failing read leaves the others standing; nothing
// is logged, the records tell the caller everything.
py::dict read_params(py::object /*self*/, py::object names) {
    py::object params_get = glue::global("Cfg")().attr("get_params_get_script")();
    py::list wanted(names.is_none() ? params_get : names);
    for (py::handle name : wanted) {
        if (!glue::contains(params_get, name)) {
            PyErr_SetObject(PyExc_KeyError, name.ptr());
            throw py::error_already_set();
        }
    }
    py::dict readings;
    for (py::handle name : wanted) {
        if (glue::contains(readings, name)) {
            continue;  // asked for twice: read once
        }
        py::object entry = params_get[name];
        readings[name] = read_one(entry);
    }
    return readings;
}

std::string utf8_strict(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw py::error_already_set();
    }
    return {data, static_cast<std::size_t>(size)};
}

py::object backup_params(py::object self) {
    py::object current = self.attr("get_params")();
    if (!glue::truthy(current)) {
        return py::dict();
    }
    py::object params_set = glue::global("Cfg")().attr("get_params_set_script")();
    py::object project = glue::global("Cfg")().attr("get_project")();
    py::str filename = glue::concat("bak_", project, ".ini");

    std::vector<core::BackupEntry> entries;
    for (py::handle name : current) {
        py::object entry = params_set[name];
        py::object set_command = entry["set"];
        py::object value = current[name];
        entries.push_back({utf8_strict(py::str(name).attr("lower")()), utf8_strict(py::str(value)),
                           utf8_strict(py::str(set_command))});
    }
    const std::string text = core::render_backup(entries);
    auto path = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(filename.ptr()));
    if (!path) {
        throw py::error_already_set();
    }
    const std::string target(PyBytes_AS_STRING(path.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
    {
        py::gil_scoped_release release;
        core::replace_file(target, text);
    }
    return current;
}

}  // namespace

void add_reading(py::handle cls) {
    glue::def_method(cls, "get_params", &get_params,
                     "Read every parameter's current value through its get command: {name: value}.");
    glue::def_method(cls, "backup_params", &backup_params,
                     "Read the current values and save them with their set commands in bak_<project>.ini.");
    glue::def_method(cls, "read_params", &read_params, py::arg("names") = py::none(),
                     "Read the named parameters (all, in configuration order, by default) one by one; a record per "
                     "name: command, refused, status, timed_out, value, error.");
}

}  // namespace knobsmith::stagekit
