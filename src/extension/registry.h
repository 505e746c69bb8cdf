// The import-system side of the package: a finder and loader that serves the
// submodules of `pagewright` from this one extension file.
#pragma once

#include "../core/ref.h"

namespace pw {

// Puts the importer on sys.meta_path (once); `origin` is the extension
// file's path, reported as each submodule's __file__.
int install_importer(PyObject* origin);

}  // namespace pw
