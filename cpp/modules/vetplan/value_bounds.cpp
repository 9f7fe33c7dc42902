// What keeps the checks finite on any value: the nesting bound, and values shown at bounded length.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "vetplan.hpp"

namespace knobsmith::vetplan {

namespace {

bool is_container(py::handle value) {
    return PyDict_Check(value.ptr()) || PyList_Check(value.ptr()) || PyTuple_Check(value.ptr());
}

// Depth-first walk of a value's containers, each container's height worked out once however
// many places hold it, so shared values cost their size and not their expansion.
class NestingWalk {
public:
    // The height of `value` (0 for a scalar) with `depth` containers above it; -1 once a container
    // sits more than kMaxNesting levels down, and path() then leads to it.
    int height(py::handle value, int depth) {
        if (!is_container(value)) {
            return 0;
        }
        if (depth + 1 > kMaxNesting) {
            return -1;
        }
        if (auto known = heights_.find(value.ptr()); known != heights_.end()) {
            return depth + known->second > kMaxNesting ? -1 : known->second;
        }
        int below = 0;
        // The step is kept as the key or index itself and written out only for the message.
        auto visit = [&](py::handle step, bool is_key, py::handle child) {
            path_.emplace_back(py::reinterpret_borrow<py::object>(step), is_key);
            const int child_height = height(child, depth + 1);
            if (child_height < 0) {
                return false;
            }
            path_.pop_back();
            below = std::max(below, child_height);
            return true;
        };
        if (PyDict_Check(value.ptr())) {
            // A snapshot of the items, so the walk holds what it visits.
            auto items = py::reinterpret_steal<py::list>(PyDict_Items(value.ptr()));
            if (!items) {
                throw py::error_already_set();
            }
            for (py::handle item : items) {
                if (!visit(PyTuple_GET_ITEM(item.ptr(), 0), true, PyTuple_GET_ITEM(item.ptr(), 1))) {
                    return -1;
                }
            }
        } else {
            auto items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(value.ptr()));
            if (!items) {
                throw py::error_already_set();
            }
            const Py_ssize_t size = PyTuple_GET_SIZE(items.ptr());
            for (Py_ssize_t index = 0; index < size; ++index) {
                if (!visit(py::int_(index), false, PyTuple_GET_ITEM(items.ptr(), index))) {
                    return -1;
                }
            }
        }
        heights_[value.ptr()] = below + 1;
        return below + 1;
    }

    py::str path() const {
        py::list pieces;
        for (const auto& [step, is_key] : path_) {
            if (is_key) {
                pieces.append(glue::concat(pieces.empty() ? "" : ".", shown(step)));
            } else {
                pieces.append(glue::concat("[", step, "]"));
            }
        }
        return shown(py::str("").attr("join")(pieces));
    }

private:
    std::unordered_map<PyObject*, int> heights_;
    std::vector<std::pair<py::object, bool>> path_;
};

// str(value) as the messages always had it; an integer too long for str() is named by its size.
py::str scalar_text(py::handle value) {
    try {
        return py::str(value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) || !PyLong_Check(value.ptr())) {
            throw;
        }
        return glue::concat("<", glue::type_name(value), " of ", value.attr("bit_length")(), " bits>");
    }
}

// Appends as much of `text` as `budget` characters allow; answers whether room is left.
bool take(py::list& pieces, py::str text, Py_ssize_t& budget) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const Py_ssize_t taken = std::min(length, budget);
    pieces.append(taken == length ? text : py::str(text[py::slice(0, taken, 1)]));
    budget -= taken;
    return budget > 0;
}

// repr(value) for the first `budget` characters (and one more, to tell that it went on), never
// forming the whole text of a big value.
bool bounded_repr(py::list& pieces, py::handle value, Py_ssize_t& budget, int depth) {
    if (depth > kMaxNesting) {
        budget = 0;  // shown as cut short
    }
    if (budget <= 0) {
        return false;
    }
    if (PyUnicode_Check(value.ptr())) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
        py::str text = length > budget ? py::str(value[py::slice(0, budget, 1)]) : py::str(value);
        return take(pieces, py::repr(text), budget);
    }
    const bool is_list = PyList_Check(value.ptr());
    const bool is_tuple = PyTuple_Check(value.ptr());
    if (PyDict_Check(value.ptr())) {
        if (!take(pieces, py::str("{"), budget)) {
            return false;
        }
        bool first = true;
        for (auto [item_key, item] : py::reinterpret_borrow<py::dict>(value)) {
            if ((!first && !take(pieces, py::str(", "), budget)) ||
                !bounded_repr(pieces, item_key, budget, depth + 1) || !take(pieces, py::str(": "), budget) ||
                !bounded_repr(pieces, item, budget, depth + 1)) {
                return false;
            }
            first = false;
        }
        return take(pieces, py::str("}"), budget);
    }
    if (is_list || is_tuple) {
        auto items = py::reinterpret_borrow<py::sequence>(value);
        if (!take(pieces, py::str(is_list ? "[" : "("), budget)) {
            return false;
        }
        const std::size_t size = py::len(items);
        for (std::size_t index = 0; index < size && index < py::len(items); ++index) {
            if ((index > 0 && !take(pieces, py::str(", "), budget)) ||
                !bounded_repr(pieces, items[index], budget, depth + 1)) {
                return false;
            }
        }
        if (is_tuple && size == 1 && !take(pieces, py::str(","), budget)) {
            return false;
        }
        return take(pieces, py::str(is_list ? "]" : ")"), budget);
    }
    return take(pieces, PyLong_Check(value.ptr()) ? scalar_text(value) : py::str(py::repr(value)), budget);
}

}  // namespace

py::str shown(py::handle value) {
    py::list pieces;
    // One character more than is shown tells a text that goes on from one that just fits.
    Py_ssize_t budget = kShownLength + 1;
    if (is_container(value)) {
        bounded_repr(pieces, value, budget, 0);
    } else if (PyUnicode_Check(value.ptr())) {
        take(pieces, py::str(value[py::slice(0, budget, 1)]), budget);
    } else {
        take(pieces, scalar_text(value), budget);
    }
    py::str text = py::str("").attr("join")(pieces);
    if (budget > 0) {
        return text;
    }
    return glue::concat(py::str(text[py::slice(0, kShownLength, 1)]), "...");
}

bool within_nesting_bound(py::handle value) {
    NestingWalk walk;
    if (walk.height(value, 0) >= 0) {
        return true;
    }
    return reject(glue::concat(walk.path(), "嵌套超过", py::int_(kMaxNesting), "层"));
}

}  // namespace knobsmith::vetplan
