// Pieces shared by the methods of StageKit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "knobsmith_core/run_command.hpp"
#include "pyglue.hpp"

namespace knobsmith::stagekit {

namespace py = pybind11;

// Whether a command must not be run: it breaks the shell-metacharacter rule, or it holds a NUL
// character, which no program can be given. A command that is not a str raises TypeError, as a
// pattern search on it would.
bool command_refused(py::handle command);

// StageKit.COMMAND_TIMEOUT in seconds, or nothing for None (no limit); ValueError for a limit
// that is not positive.
std::optional<double> command_timeout();

// Runs `command` through StageKit.BASH -c, with the interpreter lock released and for
// StageKit.COMMAND_TIMEOUT at most (the output is then marked timed_out). Ctrl-C (any signal
// whose handler raises) ends the command's process group and reaps it, then raises.
core::CommandOutput run_shell(py::handle command);

// "timed out after N s", N being StageKit.COMMAND_TIMEOUT.
py::str timed_out_text();

// Bytes as text, or nothing when they are not UTF-8.
py::object decode_strict(std::string_view bytes);

// Bytes without the ASCII white space at either end, as text with U+FFFD for what is not UTF-8.
py::str decode_lenient(std::string_view bytes);

// How a command ended, told as subprocess's returncode tells it: its exit status, or the
// negative number of the signal that killed it.
int return_code(int wait_status);

// The status a record gives: return_code, and never 0 for a command ended for its time.
int ended_status(const core::CommandOutput& output);

// How a command ended, in words: "exit status N", "killed by signal S" or "timed out after N s".
std::string describe_end(const core::CommandOutput& output);

void add_reading(py::handle cls);
void add_applying(py::handle cls);

// Turns the core's file, name and spawn errors into the host's OSError and ValueError.
void register_error_translation();

}  // namespace knobsmith::stagekit
