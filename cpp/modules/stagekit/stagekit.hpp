// Pieces shared by the methods of StageKit.
#pragma once

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

// Runs `command` through StageKit.BASH -c, with the interpreter lock released. Ctrl-C (any
// signal whose handler raises) kills and reaps the command, then raises.
core::CommandOutput run_shell(py::handle command);

// Bytes as text, or nothing when they are not UTF-8.
py::object decode_strict(std::string_view bytes);

// Bytes without the ASCII white space at either end, as text with U+FFFD for what is not UTF-8.
py::str decode_lenient(std::string_view bytes);

// How a command ended, told as subprocess's returncode tells it: its exit status, or the
// negative number of the signal that killed it.
int return_code(int wait_status);

// How a command ended, in words: "exit status N" or "killed by signal S".
std::string describe_end(int wait_status);

void add_reading(py::handle cls);
void add_applying(py::handle cls);

// Turns the core's file, name and spawn errors into the host's OSError and ValueError.
void register_error_translation();

}  // namespace knobsmith::stagekit
