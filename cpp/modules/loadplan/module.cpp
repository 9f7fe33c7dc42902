// The configuration reader: the process-wide Cfg that loads a tuning configuration, has it
// validated and answers every question about it.
#include "cfg.hpp"

namespace py = pybind11;
namespace glue = knobsmith::glue;
namespace loadplan = knobsmith::loadplan;

namespace {

void cfg_init(py::handle self) {
    self.attr("yml") = loadplan::default_skeleton();
    self.attr("project") = "";
}

}  // namespace

PYBIND11_MODULE(loadplan, m) {
    m.doc() = "Loading of tuning configurations.";
    glue::adopt_namespace(m);
    m.attr("yaml") = py::module_::import("yaml");
    py::module_::import("yaml.scanner");
    glue::import_into(m, "common.log", "Logger");
    glue::import_into(m, "common.decorator_wrap", "DecoratorWrap");
    glue::import_into(m, "common.tool_cmd", "ToolCmd");
    glue::import_into(m, "knobsmith.yaml_bounds", "bounded_loader");
    glue::import_into(m, "knobsmith.yaml_bounds", "NestingError");
    glue::import_into(m, "knobsmith.vetplan", "Vetplan");
    glue::import_into(m, "knobsmith.lapclock", "Timer");
    loadplan::remember_installed();

    py::object cls = glue::new_class("Cfg", "knobsmith.loadplan",
                                     "The tuning configuration of the process: loaded once, read by everyone.");
    glue::def_init<&cfg_init>(cls, "Hold the default skeleton and no project name.");
    glue::def_method(cls, "init", &loadplan::init, py::arg("config_file"),
                     "Load, parse and validate a tuning configuration file; answer whether it may be used.");
    loadplan::add_accessors(cls);

    m.attr("Cfg") = glue::global("DecoratorWrap").attr("singleton")(cls);
}
