// Helpers shared by the extension modules for working on Python objects the way Python code would.
//
// The modules' classes are plain Python classes (made by type(), based on object only) whose
// methods are C++ functions; instance state lives in the instances' __dict__. Collaborators are
// bound in the module's namespace at import and looked up by name on every call, as a Python
// function looks up its globals, so a host or a test can substitute any of them.
#pragma once

#include <pybind11/pybind11.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace knobsmith::glue {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// The module's namespace

// One per extension module (inline variables are unique within each shared object). Both
// dictionaries are kept for the life of the process, like the module itself.
inline PyObject* module_namespace = nullptr;
inline PyObject* builtins_namespace = nullptr;

inline void adopt_namespace(py::module_& module) {
    module_namespace = py::object(module.attr("__dict__")).release().ptr();
    builtins_namespace = py::object(py::module_::import("builtins").attr("__dict__")).release().ptr();
}

// Looks `name` up as code of the module would: the module's namespace first, then builtins.
inline py::object global(const char* name) {
    py::str key(name);
    PyObject* found = PyDict_GetItemWithError(module_namespace, key.ptr());
    if (found == nullptr && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(builtins_namespace, key.ptr());
    }
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        }
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(found);
}

// Binds `attribute` of an imported module into the module's namespace, as "from x import y".
inline void import_into(py::module_& module, const char* from, const char* attribute) {
    module.attr(attribute) = py::module_::import(from).attr(attribute);
}

// ---------------------------------------------------------------------------------------------
// Plain classes with C++ methods

inline py::object new_class(const char* name, const char* module, const char* doc) {
    py::dict body;
    body["__module__"] = module;
    body["__qualname__"] = name;
    body["__doc__"] = doc;
    auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(name, py::tuple(), body);
}

template <typename Func, typename... Extra>
void def_method(py::handle cls, const char* name, Func&& func, const Extra&... extra) {
    cls.attr(name) = py::cpp_function(std::forward<Func>(func), py::name(name), py::is_method(cls), extra...);
}

template <typename Func, typename... Extra>
void def_static(py::handle cls, const char* name, Func&& func, const Extra&... extra) {
    cls.attr(name) =
        py::staticmethod(py::cpp_function(std::forward<Func>(func), py::name(name), py::scope(cls), extra...));
}

namespace detail {

// Runs `body` and answers None, or sets the Python error it raised and answers NULL.
template <typename Body>
PyObject* call_translating(Body&& body) {
    try {
        body();
        Py_RETURN_NONE;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Runs `body` and answers the new reference it made, or sets the Python error it raised and
// answers NULL.
template <typename Body>
PyObject* result_translating(Body&& body) {
    PyObject* result = nullptr;
    PyObject* none = call_translating([&] { result = body().release().ptr(); });
    if (none == nullptr) {
        return nullptr;
    }
    Py_DECREF(none);
    return result;
}

template <py::object (*Body)(py::handle self)>
PyObject* method_trampoline(PyObject* /*unused*/, PyObject* self) {
    return result_translating([self] { return Body(self); });
}

template <void (*Body)(py::handle self)>
PyObject* init_trampoline(PyObject* /*unused*/, PyObject* self) {
    return call_translating([self] { Body(self); });
}

template <void (*Body)(py::handle self, py::handle argument), const char* Name>
PyObject* init_trampoline_1(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"self", Name, nullptr};
    PyObject* self = nullptr;
    PyObject* argument = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char**>(names), &self, &argument)) {
        return nullptr;
    }
    return call_translating([self, argument] { Body(self, argument); });
}

// Sets cls.<def's name> to the raw C function `def` wrapped as an instance method.
inline void set_raw_method(py::handle cls, PyMethodDef& def) {
    auto function = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def, nullptr, nullptr));
    if (!function) {
        throw py::error_already_set();
    }
    auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) {
        throw py::error_already_set();
    }
    cls.attr(def.ml_name) = method;
}

}  // namespace detail

// pybind11 treats every function named __init__ as the constructor of a bound C++ type, so the
// __init__ of a plain class (which takes no argument besides the instance) is a raw C function
// wrapped as an instance method.
template <void (*Body)(py::handle self)>
void def_init(py::handle cls, const char* doc) {
    static PyMethodDef def = {"__init__", &detail::init_trampoline<Body>, METH_O, nullptr};
    def.ml_doc = doc;
    detail::set_raw_method(cls, def);
}

