// The recommendation subsystem: parameter items, the database, adaptation to this machine, the
// recommended configuration writer and the manager that runs them.
#pragma once

#include "pyglue.hpp"

namespace knobsmith::recommend {

namespace py = pybind11;

py::object make_params_item_class();
py::object make_paramsdb_class();
py::object make_system_collecter_class();
py::object make_adaptenv_class();
py::object make_recoyamlfile_class();
py::object make_recomd_class();

// A module of the namespace imported on first use (platform, psutil): the module's binding when it
// has one, a substitute included, else the module imported now and bound.
py::object on_demand(const char* name);

// The shell-metacharacter rule as Python code of this module compiles it.
py::object compile_unsafe_chars();

}  // namespace knobsmith::recommend
