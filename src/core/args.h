// Binding of fast-call arguments to named parameters.
#pragma once

#include "ref.h"

#include <vector>

namespace pw {

// The keyword arguments of a call beyond the named parameters, in call
// order: what a **kwargs parameter collects. Keywords and values are
// borrowed from the call; `names` is the keywords as a tuple, NULL when
// there are none, ready for a vectorcall with `values`.
struct ExtraKeywords {
    std::vector<PyObject*> keywords;
    std::vector<PyObject*> values;
    Ref names;
};

// The positional-or-keyword parameters of a callable, as its Python
// signature shows them; the first `required` have no default.
class Signature {
public:
    static constexpr int max_params = 8;

    constexpr Signature(const char* function, std::initializer_list<const char*> params,
                        int required)
        : function_(function), params_{}, count_(0), required_(required) {
        for (const char* p : params) params_[count_++] = p;
    }

    // Fills out[0..count) with borrowed references to the arguments, or NULL
    // for a parameter that was not given. Returns -1 with TypeError set when
    // the call does not fit the signature.
    int bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
        if (kwnames || nargs < required_ || nargs > count_) {
            return bind_any(args, nargs, kwnames, out, nullptr);
        }
        for (int i = 0; i < count_; i++) out[i] = i < nargs ? args[i] : nullptr;
        return 0;
    }

    // The same for a callable that also takes **kwargs: keywords that name
    // no parameter go to `extra` instead of being refused.
    int bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
             ExtraKeywords& extra) const;

private:
    int bind_any(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                 ExtraKeywords* extra) const;
    int index_of(PyObject* keyword) const;

    const char* function_;
    const char* params_[max_params];
    int count_;
    int required_;
    mutable PyObject* interned_[max_params] = {};
};

// Casts a fast-call C function to the pointer type PyMethodDef stores.
template <typename F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace pw
