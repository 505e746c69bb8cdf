// Guards of the fast paths.
//
// Every fast path of the library runs only while nothing observable has
// been replaced: the objects are exactly of the library's types, and those
// types are unchanged since the library made them (their version tag, as
// CPython's specialising interpreter checks). The environment variable
// PAGEWRIGHT_NO_FAST_PATHS, read at import, turns every fast path off, so
// the generic path runs everywhere; the tests run both ways.
#pragma once

#include "compat.h"
#include "ref.h"

#include <utility>
#include <vector>

namespace pw {

// False when PAGEWRIGHT_NO_FAST_PATHS is set to anything but "" or "0".
extern bool fast_paths;
void read_fast_path_switch();

// Proves that a type (and each of its bases but object) has not been
// changed since watch(): same version tag, or, after the tag changed, the
// same namespace entries as when watched (a change undone, or a cleared
// type cache).
class TypeGuard {
public:
    // `base`, the guard of the type's base class when the library made that
    // class earlier: the bases are held to their namespaces as that guard
    // saw them, so that a change made to them before this type was made
    // (a lazily loaded module's class) fails this guard too.
    int watch(PyTypeObject* type, const TypeGuard* base = nullptr);
    bool holds() {
        unsigned int tag = valid_version_tag(type_);
        if (tag == tag_ && tag) return true;
        return fast_paths && recheck();
    }

private:
    bool recheck();
    bool matches_snapshots() const;
    unsigned int current_tag();

    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;       // a tag seen unchanged
    unsigned int rejected_ = 0;  // a tag seen changed
    // Each watched type with a copy of its namespace as watched.
    std::vector<std::pair<PyTypeObject*, PyObject*>> snapshots_;
};

}  // namespace pw
