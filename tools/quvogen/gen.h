// The generator: the system applications' sources into the bootstrap's input.
#pragma once

#include <string>

namespace qg {

// Reads the sources under src_root and writes the bootstrap input into
// out_dir. 0 on success; 1 after printing the errors (nothing written).
int gen_main(const std::string& src_root, const std::string& out_dir);

}  // namespace qg
