// Text handling: read a str's code points in place and slice by code-point index, as the host
// does; join str pieces in one pass so any value (non-ASCII, lone surrogates) is carried exactly.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace hostkit {
namespace py = pybind11;

class CodePoints {
public:
    explicit CodePoints(py::handle s) : obj_(s.ptr()) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(obj_) < 0) throw py::error_already_set();
#endif
        kind_ = PyUnicode_KIND(obj_);
        data_ = PyUnicode_DATA(obj_);
        size_ = PyUnicode_GET_LENGTH(obj_);
    }
    Py_ssize_t size() const { return size_; }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }
    // Code points [start, end) as a new str.
    py::str slice(Py_ssize_t start, Py_ssize_t end) const {
        return py::reinterpret_steal<py::str>(PyUnicode_Substring(obj_, start, end));
    }
    Py_ssize_t find(Py_UCS4 c, Py_ssize_t from = 0) const {
        for (Py_ssize_t i = from; i < size_; ++i)
            if ((*this)[i] == c) return i;
        return -1;
    }

private:
    PyObject* obj_;
    int kind_ = 0;
    const void* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

// "".join(pieces) for a fixed list of str handles.
inline py::str join(const std::vector<py::handle>& pieces) {
    py::list parts(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) parts[i] = pieces[i];
    auto joined = PyUnicode_Join(py::str("").ptr(), parts.ptr());
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(joined);
}

// str(obj), the host's ordinary string form.
inline py::str text_of(py::handle obj) { return py::str(obj); }

}  // namespace hostkit
