// What every type's method table needs.
#ifndef SYLVANMAP_METHODS_H
#define SYLVANMAP_METHODS_H

#include "core/compat.h"

// Method functions of every calling convention go into PyCFunction slots.
template <typename F>
inline PyCFunction as_method(F function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

#endif  // SYLVANMAP_METHODS_H
