// The run timer: a process-wide stopwatch of labelled ticks and the benchmark's duration.
#include "pyglue.hpp"

namespace py = pybind11;
namespace glue = knobsmith::glue;

namespace {

py::object builtin_round(py::handle number) {
    return glue::global("round")(number);
}

void timer_init(py::handle self) {
    self.attr("p_time") = py::list();
    self.attr("max_runtime") = 100;
    self.attr("benchmark_time") = 0.0;
}

void tick(py::object self, py::object desc) {
    glue::require_exact_str(desc, "desc");
    py::object now = glue::global("time").attr("perf_counter")();
    py::list entry;
    entry.append(desc);
    entry.append(now);
    self.attr("p_time").attr("append")(entry);
}

py::object total_runtime(py::object self, py::object desc) {
    glue::require_exact_str(desc, "desc");
    self.attr("tick")(desc);
    py::object ticks = self.attr("p_time");
    if (py::len(ticks) > 1) {
        // Always from the very first tick of the process to the one just taken.
        py::object current = ticks[py::int_(-1)][py::int_(1)];
        py::object start = ticks[py::int_(0)][py::int_(1)];
        py::object total = builtin_round(current - start);
        py::object hms = self.attr("_Timer__to_hms")(total);
        glue::global("print")(glue::concat("total runtime: ", hms, " \n"));
        return total;
    }
    glue::log_error(py::str(" time error"));
    return py::none();
}

void get_tick_list(py::object self) {
    glue::global("print")(self.attr("p_time"));
}

void set_benchmark_time(py::object self, py::object time) {
    self.attr("benchmark_time") = glue::global("round")(time, 1);
}

py::str to_hms(py::object /*self*/, py::object seconds) {
    py::object sixty = py::int_(60);
    py::tuple minutes_seconds = glue::global("divmod")(seconds, sixty);
    py::tuple hours_minutes = glue::global("divmod")(minutes_seconds[0], sixty);
    py::object hours = hours_minutes[0];
    py::object minutes = hours_minutes[1];
    py::object rest = minutes_seconds[1];
    if (glue::compare(hours, 0, Py_NE)) {
        return glue::concat(hours, " h ", minutes, " min ", rest, " s");
    }
    if (glue::compare(minutes, 0, Py_NE)) {
        return glue::concat(minutes, " min ", rest, " s");
    }
    return glue::concat(seconds, " s");
}

}  // namespace

PYBIND11_MODULE(lapclock, m) {
    m.doc() = "The run timer.";
    glue::adopt_namespace(m);
    m.attr("time") = py::module_::import("time");
    glue::import_into(m, "common.decorator_wrap", "DecoratorWrap");
    glue::import_into(m, "common.log", "Logger");

    py::object cls = glue::new_class("Timer", "knobsmith.lapclock",
                                     "Process-wide stopwatch: labelled ticks, elapsed time and benchmark duration.");
    glue::def_init<&timer_init>(cls, "Start with no ticks, max_runtime 100 and benchmark_time 0.0.");
    glue::def_method(cls, "tick", &tick, py::arg("desc"), "Record a tick labelled `desc` at the current time.");
    glue::def_method(cls, "total_runtime", &total_runtime, py::arg("desc"),
                     "Tick, print the time since the first tick and return it in whole seconds.");
    glue::def_method(cls, "get_tick_list", &get_tick_list, "Print the ticks.");
    glue::def_method(cls, "set_benchmark_time", &set_benchmark_time, py::arg("time"),
                     "Store one benchmark run's duration, rounded to a tenth of a second.");
    // A private method: Python stores it under its mangled name.
    cls.attr("_Timer__to_hms") =
        py::cpp_function(&to_hms, py::name("__to_hms"), py::is_method(cls), py::arg("seconds"));

    m.attr("Timer") = glue::global("DecoratorWrap").attr("singleton")(cls);
}
