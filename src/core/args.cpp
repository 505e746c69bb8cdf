#include "args.h"

namespace pw {

int Signature::index_of(PyObject* keyword) const {
    for (int i = 0; i < count_; i++) {
        if (!interned_[i] && !(interned_[i] = PyUnicode_InternFromString(params_[i]))) {
            return -2;
        }
        if (interned_[i] == keyword) return i;
    }
    for (int i = 0; i < count_; i++) {
        if (PyUnicode_Compare(interned_[i], keyword) == 0) return i;
    }
    return -1;
}

int Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    ExtraKeywords& extra) const {
    if (bind_any(args, nargs, kwnames, out, &extra) < 0) return -1;
    if (extra.keywords.empty()) return 0;
    extra.names = Ref(PyTuple_New(extra.keywords.size()));
    if (!extra.names) return -1;
    for (size_t k = 0; k < extra.keywords.size(); k++) {
        PyTuple_SET_ITEM(extra.names.get(), k, Py_NewRef(extra.keywords[k]));
    }
    return 0;
}

int Signature::bind_any(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** out, ExtraKeywords* extra) const {
    if (nargs > count_) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)",
                     function_, count_, count_ == 1 ? "" : "s", nargs);
        return -1;
    }
    for (int i = 0; i < count_; i++) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int i = index_of(keyword);
        if (i == -2) return -1;
        if (i < 0 && extra) {
            extra->keywords.push_back(keyword);
            extra->values.push_back(args[nargs + k]);
            continue;
        }
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function_, keyword);
            return -1;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         function_, params_[i]);
            return -1;
        }
        out[i] = args[nargs + k];
    }
    for (int i = 0; i < required_; i++) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)",
                         function_, params_[i], i + 1);
            return -1;
        }
    }
    return 0;
}

}  // namespace pw
