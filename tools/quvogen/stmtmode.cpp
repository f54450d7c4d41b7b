// quvogen's statement modes and its command line: see stmtmode.h.
#include "stmtmode.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/sefile.h"
#include "executors/rm.h"
#include "files/fm.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "language/ii.h"
#include "language/iiutil.h"
#include "language/sc.h"
#include "process/emrec.h"
#include "process/pc.h"
#include "process/pigetd.h"
#include "process/pl.h"

namespace qg {
namespace {

const char kHelp[] =
    "usage: quvogen SOURCE-DIR... OUTPUT-DIR\n"
    "       quvogen --template [VERB]\n"
    "       quvogen --list DATA-DIR APP [VER]\n"
    "       quvogen --check DATA-DIR APP [VER] FILE...\n"
    "       quvogen --help\n"
    "\n"
    "Builds the bootstrap's input from applications' sources, and writes, lists\n"
    "and checks statement files.\n"
    "\n"
    "  SOURCE-DIR...  each the parent of application folders (data/apps holds\n"
    "                 0AD, 0LA, 0DB and 0SA; an application of your own is a\n"
    "                 folder of such sources named by its id, in a directory\n"
    "                 given here too); their sources are read and checked, and\n"
    "                 the bootstrap's input is written to OUTPUT-DIR (quvo -b\n"
    "                 reads it from there when QUVO_BOOT_SRC names it)\n"
    "  --template VERB\n"
    "                 the verb's empty statement line with its fields marked;\n"
    "                 without VERB, the verbs\n"
    "  --list DATA-DIR APP [VER]\n"
    "                 the statements of application APP's dictionary (version\n"
    "                 VER, default 00) in the bootstrapped data directory\n"
    "                 DATA-DIR, as a statement file on standard output (an\n"
    "                 application added with QUVO_BOOT_AP shares its dictionary\n"
    "                 with the runtime application 0LA: its processes are there\n"
    "                 too)\n"
    "  --check DATA-DIR APP [VER] FILE...\n"
    "                 reads each statement file against APP's dictionary in\n"
    "                 DATA-DIR and compiles its processes with the engine's\n"
    "                 compiler (a report's images as its report takes them);\n"
    "                 nothing is written\n"
    "\n"
    "Exit status: 0 done; 1 after errors, each on standard error as\n"
    "FILE:LINE:COLUMN: what is wrong; 2 for a command line it does not know.\n";

// The verbs, several to a line.
void list_verbs(FILE* to) {
  std::string line = " ";
  for (int v = 0; v < kSeVerbs; ++v) {
    std::string w = se_builtin_verb(v);
    if (w.empty()) continue;
    if (line.size() + w.size() + 3 > 79) {
      std::fprintf(to, "%s\n", line.c_str());
      line = " ";
    }
    line += " " + w + (v + 1 < kSeVerbs ? "," : "");
  }
  std::fprintf(to, "%s\n", line.c_str());
}

bool is_ver(const char* s) { return std::strlen(s) == 2 && s[0] >= '0' && s[0] <= '9'; }

std::string read_file(const char* path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = bool(in);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The data directory a mode reads: "" when it is a bootstrapped one, else
// what is wrong with it.
std::string data_dir_fault(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return "the data directory " + dir + " does not exist";
  if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
  if (stat((dir + "/keymaps").c_str(), &st) != 0)
    return "the data directory " + dir + " was never bootstrapped (quvo -b builds it)";
  return "";
}

// The engine's parts a mode needs, started as the engine starts them: the
// file manager, the messages, and the process and statement compilers with
// the interpreter's tables their builders use. No screen.
void start(const char* dir) {
  setenv("QUVOPATH", dir, 1);
  bi_init_com();
  fms_init();
  la_register();
  ii_register();
  se_register();
  ii_families_register();
  pc_register();
  sc_register();
  pl_register();
  os_run_inits(OsInit::Cv, OsInit::Cv);
  os_run_inits(OsInit::Pc, OsInit::Se);
  se_load_spellings(true);   // statement files use the built-in words
}

// "no Subroutine ADD UP in MYA", and the type it has when another.
std::string proc_refusal(SeDict& dict, const char* app, int type, const std::string& name) {
  char n[30];
  std::memset(n, ' ', sizeof n);
  std::memcpy(n, name.data(), name.size() < 30 ? name.size() : 30);
  if (dict.proc(app, n, type)) return "";
  std::string why = std::string("no ") + se_proc_type_name(type) + " " + name + " in " + app;
  for (int t = 1; t <= 10; ++t)
    if (t != type && dict.proc(app, n, t)) {
      const char* other = se_proc_type_name(t);
      bool vowel = std::strchr("AEIOU", other[0]) != nullptr;
      return why + " (there is " + (vowel ? "an " : "a ") + other + " process of that name)";
    }
  return why;
}

// The compile's errors of one process of a file, at the lines of their
// statements (a statement the file does not hold, one of a copied
// Subroutine kept in the dictionary, at the process header).
int report_compile(const char* path, const SeFileResult& r, const SeFileResult::Proc& p,
                   const std::vector<DCmplErr>& errs) {
  std::vector<std::pair<int, std::string>> out;   // by line, in the file's order
  for (const DCmplErr& e : errs) {
    if (e.kind != kPcErrStmt) {
      // Frames, images, items and the rest: the dictionary's, said at the
      // process's line, for the process does not compile all the same.
      out.emplace_back(p.line, std::string(path) + ":" + std::to_string(p.line) + ":1: " +
                                   se_proc_type_name(p.type) + " " + p.name + " does not compile: " +
                                   pc_cmpl_err_where(e) + ": " + pc_cmpl_err_message(e));
      continue;
    }
    DStmt s;
    std::memcpy(&s, e.src.b, sizeof s);
    int line = p.line, col = 1;
    for (size_t i = 0; i < r.stmts.size(); ++i)
      if (std::memcmp(&r.stmts[i], &s, 48) == 0 && r.stmts[i].seq == s.seq) {
        line = r.lines[i];
        col = 7;
        break;
      }
    std::string text = e.stmt_text.str();
    text.erase(0, text.size() < 6 ? text.size() : 6);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::string why = sc_verb_built(s.verb) ? pc_cmpl_err_message(e) + ": " + text
                                            : std::string(se_builtin_verb(s.verb)) + " is not built yet";
    out.emplace_back(line, std::string(path) + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " + why);
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [line, text] : out) std::fprintf(stderr, "%s\n", text.c_str());
  return int(out.size());
}

// The images of a report process that its report cannot take (taller or
// wider than a report image; a scrolling frame's images as wide and deep
// as its regions), as "image N of frame M ..." texts.
std::vector<std::string> oversized_report_images(EmHeader* em) {
  struct Frame {
    int code, number, scroll, ext_rows, ext_cols;
  };
  std::vector<std::pair<uint32_t, Frame>> frames;
  std::vector<std::string> out;
  auto each = [](FmArb* f, auto&& fn) {
    if (!f || !fm_is_handle(f)) return;
    FmArb* s = FM_ATTACH(f, nullptr, com.depth);
    if (!s) return;
    s->key_no = 0;
    s->op = FM_OP_FIRST;
    fm_start(s);
    s->op = FM_OP_FAST;
    while (uint8_t* p = fm_rdnxt_fast(s, 0)) fn(p);
    s->op = 0;
    fm_detach(s);
  };
  each(em->cfrm.get(), [&](uint8_t* p) {
    const auto* f = reinterpret_cast<const EmCfrm*>(p);
    frames.push_back({f->seq, {f->code, int(f->number), f->scroll, f->ext_rows, f->ext_cols}});
  });
  each(em->cimg.get(), [&](uint8_t* p) {
    const auto* i = reinterpret_cast<const EmCimg*>(p);
    auto f = std::find_if(frames.begin(), frames.end(), [&](const auto& e) { return e.first == i->frame_seq; });
    if (f == frames.end() || f->second.code == 14) return;   // the interactive frame of an Inquiry
    const Frame& fr = f->second;
    int rows = fr.scroll ? std::max<int>(i->rows, fr.ext_rows) : i->rows.get();
    int cols = fr.scroll ? std::max<int>(i->cols, fr.ext_cols) : i->cols.get();
    if (rows <= kRmMaxRows && cols <= kRmMaxCols) return;
    out.push_back("image " + std::to_string(i->image_no.get()) + " of frame " + std::to_string(fr.number) + " is " +
                  std::to_string(rows) + " x " + std::to_string(cols) + " (rows x columns); a report image has at most " +
                  std::to_string(kRmMaxRows) + " rows and " + std::to_string(kRmMaxCols) + " columns");
  });
  return out;
}

// Reads, checks and compiles one statement file; the count of errors. All
// of it runs in a scope of its own: the dictionary files opened for it and
// the memory file of its statements go with it.
int check_file(const char* path, const char* app, const char* ver, bool compile) {
  bool ok = false;
  std::string content = read_file(path, &ok);
  if (!ok) {
    std::fprintf(stderr, "%s: cannot be read\n", path);
    return 1;
  }
  int errors = 0;
  int m = mark(0, [&] {
    SeDict dict(app, ver);
    SeDictValidator val(dict);
    SeFileResult r;
    auto procs = [&](int type, const std::string& name) { return proc_refusal(dict, app, type, name); };
    errors = se_read_file(path, content, &val, &r, procs);
    for (const std::string& e : r.errors) std::fprintf(stderr, "%s\n", e.c_str());
    for (const std::string& w : r.warnings) std::fprintf(stderr, "%s\n", w.c_str());
    // A file with refused lines is not compiled: what is left out would
    // show as errors of its own (a label missing, a loop not closed).
    if (errors || !compile) return;
    // The compile reads the file's statements in place of the dictionary's.
    std::vector<std::string> why;
    FmArb* stmts = se_check_file(app, ver, &dict, r.stmts, &why);
    if (!stmts) {
      for (const std::string& w : why) std::fprintf(stderr, "%s: %s\n", path, w.c_str());
      errors += int(why.size()) + (why.empty() ? 1 : 0);
      return;
    }
    pc_set_stmt_source(app, stmts, se_checked_procs(r.procs));
    for (const SeFileResult::Proc& p : r.procs) {
      PiInvoc key;
      std::memset(static_cast<void*>(&key), 0, sizeof key);
      key.app.set(std::string_view(app, 3));
      key.ver.set(std::string_view(ver, 2));
      key.type = uint8_t(p.type);
      key.name.set(p.name);
      std::vector<DCmplErr> errs;
      uint32_t code = 0;
      // A report's images are compiled into the report when it runs: what
      // it cannot take is said here.
      std::vector<std::string> big;
      auto images = [&](EmHeader* em) { big = oversized_report_images(em); };
      bool report = p.type == 3 || p.type == 9;
      if (pc_check(key, &errs, &code, report ? images : std::function<void(EmHeader*)>{})) {
        for (const std::string& b : big)
          std::fprintf(stderr, "%s:%d:1: %s %s: %s\n", path, p.line, se_proc_type_name(p.type), p.name.c_str(),
                       b.c_str());
        errors += int(big.size());
        continue;
      }
      if (errs.empty()) {
        std::fprintf(stderr, "%s:%d:1: %s %s does not compile: %s\n", path, p.line, se_proc_type_name(p.type),
                     p.name.c_str(), la_text(code).c_str());
        ++errors;
      }
      errors += report_compile(path, r, p, errs);
    }
    pc_set_stmt_source(app, nullptr);
  });
  pc_set_stmt_source(app, nullptr);
  if (m != 1) {   // a system error, answered on standard error
    std::fprintf(stderr, "%s: the check ended with completion code %d\n", path, m);
    ++errors;
  }
  return errors;
}

int check_mode(const char* app, const char* ver, char** files, int n) {
  // The compiler compiles the processes of a registered application only.
  bool registered = pi_get_dap(app, ver) != nullptr;
  if (!registered)
    std::fprintf(stderr, "quvogen: application %s %s is not registered in %s (no APPL record): its statements "
                         "cannot be compiled\n", app, ver, os_data_dir());
  int rc = registered ? 0 : 1;
  for (int i = 0; i < n; ++i)
    if (check_file(files[i], app, ver, registered)) rc = 1;
  return rc;
}

}  // namespace

int usage(bool asked) {
  std::fputs(kHelp, asked ? stdout : stderr);
  return asked ? 0 : 2;
}

int stmt_main(int argc, char** argv) {
  std::string mode = argv[1];
  if (mode == "--help" || mode == "-h") return argc == 2 ? usage(true) : usage(false);
  if (mode == "--template") {
    se_load_spellings(true);
    if (argc == 2) {
      list_verbs(stdout);
      return 0;
    }
    // A verb of two words may be typed unquoted: --template END PROC.
    std::string name = argv[2];
    for (int i = 3; i < argc; ++i) name += std::string(" ") + argv[i];
    int verb = se_verb_code(name.c_str());
    if (verb < 0) {
      std::fprintf(stderr, "quvogen: no verb \"%s\"; the verbs are:\n", name.c_str());
      list_verbs(stderr);
      return 1;
    }
    for (const std::string& l : se_verb_template(verb)) std::printf("%s\n", l.c_str());
    return 0;
  }
  if ((mode != "--list" && mode != "--check") || argc < 4) return usage(false);
  const char* app = argv[3];
  if (std::strlen(app) != 3) {
    std::fprintf(stderr, "quvogen: an application id is 3 characters, not \"%s\"\n", app);
    return 2;
  }
  int next = 4;
  const char* ver = "00";
  if (argc > 4 && is_ver(argv[4])) ver = argv[next++];
  if (mode == "--list" ? next != argc : next == argc) return usage(false);
  if (std::string why = data_dir_fault(argv[2]); !why.empty()) {
    std::fprintf(stderr, "quvogen: %s\n", why.c_str());
    return 1;
  }
  start(argv[2]);
  int rc = 0;
  if (mode == "--list") {
    SeDict dict(app, ver);
    std::vector<DStmt> stmts;
    uint32_t status = 0;
    if (!se_list_dict(app, ver, &dict, &stmts, &status)) {
      std::fprintf(stderr, "quvogen: the STMT file of %s %s cannot be read (status %u)\n", app, ver, status);
      rc = 1;
    } else {
      std::fputs(se_write_file(stmts).c_str(), stdout);
    }
  } else {
    rc = check_mode(app, ver, argv + next, argc - next);
  }
  fm_shutdown();
  return rc;
}

}  // namespace qg
