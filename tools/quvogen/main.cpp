// quvogen: builds the bootstrap's input from applications' sources, and
// serves people who write statement files (stmtmode.h; --help tells all).
//   quvogen SOURCE-DIR... OUTPUT-DIR
//   quvogen --template | --list | --check | --help ...
// Exit status 0 when the output was written; 1 with the errors on standard
// error ("file:line:column: text"), the output left as it was; 2 for a
// command line it does not know.
#include <string>
#include <vector>

#include "gen.h"
#include "stmtmode.h"

int main(int argc, char** argv) {
  if (argc >= 2 && argv[1][0] == '-') return qg::stmt_main(argc, argv);
  if (argc < 3) return qg::usage(false);
  return qg::gen_main(std::vector<std::string>(argv + 1, argv + argc - 1), argv[argc - 1]);
}
