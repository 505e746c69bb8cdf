#include "strings.h"

namespace pw {

Names names;

int init_names() {
    if (names.context) return 0;
#define PW_INTERN_NAME(n) \
    if (!(names.n = PyUnicode_InternFromString(#n))) return -1;
    PW_NAMES(PW_INTERN_NAME)
#undef PW_INTERN_NAME
    return 0;
}

int intern_literals(const Literal* table, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (*table[i].slot) continue;
        *table[i].slot = PyUnicode_InternFromString(table[i].text);
        if (!*table[i].slot) return -1;
    }
    return 0;
}

}  // namespace pw
