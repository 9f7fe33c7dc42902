// Recomd: from a scene name to a recommended configuration file.
#include "recommend.hpp"

namespace knobsmith::recommend {

namespace {

void recomd_init(py::handle self) {
    self.attr("json_file") = "";
}

bool manager(py::object /*self*/, py::object scene) {
    py::object json_path = glue::global("Config")().attr("get_inst_path")();
    py::object json_file_extu = json_path + py::str("/knobsmith/") + py::str("paramsdb.json5.extu");
    py::object file = glue::global("SetScript")().attr("de_file")(json_file_extu);
    py::object db = glue::global("Paramsdb")();
    if (!glue::truthy(db.attr("loaddb")(file))) {
        glue::log_error(glue::concat("加载", file, "失败"));
        return false;
    }
    py::object scene_list = db.attr("selectparams")(scene);
    if (!glue::truthy(scene_list)) {
        return false;
    }
    py::object adapt_scene_list = glue::global("Adaptenv")().attr("handle")(scene_list);
    return glue::truthy(glue::global("Recoyamlfile")().attr("writefile")(adapt_scene_list));
}

}  // namespace

py::object make_recomd_class() {
    py::object cls = glue::new_class("Recomd", "knobsmith.recommend",
                                     "Writes the recommended configuration of a scene for this machine.");
    glue::def_init<&recomd_init>(cls, "No database file chosen yet.");
    glue::def_method(cls, "manager", &manager, py::arg("scene"),
                     "Load the database, select the scene's entries, adapt them and write config.yaml.");
    return cls;
}

}  // namespace knobsmith::recommend
