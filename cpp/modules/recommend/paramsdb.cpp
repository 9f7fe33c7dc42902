// Paramsdb: the parameter database, parsed from JSON5 text, and the entries of one scene.
#include "knobsmith_core/shell_rule.hpp"
#include "recommend.hpp"

namespace knobsmith::recommend {

namespace {

// Scene name and the letter that marks its entries' identifiers.
constexpr std::pair<const char*, const char*> kSceneLetters[] = {
    {"cpu", "C"}, {"mysql", "M"}, {"io", "I"}, {"net", "N"}};

void paramsdb_init(py::handle self) {
    self.attr("dataset") = py::dict();
}

bool loaddb(py::object self, py::object file) {
    py::object dataset = glue::global("json5").attr("loads")(file);
    self.attr("dataset") = dataset;
    if (!glue::is_mapping(dataset)) {
        glue::log_error(glue::concat("paramsdb 顶层应为字典，当前类型: ", glue::type_name(dataset)));
        return false;
    }
    py::object items = dataset.attr("items")();
    for (py::handle pair : items) {
        py::object key = pair[py::int_(0)];
        py::object value = pair[py::int_(1)];
        if (glue::is_str(value) && core::has_shell_metacharacter(glue::utf8(value))) {
            glue::log_error(glue::concat("paramsdb 条目包含非法 shell 元字符: ", key));
            return false;
        }
    }
    return glue::truthy(dataset);
}

py::list selectparams(py::object self, py::object scene) {
    py::list selected;
    py::dict scene_indexnumber;
    for (const auto& [name, letter] : kSceneLetters) {
        scene_indexnumber[name] = letter;
    }
    if (!glue::contains(scene_indexnumber, scene)) {
        glue::log_error(glue::concat("Cannot parse scene [", scene,
                                     "]. \n Select one from support scene lists: [cpu io net mysql]"));
        return selected;
    }
    py::object letter = scene_indexnumber[scene];
    py::object dataset = self.attr("dataset");
    for (py::handle key : dataset) {
        if (glue::contains(key, letter)) {
            py::object entry = dataset[key];
            selected.append(glue::global("ParamsItem")(entry));
        }
    }
    return selected;
}

}  // namespace

py::object compile_unsafe_chars() {
    const auto pattern = core::kShellMetacharacterPattern;
    return glue::global("re").attr("compile")(py::str(pattern.data(), pattern.size()));
}

py::object make_paramsdb_class() {
    py::object cls = glue::new_class("Paramsdb", "knobsmith.recommend", "The parameter database and its scenes.");
    cls.attr("_UNSAFE_CHARS") = compile_unsafe_chars();
    glue::def_init<&paramsdb_init>(cls, "Start with an empty dataset.");
    glue::def_method(cls, "loaddb", &loaddb, py::arg("file"),
                     "Parse the database's JSON5 text and screen it; answer whether it holds entries.");
    glue::def_method(cls, "selectparams", &selectparams, py::arg("scene"),
                     "The entries of a scene (cpu, io, net, mysql) as ParamsItem objects, in database order.");
    return cls;
}

}  // namespace knobsmith::recommend
