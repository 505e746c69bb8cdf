#include "guard.h"

#include "strings.h"

#include <cstdlib>
#include <cstring>

namespace pw {

bool fast_paths = true;
void read_fast_path_switch() {
    const char* value = std::getenv("PAGEWRIGHT_NO_FAST_PATHS");
    fast_paths = !value || !*value || std::strcmp(value, "0") == 0;
}

// ----------------------------------------------------------------- TypeGuard

unsigned int TypeGuard::current_tag() {
    // Looking an attribute up through the type gives it a version tag.
    Ref probe(PyObject_GetAttr(reinterpret_cast<PyObject*>(type_), names.__init__));
    if (!probe) PyErr_Clear();
    return valid_version_tag(type_);
}

int TypeGuard::watch(PyTypeObject* type) {
    type_ = type;
    for (PyTypeObject* t = type; t && t != &PyBaseObject_Type; t = t->tp_base) {
        PyObject* copy = PyDict_Copy(t->tp_dict);
        if (!copy) return -1;
        snapshots_.emplace_back(t, copy);
    }
    tag_ = current_tag();
    return 0;
}

bool TypeGuard::recheck() {
    unsigned int tag = current_tag();
    if (tag && tag == rejected_) return false;
    bool same = true;
    for (auto& [type, snapshot] : snapshots_) {
        PyObject* now = type->tp_dict;
        if (PyDict_Size(now) != PyDict_Size(snapshot)) {
            same = false;
            break;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (same && PyDict_Next(snapshot, &pos, &key, &value)) {
            PyObject* current = PyDict_GetItemWithError(now, key);
            if (!current) PyErr_Clear();
            same = current == value;
        }
    }
    if (same) {
        tag_ = tag;
    } else {
        rejected_ = tag;
    }
    return same;
}

}  // namespace pw
