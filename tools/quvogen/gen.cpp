// The generator: see gen.h.
#include "gen.h"

#include <cstdio>

#include "model.h"

namespace qg {

int gen_main(const std::string& src_root, const std::string& out_dir) {
  (void)out_dir;
  Sources src;
  Errors errs;
  read_sources(src_root, &src, &errs);
  if (errs.any()) {
    std::fputs(errs.str().c_str(), stderr);
    return 1;
  }
  return 0;
}

}  // namespace qg
