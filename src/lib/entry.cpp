// An extension module's file: its init function hands over to the core library, which
// holds the module's contents. Compiled once per module, SARV_MODULE_INIT naming the init
// function and SARV_MODULE_MAKE the core's function that makes the module.
#include "lib/modules.hpp"

PyMODINIT_FUNC SARV_MODULE_INIT(void) { return sarv::SARV_MODULE_MAKE(); }
