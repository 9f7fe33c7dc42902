// Recommendation: a recommended tuning configuration for a scene (cpu, io, net, mysql), drawn from
// the parameter database that ships with the package and fitted to this machine.
#include "recommend.hpp"

namespace py = pybind11;
namespace glue = knobsmith::glue;
namespace recommend = knobsmith::recommend;

PYBIND11_MODULE(recommend, m) {
    // The help texts are the methods' whole docstrings.
    py::options options;
    options.disable_function_signatures();

    m.doc() = "Recommended configurations for a scene.";
    glue::adopt_namespace(m);
    for (const char* name : {"re", "os", "platform", "json5", "psutil"}) {
        m.attr(name) = py::module_::import(name);
    }
    glue::import_into(m, "common.log", "Logger");
    glue::import_into(m, "common.decorator_wrap", "DecoratorWrap");
    glue::import_into(m, "common.config", "Config");
    glue::import_into(m, "common.file", "open_trusted_dir");
    glue::import_into(m, "common.file", "open_write_file");
    glue::import_into(m, "set_config.set_script", "SetScript");

    m.attr("ParamsItem") = recommend::make_params_item_class();
    m.attr("Paramsdb") = recommend::make_paramsdb_class();
    m.attr("SystemCollecter") = recommend::make_system_collecter_class();
    m.attr("Adaptenv") = recommend::make_adaptenv_class();
    m.attr("Recoyamlfile") = recommend::make_recoyamlfile_class();
    m.attr("Recomd") = recommend::make_recomd_class();
}
