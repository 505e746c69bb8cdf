// pagewright.ifs: command names made from labels, and TeX conditionals that
// define such a command only when it is not defined yet.
// makecmd and makeupcmd reach their siblings through the module namespace
// at call time, so replacing one of them on the module is honoured.
#include "modules.h"
#include "../core/globals.h"

#include "../core/args.h"
#include "../core/module.h"
#include "../core/strings.h"

namespace pw {

namespace {

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(texif_format, "\\ifx %s\\undefined %s\\else %s\\fi") \
    X(command_format, "\\%s") \
    X(newcommand_format, "\\newcommand{\\%s}{%s}") \
    X(empty, "") \
    X(newline, "\n") \
    X(backslash, "\\") \
    X(texif_name, "texif") \
    X(makeupcmd_name, "makeupcmd") \
    X(safecmd_name, "safecmd")
PW_LITERALS(LITERALS)
#undef LITERALS


// safecmd's replacements, applied in this order: separators are dropped,
// digits become letters, so a label turns into a command name.
struct Replacement {
    const char* from;
    const char* to;
    PyObject* from_str = nullptr;
    PyObject* to_str = nullptr;
};
Replacement replacements[] = {
    {"-", ""}, {"_", ""}, {":", ""}, {".", ""},
    {"0", "Z"}, {"1", "O"}, {"2", "t"}, {"3", "T"}, {"4", "f"},
    {"5", "F"}, {"6", "s"}, {"7", "S"}, {"8", "E"}, {"9", "N"},
};

#define PW_IFS_FUNCTION(name, params) \
    {#name, as_method(name), METH_FASTCALL | METH_KEYWORDS, #name "($module, " params ")\n--\n\n"}

// The text for the undefined case comes first, as \ifx puts it.
PyObject* texif(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"texif", {"cmd", "use", "otherwise"}, 3};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return format_tuple(texif_format, {arg[0], arg[2], arg[1]}).release();
}

// texif("\\name", '', "\\newcommand{\\name}{name}") + "\n"
PyObject* makeupcmd(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    static const Signature signature{"makeupcmd", {"name"}, 1};
    PyObject* name;
    if (signature.bind(args, nargs, kwnames, &name) < 0) return nullptr;
    Ref command = format(command_format, name);
    if (!command) return nullptr;
    Ref definition = format_tuple(newcommand_format, {name, name});
    if (!definition) return nullptr;
    Ref conditional = call_global(module, texif_name, {command.get(), empty, definition.get()});
    if (!conditional) return nullptr;
    return PyNumber_Add(conditional.get(), newline);
}

// Writes the conditional definition of the command through frag.tex and
// returns the command's invocation.
PyObject* makecmd(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"makecmd", {"frag", "desired"}, 2};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    Ref actual = call_global(module, safecmd_name, {arg[1]});
    if (!actual) return nullptr;
    Ref tex = getattr(arg[0], names.tex);
    if (!tex) return nullptr;
    Ref definition = call_global(module, makeupcmd_name, {actual.get()});
    if (!definition || !call(tex.get(), {definition.get()})) return nullptr;
    return PyNumber_Add(backslash, actual.get());
}

PyObject* safecmd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"safecmd", {"s"}, 1};
    PyObject* s;
    if (signature.bind(args, nargs, kwnames, &s) < 0) return nullptr;
    Ref current = Ref::borrow(s);
    for (const Replacement& r : replacements) {
        current = call_method(current.get(), names.replace, {r.from_str, r.to_str});
        if (!current) return nullptr;
    }
    return current.release();
}

PyMethodDef functions[] = {
    PW_IFS_FUNCTION(texif, "cmd, use, otherwise"),
    PW_IFS_FUNCTION(makeupcmd, "name"),
    PW_IFS_FUNCTION(makecmd, "frag, desired"),
    PW_IFS_FUNCTION(safecmd, "s"),
};

#undef PW_IFS_FUNCTION


int intern_replacements() {
    for (Replacement& r : replacements) {
        const Literal pair[] = {{&r.from_str, r.from}, {&r.to_str, r.to}};
        if (intern_literals(pair) < 0) return -1;
    }
    return 0;
}

}  // namespace

int exec_ifs(PyObject* module) {
    if (intern_literals(literals) < 0 || intern_replacements() < 0) return -1;
    for (PyMethodDef& def : functions) {
        if (bind_function(module, &def) < 0) return -1;
    }
    return 0;
}

}  // namespace pw
