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

int TypeGuard::watch(PyTypeObject* type, const TypeGuard* base) {
    type_ = type;
    for (PyTypeObject* t = type; t && t != &PyBaseObject_Type; t = t->tp_base) {
        if (base && t == type->tp_base) {
            for (auto& [base_type, snapshot] : base->snapshots_) {
                snapshots_.emplace_back(base_type, Py_NewRef(snapshot));
            }
            break;
        }
        PyObject* copy = PyDict_Copy(t->tp_dict);
        if (!copy) return -1;
        snapshots_.emplace_back(t, copy);
    }
    tag_ = current_tag();
    if (!matches_snapshots()) {
        rejected_ = tag_;
        tag_ = 0;
    }
    return 0;
}

bool TypeGuard::matches_snapshots() const {
    for (auto& [type, snapshot] : snapshots_) {
        PyObject* now = type->tp_dict;
        if (PyDict_Size(now) != PyDict_Size(snapshot)) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(snapshot, &pos, &key, &value)) {
            PyObject* current = PyDict_GetItemWithError(now, key);
            if (!current) PyErr_Clear();
            if (current != value) return false;
        }
    }
    return true;
}

bool TypeGuard::recheck() {
    unsigned int tag = current_tag();
    if (tag && tag == rejected_) return false;
    bool same = matches_snapshots();
    if (same) {
        tag_ = tag;
    } else {
        rejected_ = tag;
    }
    return same;
}

}  // namespace pw
