// Paramsdb: the parameter database, parsed from JSON5 text, and the entries of one scene.
#include "knobsmith_core/shell_rule.hpp"
#include "recommend.hpp"

namespace knobsmith::recommend {

namespace {

// Scene name and the letter that marks its entries' identifiers.
constexpr std::pair<const char*, const char*> kSceneLetters[] = {
    {"cpu", "C"}, {"mysql", "M"}, {"io", "I"}, {"net", "N"}};

// The json5 module and its loads as the module installed them, and the compiled parser (None when
// it is not installed): owned for the life of the process, like the module.
struct Installed {
    PyObject* json5 = nullptr;
    PyObject* loads = nullptr;
    PyObject* compiled_loads = nullptr;
};
Installed installed;

// An escape the two parsers read differently: "\0" before a digit (json5 refuses it) and an
// escaped surrogate (json5 keeps the halves apart, the compiled parser joins a pair). `next`,
// `third` and `fourth` are the characters after the backslash.
bool escape_read_otherwise(Py_UCS4 next, Py_UCS4 third, Py_UCS4 fourth) {
    if (next == '0') {
        return third >= '0' && third <= '9';
    }
    const bool high_hex =
        (fourth >= '8' && fourth <= '9') || (fourth >= 'a' && fourth <= 'f') || (fourth >= 'A' && fourth <= 'F');
    return next == 'u' && (third == 'd' || third == 'D') && high_hex;
}

// Whether `text` holds what the compiled parser reads otherwise than json5: an escape above, or a
// number with an underscore ("1_0") or a bare fraction before its exponent (".e3"), which the
// compiled parser takes and json5 refuses. Strings and comments are skipped as JSON5 reads them;
// a doubt answers true, which costs only time.
bool read_otherwise(py::handle text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    const auto at = [&](Py_ssize_t index) -> Py_UCS4 { return index < length ? PyUnicode_READ(kind, data, index) : 0; };
    enum class Token : unsigned char { none, number, word } token = Token::none;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = at(i);
        if (ch == '\\') {  // an escape in a name
            if (escape_read_otherwise(at(i + 1), at(i + 2), at(i + 3))) {
                return true;
            }
            token = Token::word;
            continue;
        }
        if (ch == '\'' || ch == '"') {
            for (++i; i < length && at(i) != ch; ++i) {
                if (at(i) == '\\') {
                    if (escape_read_otherwise(at(i + 1), at(i + 2), at(i + 3))) {
                        return true;
                    }
                    ++i;
                }
            }
            token = Token::none;
            continue;
        }
        if (ch == '/' && at(i + 1) == '/') {
            while (i < length && at(i) != '\n' && at(i) != '\r' && at(i) != 0x2028 && at(i) != 0x2029) {
                ++i;
            }
            token = Token::none;
            continue;
        }
        if (ch == '/' && at(i + 1) == '*') {
            for (i += 2; i < length && (at(i) != '*' || at(i + 1) != '/'); ++i) {
            }
            ++i;
            token = Token::none;
            continue;
        }
        // Any character beyond ASCII ends a token: some are blanks to JSON5.
        const bool separator =
            ch <= ' ' || ch >= 0x7f || ch == '{' || ch == '}' || ch == '[' || ch == ']' || ch == ',' || ch == ':';
        if (separator) {
            token = Token::none;
        } else if (token == Token::none) {
            const bool starts_number = (ch >= '0' && ch <= '9') || ch == '.' || ch == '+' || ch == '-';
            token = starts_number ? Token::number : Token::word;
        }
        if (token == Token::number && (ch == '_' || (ch == '.' && (at(i + 1) == 'e' || at(i + 1) == 'E')))) {
            return true;
        }
    }
    return false;
}

// The database's value, as the module's json5.loads gives it. The compiled parser reads it where
// nothing was substituted and the text holds nothing the two read differently; a text it refuses
// is read again by json5, whose errors are the ones callers know.
py::object parse(const py::object& file) {
    py::object json5 = glue::global("json5");
    if (installed.compiled_loads != Py_None && json5.ptr() == installed.json5 &&
        json5.attr("loads").ptr() == installed.loads && PyUnicode_CheckExact(file.ptr()) && !read_otherwise(file)) {
        try {
            return py::handle(installed.compiled_loads)(file);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
        }
    }
    return json5.attr("loads")(file);
}

void paramsdb_init(py::handle self) {
    self.attr("dataset") = py::dict();
}

bool loaddb(py::object self, py::object file) {
    py::object dataset = parse(file);
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

namespace {

void remember_installed() {
    const auto keep = [](py::object value) { return value.release().ptr(); };
    py::object json5 = glue::global("json5");
    installed.json5 = keep(json5);
    installed.loads = keep(json5.attr("loads"));
    try {
        installed.compiled_loads = keep(py::module_::import("pyjson5").attr("loads"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        installed.compiled_loads = keep(py::none());
    }
}

}  // namespace

py::object make_paramsdb_class() {
    remember_installed();
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
