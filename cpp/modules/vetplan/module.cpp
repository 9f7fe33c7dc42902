// The configuration validator: class Vetplan, whose checks answer true or false and log the
// first fault of a tuning configuration as one error line.
#include "knobsmith_core/shell_rule.hpp"
#include "vetplan.hpp"

namespace py = pybind11;
namespace glue = knobsmith::glue;
namespace vetplan = knobsmith::vetplan;

namespace {

// Class attribute names of the configuration keys, in declaration order.
constexpr std::pair<const char*, const char*> kKeyNames[] = {
    {"ITER", "iterations"},
    {"BENCHMARK", "benchmark"},
    {"TIMEOUT", "timeout"},
    {"STARTWORKLOAD", "startworkload"},
    {"STOPWORKLOAD", "stopworkload"},
    {"EVAL", "evaluations"},
    {"NAME", "name"},
    {"INFO", "info"},
    {"GET", "get"},
    {"TARGET", "target"},
    {"TYPE", "type"},
    {"OBJECT", "object"},
    {"SET", "set"},
    {"DESC", "desc"},
    {"NEEDRESTART", "needrestart"},
    {"OPTIONS", "options"},
    {"DTYPE", "dtype"},
    {"SCOPE", "scope"},
    {"STEP", "step"},
    {"ITEMS", "items"},
};

}  // namespace

PYBIND11_MODULE(vetplan, m) {
    m.doc() = "Validation of tuning configurations.";
    glue::adopt_namespace(m);
    m.attr("re") = py::module_::import("re");
    glue::import_into(m, "common.log", "Logger");

    py::object cls =
        glue::new_class("Vetplan", "knobsmith.vetplan",
                        "Checks a loaded tuning configuration field by field and stops at the first fault.");
    for (const auto& [attribute, key_name] : kKeyNames) {
        cls.attr(attribute) = key_name;
    }
    const auto pattern = knobsmith::core::kShellMetacharacterPattern;
    cls.attr("SHELL_METACHARACTERS") = m.attr("re").attr("compile")(py::str(pattern.data(), pattern.size()));
    cls.attr("need_restart") = false;

    vetplan::add_top_level_checks(cls);
    vetplan::add_evaluation_checks(cls);
    vetplan::add_object_checks(cls);
    vetplan::add_shared_checks(cls);
    m.attr("Vetplan") = cls;
    vetplan::remember_installed(cls);
}
