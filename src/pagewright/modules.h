// The submodules of the package: each one's initialisation binds its names
// into the (already created) module object, in the order its Python
// counterpart would bind them.
#pragma once

#include "../core/ref.h"

namespace pw {

int exec_structures(PyObject* module);
int exec_compile_latex(PyObject* module);
int exec_envs(PyObject* module);
int exec_utils(PyObject* module);
int exec_ifs(PyObject* module);

// typing.Dict[str, str], the annotation of option mappings.
Ref dict_of_str(PyObject* typing_dict);

}  // namespace pw
