// Applying new parameter values and restarting the workload when one of them needs it.
#include "stagekit.hpp"

namespace knobsmith::stagekit {

namespace {

void set_params(py::object /*self*/, py::object params) {
    py::object params_set = glue::global("Cfg")().attr("get_params_set_script")();
    // Every name is known before anything runs: a half-applied set without its restart would
    // leave the workload in a state nobody asked for.
    for (py::handle name : params) {
        if (!glue::contains(params_set, name)) {
            PyErr_SetObject(PyExc_KeyError, name.ptr());
            throw py::error_already_set();
        }
    }
    bool restart = false;
    for (py::handle name : params) {
        py::object entry = params_set[name];
        py::object value = params[name];
        py::object command = entry["set"].attr("replace")("$value", py::str(value));
        if (command_refused(command)) {
            glue::log_error(glue::concat("params set cmd 包含非法 shell 元字符，跳过: ", name));
            continue;
        }
        run_shell(command);
        py::object needrestart = entry["needrestart"];
        if (glue::compare(needrestart, py::str("true"), Py_EQ)) {
            restart = true;
        }
    }
    if (!restart) {
        return;
    }
    py::object workload = glue::global("Cfg")().attr("get_workload_options")();
    py::object stop = workload.attr("get")("stop", "");
    py::object start = workload.attr("get")("start", "");
    if (command_refused(stop) || command_refused(start)) {
        glue::log_error(py::str("workload stop/start 包含非法 shell 元字符，跳过 restart"));
        return;
    }
    run_shell(stop);
    // The shell puts the workload in the background and ends at once; the workload runs on.
    run_shell(start + py::str(" >/dev/null 2>&1 &"));
}

}  // namespace

void add_applying(py::handle cls) {
    glue::def_method(cls, "set_params", &set_params, py::arg("params"),
                     "Apply {name: value} through the set commands; restart the workload when needed.");
}

}  // namespace knobsmith::stagekit
