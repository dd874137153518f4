#include "native/canonical_json.h"

#include <charconv>

#include "native/numbers.h"

namespace orvane::json {

namespace {

// Each nesting level counts against the host's recursion limit, so a deep
// tree raises RecursionError as the host's own serialiser would.
class NestingGuard {
  public:
    NestingGuard() {
        if (Py_EnterRecursiveCall(" while encoding canonical JSON") != 0) throw nb::python_error();
    }
    ~NestingGuard() { Py_LeaveRecursiveCall(); }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

nb::str text_of(nb::handle value) {
    PyObject* text = PyObject_Str(value.ptr());
    if (text == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(text);
}

void emit_int(nb::handle value, std::string& out) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0) {
            char buffer[24];
            auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, small);
            (void)error;
            out.append(buffer, end);
            return;
        }
    }
    Py_ssize_t size = 0;
    nb::str text = text_of(value);
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    out.append(data, static_cast<std::size_t>(size));
}

void emit_hex4(unsigned code, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
}

void emit_mapping(nb::handle mapping, std::string& out) {
    nb::object keys = nb::steal(PyDict_Keys(mapping.ptr()));
    if (!keys.is_valid() || PyList_Sort(keys.ptr()) != 0) throw nb::python_error();
    out += '{';
    const Py_ssize_t count = PyList_GET_SIZE(keys.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle key = PyList_GET_ITEM(keys.ptr(), i);
        if (i > 0) out += ',';
        emit_string(text_of(key), out);
        out += ':';
        PyObject* member = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (member == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw nb::python_error();
        }
        emit(nb::borrow(member), out);
    }
    out += '}';
}

}  // namespace

std::string float_text(double value) {
    if (value == 0) return "0";  // 0.0 and -0.0 alike
    std::string text = numbers::fixed(value, 6);
    if (text.find('.') == std::string::npos) return text;  // inf, -inf, nan
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
}

void emit_string(nb::handle text, std::string& out) {
    if (PyUnicode_IS_ASCII(text.ptr())) {
        // Most texts need no escape at all: copy them whole.
        const std::string_view ascii(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())));
        bool plain = true;
        for (char c : ascii) plain = plain && c >= 0x20 && c != 0x7F && c != '"' && c != '\\';
        if (plain) {
            out.append(1, '"').append(ascii).append(1, '"');
            return;
        }
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    out += '"';
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 code = PyUnicode_READ(kind, data, i);
        switch (code) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (code >= 0x20 && code <= 0x7E) {
                    out += static_cast<char>(code);
                } else if (code <= 0xFFFF) {
                    emit_hex4(code, out);
                } else {
                    const Py_UCS4 offset = code - 0x10000;
                    emit_hex4(0xD800 | (offset >> 10), out);
                    emit_hex4(0xDC00 | (offset & 0x3FF), out);
                }
        }
    }
    out += '"';
}

void emit(nb::handle value, std::string& out) {
    PyObject* ptr = value.ptr();
    if (ptr == Py_None) {
        out += "null";
    } else if (ptr == Py_True) {
        out += "true";
    } else if (ptr == Py_False) {
        out += "false";
    } else if (PyLong_Check(ptr)) {
        emit_int(value, out);
    } else if (PyFloat_Check(ptr)) {
        out += float_text(PyFloat_AS_DOUBLE(ptr));
    } else if (PyUnicode_Check(ptr)) {
        emit_string(value, out);
    } else if (PyDict_Check(ptr)) {
        NestingGuard guard;
        emit_mapping(value, out);
    } else if (PyList_Check(ptr) || PyTuple_Check(ptr)) {
        NestingGuard guard;
        nb::object items = nb::steal(PySequence_Fast(ptr, "a list or tuple"));
        if (!items.is_valid()) throw nb::python_error();
        out += '[';
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i > 0) out += ',';
            emit(nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i)), out);
        }
        out += ']';
    } else {
        emit_string(text_of(value), out);
    }
}

nb::object canonicalise(nb::handle value) {
    PyObject* ptr = value.ptr();
    if (ptr == Py_None || PyBool_Check(ptr) || PyLong_Check(ptr) || PyUnicode_Check(ptr) ||
        PyFloat_Check(ptr)) {
        return nb::borrow(value);
    }
    if (PyDict_Check(ptr)) {
        NestingGuard guard;
        nb::dict copy;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* member = nullptr;
        while (PyDict_Next(ptr, &position, &key, &member)) {
            nb::object key_ref = nb::borrow(key);
            nb::object normalised = canonicalise(nb::borrow(member));
            if (PyDict_SetItem(copy.ptr(), key_ref.ptr(), normalised.ptr()) != 0)
                throw nb::python_error();
        }
        return copy;
    }
    if (PyList_Check(ptr) || PyTuple_Check(ptr)) {
        NestingGuard guard;
        nb::object items = nb::steal(PySequence_Fast(ptr, "a list or tuple"));
        if (!items.is_valid()) throw nb::python_error();
        nb::list copy;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            copy.append(canonicalise(nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i))));
        }
        return copy;
    }
    return text_of(value);
}

}  // namespace orvane::json
