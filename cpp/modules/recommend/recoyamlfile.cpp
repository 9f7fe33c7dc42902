// Recoyamlfile: writes the recommended tuning configuration, config.yaml.
#include <string>

#include "knobsmith_core/text.hpp"
#include "recommend.hpp"

namespace knobsmith::recommend {

namespace {

constexpr const char* kHeader[] = {
    "iterations: 5 #填写迭代次数\n",
    "timeout: #填写调优时长，选填\n",
    "benchmark: \"\" #填写\n",
    "startworkload: \"\" #填写\n",
    "stopworkload: \"\" #填写\n",
    "\n",
    "evaluations:\n",
    "- \n",
};

void recoyamlfile_init(py::handle self) {
    self.attr("b4") = "    ";
    self.attr("b2") = "  ";
}

// A field as it stands between double quotes: escaped where YAML needs it, so that the file reads
// back as exactly the item's text. Only a str can be joined to the line.
py::str quoted(py::handle value) {
    if (!glue::is_str(value)) {
        throw py::type_error("can only concatenate str (not \"" + std::string(py::str(glue::type_name(value))) +
                             "\") to str");
    }
    const std::string body = core::yaml_double_quoted_body(glue::utf8(value));
    return {body.data(), body.size()};
}

class Lines {
public:
    explicit Lines(py::object file) : file_(std::move(file)) {}
    template <typename... Parts>
    void write(const Parts&... parts) {
        file_.attr("write")(glue::concat(parts...));
    }

private:
    py::object file_;
};

void write_scope(py::object self, py::object file, py::object item) {
    py::object b4 = self.attr("b4");
    Lines out(file);
    py::object scope = item.attr("scope");
    out.write(b4, "scope:\n");
    out.write(b4, "- ", py::object(scope[py::int_(0)]), "\n");
    out.write(b4, "- ", py::object(scope[py::int_(1)]), "\n");
    out.write(b4, "items: ", item.attr("items"), "\n");
}

bool is(py::handle value, const char* word) {
    return glue::compare(value, py::str(word), Py_EQ);
}

void write_item(py::object self, py::object file, py::object item, py::handle b4, py::handle b2) {
    Lines out(file);
    out.write("- \n");
    out.write(b2, "name: \"", quoted(item.attr("name")), "\"\n");
    out.write(b2, "info:\n");
    for (const char* field : {"desc", "get", "set", "needrestart", "type"}) {
        out.write(b4, field, ": \"", quoted(item.attr(field)), "\"\n");
    }
    if (is(item.attr("type"), "discrete") && is(item.attr("dtype"), "string")) {
        out.write(b4, "options:\n");
        for (py::handle option : item.attr("options")) {
            out.write(b4, "- \"", quoted(option), "\"\n");
        }
    }
    if (is(item.attr("type"), "discrete") && (is(item.attr("dtype"), "int") || is(item.attr("dtype"), "float"))) {
        self.attr("_Recoyamlfile__write_scope")(file, item);
        out.write(b4, "step: ", item.attr("step"), "\n");
    }
    if (is(item.attr("type"), "continuous")) {
        self.attr("_Recoyamlfile__write_scope")(file, item);
    }
    out.write(b4, "dtype: \"", quoted(item.attr("dtype")), "\"\n");
}

void write_all(py::object self, py::object file, py::object items, py::handle b4, py::handle b2, py::object& current) {
    Lines out(file);
    for (const char* line : kHeader) {
        out.write(line);
    }
    out.write(b2, "name: \"\" #填写\n");
    out.write(b2, "info:\n");
    out.write(b4, "get: \"\" #填写\n");
    out.write(b4, "type: \"\" #填写\n");
    out.write(b4, "target: \"\" #选填\n");
    out.write("\n");
    out.write("object:\n");
    for (py::handle item : items) {
        current = py::reinterpret_borrow<py::object>(item);
        write_item(self, file, current, b4, b2);
    }
}

bool writefile(py::object self, py::object adapt_scene_list) {
    py::object dir_path = glue::global("Config")().attr("get_output_path")();
    py::str file_name("config.yaml");
    py::object b4 = self.attr("b4");
    py::object b2 = self.attr("b2");
    py::object current = py::none();  // the item being written, named when it fails
    try {
        py::object dir_fd = glue::global("open_trusted_dir")(dir_path);
        py::object fd;
        try {
            fd = glue::global("open_write_file")(dir_fd, file_name, py::arg("mode") = 384);
        } catch (...) {
            glue::global("os").attr("close")(dir_fd);
            throw;
        }
        glue::global("os").attr("close")(dir_fd);
        py::object file = glue::global("open")(fd, "w", py::arg("encoding") = "utf-8");
        try {
            write_all(self, file, adapt_scene_list, b4, b2, current);
        } catch (...) {
            file.attr("close")();  // what was written so far stays
            throw;
        }
        file.attr("close")();
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_OSError)) {
            glue::log_error(py::str("write file error."));
            return false;
        }
        if (error.matches(PyExc_IndexError)) {
            glue::log_error(glue::concat("write item failed: ", current.attr("name")));
            glue::global("Logger")().attr("debug")("write item failed, error item:", current);
            return false;
        }
        throw;
    }
    py::object outfile = dir_path + file_name;
    glue::log("info", glue::concat("推荐报告输出路径: ", outfile));
    return true;
}

}  // namespace

py::object make_recoyamlfile_class() {
    py::object cls = glue::new_class("Recoyamlfile", "knobsmith.recommend",
                                     "Writes the recommended tuning configuration, config.yaml.");
    glue::def_init<&recoyamlfile_init>(cls, "Set the two indentations, b4 and b2.");
    glue::def_method(cls, "writefile", &writefile, py::arg("adapt_scene_list"),
                     "Write config.yaml in the output folder: the header to fill in, then every item.");
    // A private method: Python stores it under its mangled name.
    cls.attr("_Recoyamlfile__write_scope") =
        py::cpp_function(&write_scope, py::name("__write_scope"), py::is_method(cls), py::arg("file"), py::arg("item"));
    return cls;
}

}  // namespace knobsmith::recommend
