// kifuzan._native's conversion of three-player tenhou.net/6 records.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kifuzan::py {

// Adds tenhou6_to_mjai to the module. `internal_type` is the module's type
// for broken invariants. 0, or -1 with an exception set.
int add_three_player_functions(PyObject* module, PyObject* (*internal_type)());

}  // namespace kifuzan::py
