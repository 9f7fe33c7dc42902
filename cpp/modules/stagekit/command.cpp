// Running a command for StageKit, and the core's errors as Python exceptions.
#include <sys/wait.h>

#include <csignal>

#include <optional>

#include "knobsmith_core/atomic_file.hpp"
#include "knobsmith_core/backup_file.hpp"
#include "knobsmith_core/shell_rule.hpp"
#include "knobsmith_core/text.hpp"
#include "process_glue.hpp"
#include "stagekit.hpp"

namespace knobsmith::stagekit {

bool command_refused(py::handle command) {
    if (!glue::is_str(command)) {
        throw py::type_error("expected string or bytes-like object, got '" +
                             std::string(py::str(glue::type_name(command))) + "'");
    }
    const std::string text = glue::utf8(command);
    return core::has_shell_metacharacter(text) || text.find('\0') != std::string::npos;
}

std::optional<double> command_timeout() {
    py::object limit = glue::global("StageKit").attr("COMMAND_TIMEOUT");
    if (limit.is_none()) {
        return std::nullopt;
    }
    const double seconds = py::float_(limit);
    if (!(seconds > 0)) {
        throw py::value_error("StageKit.COMMAND_TIMEOUT must be None or a positive number of seconds");
    }
    return seconds;
}

core::CommandOutput run_shell(py::handle command) {
    py::object shell = glue::global("StageKit").attr("BASH");
    return glue::run_program({glue::fs_bytes(shell), "-c", glue::fs_bytes(command)}, nullptr,
                             command_timeout().value_or(0));
}

py::str timed_out_text() {
    py::object seconds = glue::global("StageKit").attr("COMMAND_TIMEOUT");
    return py::str("timed out after {:g} s").attr("format")(seconds);
}

py::object decode_strict(std::string_view bytes) {
    try {
        return glue::decode_utf8(bytes);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeDecodeError)) {
            throw;
        }
        return {};
    }
}

py::str decode_lenient(std::string_view bytes) {
    return glue::decode_utf8(core::strip_ascii_whitespace(bytes), "replace");
}

int return_code(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        return -WTERMSIG(wait_status);
    }
    // Children are waited for without WUNTRACED, so anything else is an exit.
    return WEXITSTATUS(wait_status);
}

int ended_status(const core::CommandOutput& output) {
    const int status = return_code(output.wait_status);
    // A command ended for its time is a failure even when the shell had already left with 0.
    return output.timed_out && status == 0 ? -SIGTERM : status;
}

std::string describe_end(const core::CommandOutput& output) {
    if (output.timed_out) {
        return std::string(py::str(timed_out_text()));
    }
    const int wait_status = output.wait_status;
    if (WIFSIGNALED(wait_status)) {
        return "killed by signal " + std::to_string(WTERMSIG(wait_status));
    }
    return "exit status " + std::to_string(WEXITSTATUS(wait_status));
}

void register_error_translation() {
    py::register_local_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) {
                std::rethrow_exception(pointer);
            }
        } catch (const core::FileError& error) {
            try {
                glue::raise_os_error(error.code().value(), error.path());
            } catch (py::error_already_set& raised) {
                raised.restore();
            }
        } catch (const core::BackupNameError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        }
    });
}

}  // namespace knobsmith::stagekit
