// System parameter access: StageKit reads, backs up and applies parameter values through shell
// commands, and restarts the workload when a parameter needs it.
#include "knobsmith_core/shell_rule.hpp"
#include "stagekit.hpp"

namespace py = pybind11;
namespace glue = knobsmith::glue;
namespace stagekit = knobsmith::stagekit;

PYBIND11_MODULE(stagekit, m) {
    m.doc() = "Reading, backing up and applying parameter values.";
    glue::adopt_namespace(m);
    m.attr("re") = py::module_::import("re");
    glue::import_into(m, "common.log", "Logger");
    glue::import_into(m, "knobsmith.loadplan", "Cfg");

    py::object cls = glue::new_class("StageKit", "knobsmith.stagekit",
                                     "Reads, backs up and applies the tuned parameters on this machine.");
    cls.attr("BASH") = "/bin/sh";
    const auto pattern = knobsmith::core::kShellMetacharacterPattern;
    cls.attr("_UNSAFE_CHARS") = m.attr("re").attr("compile")(py::str(pattern.data(), pattern.size()));
    stagekit::add_reading(cls);
    stagekit::add_applying(cls);
    m.attr("StageKit") = cls;

    stagekit::register_error_translation();
}
