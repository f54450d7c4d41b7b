// The test hooks in the suite's engine (quvo-test) and the test programs:
// each is read from the environment (set there, in a quvo.env or by
// --NAME=VALUE). Linked as an object ahead of the engine's library, so that
// the library's ostest.cpp, which honours none, is left out.
#include <cstdlib>

#include "foundation/os.h"

const char* os_test_hook(const char* name) { return std::getenv(name); }

bool os_test_hooks_honoured() { return true; }
