// Recommendation: a recommended tuning configuration for a scene (cpu, io, net, mysql), drawn from
// the parameter database that ships with the package and fitted to this machine.
#include <array>
#include <cstring>

#include "recommend.hpp"

namespace py = pybind11;
namespace glue = knobsmith::glue;
namespace recommend = knobsmith::recommend;

namespace {

// Collaborators only some entries need (a release check, memory, disks), and slow to import: bound
// on first use, by the module's code or by anyone reading them as the module's attributes.
constexpr std::array<const char*, 2> kOnDemand = {"platform", "psutil"};

py::object module_getattr(const py::str& name) {
    const std::string wanted = name;
    for (const char* lazy : kOnDemand) {
        if (wanted == lazy) {
            return recommend::on_demand(lazy);
        }
    }
    throw py::attribute_error("module 'knobsmith.recommend' has no attribute '" + wanted + "'");
}

}  // namespace

namespace knobsmith::recommend {

py::object on_demand(const char* name) {
    py::str key(name);
    PyObject* found = PyDict_GetItemWithError(glue::module_namespace, key.ptr());
    if (found != nullptr) {
        return py::reinterpret_borrow<py::object>(found);
    }
    if (PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    py::object imported = py::module_::import(name);
    if (PyDict_SetItem(glue::module_namespace, key.ptr(), imported.ptr()) != 0) {
        throw py::error_already_set();
    }
    return imported;
}

}  // namespace knobsmith::recommend

PYBIND11_MODULE(recommend, m) {
    // The help texts are the methods' whole docstrings.
    py::options options;
    options.disable_function_signatures();

    m.doc() = "Recommended configurations for a scene.";
    glue::adopt_namespace(m);
    for (const char* name : {"re", "os", "json5"}) {
        m.attr(name) = py::module_::import(name);
    }
    m.def("__getattr__", &module_getattr, py::arg("name"));
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
