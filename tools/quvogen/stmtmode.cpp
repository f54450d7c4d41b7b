// quvogen's statement modes: see stmtmode.h.
#include "stmtmode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "design/sefile.h"
#include "files/fm.h"
#include "foundation/bi.h"

namespace qg {
namespace {

int usage() {
  std::fprintf(stderr,
               "usage: quvogen --template VERB\n"
               "       quvogen --list DATA-DIR APP [VER]\n"
               "       quvogen --check DATA-DIR APP [VER] FILE...\n");
  return 2;
}

void start(const char* dir) {
  setenv("QUVOPATH", dir, 1);
  bi_init_com();
  fms_init();
  se_load_spellings(true);   // statement files use the built-in words
}

bool is_ver(const char* s) { return std::strlen(s) == 2 && s[0] >= '0' && s[0] <= '9'; }

}  // namespace

int stmt_main(int argc, char** argv) {
  std::string mode = argv[1];
  if (mode == "--template") {
    if (argc != 3) return usage();
    se_load_spellings(true);
    int verb = se_verb_code(argv[2]);
    if (verb < 0) {
      std::fprintf(stderr, "quvogen: no verb \"%s\"\n", argv[2]);
      return 1;
    }
    for (const std::string& l : se_verb_template(verb)) std::printf("%s\n", l.c_str());
    return 0;
  }
  if (argc < 4) return usage();
  const char* app = argv[3];
  int next = 4;
  const char* ver = "00";
  if (argc > 4 && is_ver(argv[4])) ver = argv[next++];
  start(argv[2]);
  int rc = 0;
  {
    SeDict dict(app, ver);
    if (mode == "--list") {
      if (next != argc) return usage();
      std::vector<DStmt> stmts;
      uint32_t status = 0;
      if (!se_list_dict(app, ver, &dict, &stmts, &status)) {
        std::fprintf(stderr, "quvogen: the STMT file of %s %s cannot be read (status %u)\n", app, ver, status);
        rc = 1;
      } else {
        std::fputs(se_write_file(stmts).c_str(), stdout);
      }
    } else if (mode == "--check") {
      if (next == argc) return usage();
      SeDictValidator val(dict);
      for (int i = next; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
          std::fprintf(stderr, "%s: cannot be read\n", argv[i]);
          rc = 1;
          continue;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        SeFileResult r;
        if (se_read_file(argv[i], ss.str(), &val, &r)) rc = 1;
        for (const std::string& e : r.errors) std::fprintf(stderr, "%s\n", e.c_str());
        for (const std::string& w : r.warnings) std::fprintf(stderr, "%s\n", w.c_str());
      }
    } else {
      return usage();
    }
  }
  fm_shutdown();
  return rc;
}

}  // namespace qg