// An __init__ taking one argument besides the instance, named `Name` (a static array).
template <void (*Body)(py::handle self, py::handle argument), const char* Name>
void def_init(py::handle cls, const char* doc) {
    static PyMethodDef def = {
        "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::init_trampoline_1<Body, Name>)),
        METH_VARARGS | METH_KEYWORDS, nullptr};
    def.ml_doc = doc;
    detail::set_raw_method(cls, def);
}

// A method taking only the instance, as a raw C function wrapped as an instance method: a call
// costs a C call, not pybind11's argument dispatch, which would outweigh an accessor's work.
template <py::object (*Body)(py::handle self)>
void def_plain_method(py::handle cls, const char* name, const char* doc) {
    static PyMethodDef def = {nullptr, &detail::method_trampoline<Body>, METH_O, nullptr};
    def.ml_name = name;
    def.ml_doc = doc;
    detail::set_raw_method(cls, def);
}

// A property as Python's property(fget, fset, None, doc) makes it; no setter leaves it read-only.
inline void def_property(py::handle cls, const char* name, const py::cpp_function& getter, const py::object& setter,
                         const char* doc) {
    cls.attr(name) = global("property")(getter, setter, py::none(), doc);
}

// ---------------------------------------------------------------------------------------------
// Python's own answers

inline py::str type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

inline bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

// `item in container`
inline bool contains(py::handle container, py::handle item) {
    const int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

inline bool contains(py::handle container, const char* key) {
    return contains(container, py::str(key));
}

// `a <op> b` for op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE
inline bool compare(py::handle a, py::handle b, int op) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

inline bool compare(py::handle a, long b, int op) {
    return compare(a, py::int_(b), op);
}

inline bool is_str(py::handle value) {
    return PyUnicode_Check(value.ptr()) != 0;
}
inline bool is_exact_str(py::handle value) {
    return PyUnicode_CheckExact(value.ptr()) != 0;
}
// Python's int, booleans included
inline bool is_int(py::handle value) {
    return PyLong_Check(value.ptr()) != 0;
}
inline bool is_float(py::handle value) {
    return PyFloat_Check(value.ptr()) != 0;
}
inline bool is_list(py::handle value) {
    return PyList_Check(value.ptr()) != 0;
}

inline bool is_mapping(py::handle value) {
    if (PyDict_Check(value.ptr())) {
        return true;
    }
    return py::isinstance(value, py::module_::import("collections.abc").attr("Mapping"));
}

// The content of a bytes object made by the caller (NULL when making it failed: the error raised).
inline std::string bytes_of(const py::object& bytes) {
    if (!bytes) {
        throw py::error_already_set();
    }
    return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

// The UTF-8 bytes of a str. Lone surrogates (a YAML escape can produce them) pass through, so
// that a byte-level matcher sees every character.
inline std::string utf8(py::handle text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        return {data, static_cast<std::size_t>(size)};
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    auto bytes = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return bytes_of(bytes);
}

// ---------------------------------------------------------------------------------------------
// Messages

namespace detail {

inline void append_piece(py::list& pieces, const char* text) {
    pieces.append(py::str(text));
}
inline void append_piece(py::list& pieces, std::string_view text) {
    pieces.append(py::str(text.data(), text.size()));
}
// A Python object joins the text by its str(), as "..." + str(x) would.
inline void append_piece(py::list& pieces, py::handle value) {
    pieces.append(py::str(value));
}

}  // namespace detail

// Joins C++ text (UTF-8) and the str() forms of Python objects into one Python str; the
// message stays a Python str throughout, so any value the host holds can be shown.
template <typename... Parts>
py::str concat(const Parts&... parts) {
    py::list pieces;
    (detail::append_piece(pieces, parts), ...);
    return py::str("").attr("join")(pieces);
}

// Writes one finished line through a fresh Logger() of the module's namespace.
inline void log(const char* level, py::handle message) {
    global("Logger")().attr(level)(message);
}

inline void log_error(py::handle message) {
    log("error", message);
}

// The host's TypeError for an argument that is not exactly str, worded as typed Python
// extension code words it.
inline void require_exact_str(py::handle value, const char* argument) {
    if (!is_exact_str(value)) {
        throw py::type_error(std::string("Argument '") + argument + "' has incorrect type (expected str, got " +
                             std::string(py::str(type_name(value))) + ")");
    }
}

}  // namespace knobsmith::glue
