// The test hooks in the engine users run: none is honoured. Who the user is,
// where the settings come from and how the engine starts and fails follow
// the system alone, whatever the environment, quvo.env or --NAME=VALUE say.
// The suite's engine links foundation/testbuild/ostest.cpp instead (this
// file then stays out of its link: keep nothing else in it).
#include "foundation/os.h"

const char* os_test_hook(const char*) { return nullptr; }

bool os_test_hooks_honoured() { return false; }
