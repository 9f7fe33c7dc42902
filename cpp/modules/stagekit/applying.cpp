// Applying new parameter values and restarting the workload when one of them needs it.
#include "knobsmith_core/text.hpp"
#include "stagekit.hpp"

namespace knobsmith::stagekit {

namespace {

// The set commands of the configuration, once every name in `params` is known to it: a
// half-applied set without its restart would leave the workload in a state nobody asked for.
py::object set_commands_for(py::handle params) {
    py::object params_set = glue::global("Cfg")().attr("get_params_set_script")();
    for (py::handle name : params) {
        if (!glue::contains(params_set, name)) {
            PyErr_SetObject(PyExc_KeyError, name.ptr());
            throw py::error_already_set();
        }
    }
    return params_set;
}

py::object filled_command(py::handle entry, py::handle value) {
    py::object set = entry["set"];
    return set.attr("replace")("$value", py::str(value));
}

bool needs_restart(py::handle entry) {
    py::object needrestart = entry["needrestart"];
    return glue::compare(needrestart, py::str("true"), Py_EQ);
}

// One line for a set command that did not exit with status 0: how it ended and the first line
// of what it said on its standard error.
void log_failed_set(py::handle name, const core::CommandOutput& output) {
    std::string_view said = core::strip_ascii_whitespace(output.err);
    said = core::strip_ascii_whitespace(said.substr(0, said.find('\n')));
    py::str line = glue::concat("params set cmd failed: ", name, " (", describe_end(output), ")");
    if (!said.empty()) {
        line = glue::concat(line, ": ", decode_lenient(said));
    }
    glue::log_error(line);
}

void set_params(py::object /*self*/, py::object params) {
    py::object params_set = set_commands_for(params);
    bool restart = false;
    for (py::handle name : params) {
        py::object entry = params_set[name];
        py::object value = params[name];
        py::object command = filled_command(entry, value);
        if (command_refused(command)) {
            glue::log_error(glue::concat("params set cmd 包含非法 shell 元字符，跳过: ", name));
            continue;
        }
        const core::CommandOutput output = run_shell(command);
        if (output.wait_status != 0 || output.timed_out) {
            // The restart below still happens: a parameter that did take may need it.
            log_failed_set(name, output);
        }
        if (needs_restart(entry)) {
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
    // The shell puts the workload in the background and ends at once; the workload runs on. The
    // group (the newline ends a trailing comment) puts all of the command in the background, not
    // just its last part when it holds `&`, `|`, `;` or `#`. A blank command has nothing to group.
    const bool blank = py::str(start).attr("strip")().cast<std::string>().empty();
    run_shell(blank ? start + py::str(" >/dev/null 2>&1 &") : py::str("{ ") + start + py::str("\n} >/dev/null 2>&1 &"));
}

// The set commands alone, with how each went told back instead of logged: no restart, which is
// the caller's to decide from the records' needrestart.
py::list apply_params(py::object /*self*/, py::object params) {
    py::object params_set = set_commands_for(params);
    py::list applied;
    for (py::handle name : params) {
        py::object entry = params_set[name];
        py::object value = params[name];
        py::object command = filled_command(entry, value);
        const bool refused = command_refused(command);
        const bool restart = needs_restart(entry);
        py::dict record;
        record["name"] = name;
        record["value"] = value;
        record["command"] = command;
        record["refused"] = py::bool_(refused);
        if (refused) {
            record["status"] = py::none();
            record["timed_out"] = py::bool_(false);
            record["output"] = py::str("");
            record["error"] = py::str("");
        } else {
            const core::CommandOutput output = run_shell(command);
            record["status"] = py::int_(ended_status(output));
            record["timed_out"] = py::bool_(output.timed_out);
            record["output"] = decode_lenient(output.out);
            record["error"] = output.timed_out ? timed_out_text() : decode_lenient(output.err);
        }
        record["needrestart"] = py::bool_(restart);
        applied.append(record);
    }
    return applied;
}

}  // namespace

void add_applying(py::handle cls) {
    glue::def_method(cls, "set_params", &set_params, py::arg("params"),
                     "Apply {name: value} through the set commands; restart the workload when needed.");
    glue::def_method(cls, "apply_params", &apply_params, py::arg("params"),
                     "Run the set commands of {name: value} in order, without restart or logging; one record "
                     "per name: name, value, command, refused, status, timed_out, output, error, needrestart.");
}

}  // namespace knobsmith::stagekit
