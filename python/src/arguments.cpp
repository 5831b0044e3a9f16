#include "arguments.h"

#include <cstring>

#include "text.h"

namespace glyphary::python {

std::optional<std::filesystem::path> ModulePath(py::handle path) {
    if (path.is_none()) return std::nullopt;
    PyObject* encoded = nullptr;  // str and os.PathLike to the file system's bytes
    if (!PyUnicode_FSConverter(path.ptr(), &encoded)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
        PyErr_Clear();  // Python's own words say "byte" of a str
        throw py::value_error("embedded null character");
    }
    const py::bytes bytes = py::reinterpret_steal<py::bytes>(encoded);
    const std::string_view name(PyBytes_AS_STRING(encoded),
                                static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
    if (name.find('\0') != std::string_view::npos) throw py::value_error("embedded null character");
    return std::filesystem::path(std::string(name));
}

std::u16string TextUnits(py::handle text, const char* what) {
    if (!PyUnicode_Check(text.ptr()))
        throw py::type_error(std::string(what) + " must be str, not " +
                             Py_TYPE(text.ptr())->tp_name);
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
    std::u16string units;
    AppendUnits(text.ptr(), units);
    return units;
}

py::str NewText(std::u16string_view units) {
    PyObject* str = NewStr(units);
    if (!str) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(str);
}

Bytes::Bytes(py::handle object, const char* what) {
    PyObject* o = object.ptr();
    if (!PyUnicode_Check(o) && PyObject_CheckBuffer(o)) {
        if (PyObject_GetBuffer(o, &m_view, PyBUF_SIMPLE) == 0) {
            m_bytes = {static_cast<const char*>(m_view.buf), static_cast<size_t>(m_view.len)};
            return;
        }
        PyErr_Clear();
        // Not contiguous (a memoryview with a step): its bytes in order, copied.
        if (PyObject_GetBuffer(o, &m_view, PyBUF_FULL_RO) == 0) {
            m_copy.emplace(static_cast<size_t>(m_view.len), '\0');
            const int copied = PyBuffer_ToContiguous(m_copy->data(), &m_view, m_view.len, 'C');
            PyBuffer_Release(&m_view);
            if (copied != 0) throw py::error_already_set();
            return;
        }
        PyErr_Clear();
    }
    throw py::type_error(std::string(what) + " must be bytes-like, not " + Py_TYPE(o)->tp_name);
}

Bytes::~Bytes() {
    if (m_view.obj) PyBuffer_Release(&m_view);
}

}  // namespace glyphary::python
