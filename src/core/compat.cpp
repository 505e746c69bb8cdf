#include "compat.h"

namespace pw {

#if PY_VERSION_HEX >= 0x030C0000

namespace {

// The dicts whose versions are counted, each with its count. Module dicts
// only: a handful, each watched for the life of its module.
struct Counted {
    PyObject* dict;
    uint64_t version;
};
constexpr int max_counted = 16;
Counted counted[max_counted];
int watcher_id = -1;

// Runs before every change of a watched dict; a dict that goes away frees
// its entry for the next one.
int count_change(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    for (Counted& entry : counted) {
        if (entry.dict != dict) continue;
        entry.version++;
        if (event == PyDict_EVENT_DEALLOCATED) entry.dict = nullptr;
    }
    return 0;
}

}  // namespace

const uint64_t* dict_version(PyObject* dict) {
    Counted* free_entry = nullptr;
    for (Counted& entry : counted) {
        if (entry.dict == dict) return &entry.version;
        if (!entry.dict && !free_entry) free_entry = &entry;
    }
    if (!free_entry) {
        PyErr_SetString(PyExc_SystemError, "too many dicts to watch");
        return nullptr;
    }
    if (watcher_id < 0 && (watcher_id = PyDict_AddWatcher(count_change)) < 0) return nullptr;
    if (PyDict_Watch(watcher_id, dict) < 0) return nullptr;
    free_entry->dict = dict;
    free_entry->version++;
    return &free_entry->version;
}

#endif

}  // namespace pw
