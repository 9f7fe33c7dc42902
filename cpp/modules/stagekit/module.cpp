// System parameter access: StageKit reads, backs up and applies parameter values through shell
// commands, and restarts the workload when a parameter needs it.
#include <initializer_list>
#include <utility>

#include "knobsmith_core/shell_rule.hpp"
#include "stagekit.hpp"

namespace py = pybind11;
namespace glue = knobsmith::glue;
namespace stagekit = knobsmith::stagekit;

namespace {

// A TypedDict of this module, so that callers can name the records' shape at run time too.
py::object record_type(const char* name, std::initializer_list<std::pair<const char*, py::object>> fields) {
    py::dict annotations;
    for (const auto& [field, type] : fields) {
        annotations[field] = type;
    }
    py::object record = py::module_::import("typing").attr("TypedDict")(name, annotations);
    record.attr("__module__") = "knobsmith.stagekit";
    return record;
}

}  // namespace

PYBIND11_MODULE(stagekit, m) {
    m.doc() = "Reading, backing up and applying parameter values.";
    glue::adopt_namespace(m);
    m.attr("re") = py::module_::import("re");
    glue::import_into(m, "common.log", "Logger");
    glue::import_into(m, "knobsmith.loadplan", "Cfg");

    py::object cls = glue::new_class("StageKit", "knobsmith.stagekit",
                                     "Reads, backs up and applies the tuned parameters on this machine.");
    cls.attr("BASH") = "/bin/sh";
    // Seconds a command may run before its process group is ended and it counts as failed; None:
    // no limit.
    cls.attr("COMMAND_TIMEOUT") = py::none();
    const auto pattern = knobsmith::core::kShellMetacharacterPattern;
    cls.attr("_UNSAFE_CHARS") = m.attr("re").attr("compile")(py::str(pattern.data(), pattern.size()));
    stagekit::add_reading(cls);
    stagekit::add_applying(cls);
    m.attr("StageKit") = cls;

    const py::object str = glue::global("str");
    const py::object boolean = glue::global("bool");
    const py::object optional_int = glue::global("int") | py::none();
    const py::object optional_str = str | py::none();
    m.attr("Applied") = record_type("Applied", {{"name", str},
                                                {"value", glue::global("object")},
                                                {"command", str},
                                                {"refused", boolean},
                                                {"status", optional_int},
                                                {"timed_out", boolean},
                                                {"output", str},
                                                {"error", str},
                                                {"needrestart", boolean}});
    m.attr("Reading") = record_type("Reading", {{"command", str},
                                                {"refused", boolean},
                                                {"status", optional_int},
                                                {"timed_out", boolean},
                                                {"value", optional_str},
                                                {"error", str}});

    stagekit::register_error_translation();
}
