// The engine's program entry.
#include <cstdio>
#include <cstring>

#include "foundation/bi.h"

int main(int argc, char** argv) {
  bi_init_com();
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::printf("usage: quvo [options]\n");
    return 0;
  }
  std::fprintf(stderr, "usage: quvo [options]\n");
  return 1;
}
