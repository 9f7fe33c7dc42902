// The configuration reader Cfg: loading (init) and the accessors.
#pragma once

#include "pyglue.hpp"

namespace knobsmith::loadplan {

namespace py = pybind11;

// The skeleton the reader holds before a file is loaded: something to read, not a valid file.
py::dict default_skeleton();

bool init(py::object self, py::object config_file);

// Keeps the collaborators the module installed, for init to tell whether any was substituted.
void remember_installed();

void add_accessors(py::handle cls);

}  // namespace knobsmith::loadplan
