// quvogen: builds the bootstrap's input from the system applications' sources.
//   quvogen SOURCE-DIR... OUTPUT-DIR
//   quvogen --template | --list | --check ...   statement files (stmtmode.h)
// Exit status 0 when the output was written; 1 with the errors on standard
// error ("file:line:column: text"), the output left as it was.
#include <cstdio>
#include <string>
#include <vector>

#include "gen.h"
#include "stmtmode.h"

int main(int argc, char** argv) {
  // Statement modes (--template, --list, --check): stmtmode.h.
  if (argc >= 2 && argv[1][0] == '-' && argv[1][1] == '-') return qg::stmt_main(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: quvogen SOURCE-DIR... OUTPUT-DIR\n");
    return 2;
  }
  return qg::gen_main(std::vector<std::string>(argv + 1, argv + argc - 1), argv[argc - 1]);
}
