// Running a program from a method: the core's runner with the interpreter lock released, Ctrl-C
// honoured, and its errors as Python's.
#pragma once

#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "knobsmith_core/run_command.hpp"
#include "pyglue.hpp"

namespace knobsmith::glue {

// The bytes a str stands for as a file name or program argument (os.fsencode).
inline std::string fs_bytes(py::handle text) {
    return bytes_of(py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(text.ptr())));
}

// Raises the OSError subclass that Python itself would raise for `error` on `path`.
[[noreturn]] inline void raise_os_error(int error, const std::string& path) {
    auto filename = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!filename) {
        throw py::error_already_set();
    }
    py::object exception = py::reinterpret_borrow<py::object>(PyExc_OSError)(error, std::strerror(error), filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

// Runs `argv` to its end (or for `timeout_seconds` at most, when positive: the output is then
// marked timed_out) with the interpreter lock released. A signal whose handler raises (Ctrl-C)
// ends the program's process group and reaps it, then that exception propagates; a program that
// cannot be started raises OSError.
inline core::CommandOutput run_program(const std::vector<std::string>& argv, const std::string* input = nullptr,
                                       double timeout_seconds = 0) {
    try {
        py::gil_scoped_release release;
        return core::run_command(
            argv,
            [] {
                py::gil_scoped_acquire acquire;
                return PyErr_CheckSignals() != 0;
            },
            input, timeout_seconds);
    } catch (const core::CommandInterrupted&) {
        throw py::error_already_set();  // the exception the signal handler raised
    } catch (const std::system_error& error) {
        raise_os_error(error.code().value(), argv.front());
    }
}

// Bytes as text, strictly: UnicodeDecodeError for bytes that are not UTF-8.
inline py::str decode_utf8(std::string_view bytes, const char* errors = nullptr) {
    auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), errors));
    if (!text) {
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::str>(text);
}

}  // namespace knobsmith::glue
