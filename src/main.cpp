// The engine's program entry: the start-up and the run modes live in the
// foundation (os_main).
#include "foundation/os.h"

int main(int argc, char** argv) { return os_main(argc, argv); }
