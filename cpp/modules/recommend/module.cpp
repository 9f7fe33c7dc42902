// Placeholder until the module's classes are built: it imports cleanly and defines nothing.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(recommend, m) { m.doc() = "Not built yet."; }
