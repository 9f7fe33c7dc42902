// Running a command for StageKit, and the core's errors as Python exceptions.
#include <cstring>

#include "knobsmith_core/atomic_file.hpp"
#include "knobsmith_core/backup_file.hpp"
#include "knobsmith_core/shell_rule.hpp"
#include "stagekit.hpp"

namespace knobsmith::stagekit {

namespace {

// The bytes a str stands for as a file name or argument (os.fsencode).
std::string fs_bytes(py::handle text) {
    auto bytes = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(text.ptr()));
    if (!bytes) {
        throw py::error_already_set();
    }
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

[[noreturn]] void raise_os_error(int error, const std::string& path) {
    auto filename = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!filename) {
        throw py::error_already_set();
    }
    py::object exception = py::reinterpret_borrow<py::object>(PyExc_OSError)(error, std::strerror(error), filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

}  // namespace

bool command_refused(py::handle command) {
    if (!glue::is_str(command)) {
        throw py::type_error("expected string or bytes-like object, got '" + std::string(py::str(glue::type_name(command))) + "'");
    }
    const std::string text = glue::utf8(command);
    return core::has_shell_metacharacter(text) || text.find('\0') != std::string::npos;
}

core::CommandOutput run_shell(py::handle command) {
    py::object shell = glue::global("StageKit").attr("BASH");
    const std::vector<std::string> argv{fs_bytes(shell), "-c", fs_bytes(command)};
    try {
        py::gil_scoped_release release;
        return core::run_command(argv, [] {
            py::gil_scoped_acquire acquire;
            return PyErr_CheckSignals() != 0;
        });
    } catch (const core::CommandInterrupted&) {
        throw py::error_already_set();  // the exception the signal handler raised
    } catch (const std::system_error& error) {
        raise_os_error(error.code().value(), argv[0]);
    }
}

py::object decode_strict(std::string_view bytes) {
    auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    }
    return text;
}

py::str decode_replacing(std::string_view bytes) {
    auto text = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
    if (!text) {
        throw py::error_already_set();
    }
    return text;
}

void register_error_translation() {
    py::register_local_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) {
                std::rethrow_exception(pointer);
            }
        } catch (const core::FileError& error) {
            try {
                raise_os_error(error.code().value(), error.path());
            } catch (py::error_already_set& raised) {
                raised.restore();
            }
        } catch (const core::BackupNameError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        }
    });
}

}  // namespace knobsmith::stagekit
