// The start-up invocation of the command line checked against the
// dictionary before the engine shows anything: see piexec.h pi_start_check.
#include <cstdio>
#include <cstring>
#include <string>

#include "files/dictrec.h"
#include "foundation/bi.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "process/piexec.h"
#include "process/pigetd.h"
#include "process/pl.h"

namespace {
// An id of the command line as a key field: blank-padded to n characters.
std::string padded(const std::string& id, size_t n) {
  std::string k = id.substr(0, n);
  k.resize(n, ' ');
  return k;
}

std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Whether the application's dictionary holds a process of this type and name.
bool process_exists(const std::string& app, const std::string& ver, int type, const std::string& name) {
  PiInvoc key;
  os_invoc_template(&key);
  key.app.set(app);
  key.ver.set(ver);
  key.type = uint8_t(type);
  key.name.set(name);
  return pi_proc_exists(key);
}
}  // namespace

bool pi_proc_exists(const PiInvoc& v) {
  auto* def = static_cast<DProc*>(MM_ALLOC(pi_pool(), sizeof(DProc)));
  std::memset(static_cast<void*>(def), ' ', sizeof *def);
  uint32_t status = 0;
  bool found = read_dproc(v, def, nullptr, &status) == 1;
  mm_free(def);
  return found;
}

bool pi_start_check(const OsCmd& c, std::string* why) {
  auto refuse = [&](std::string text) {
    *why = std::move(text);
    return false;
  };
  if (!c.db.empty() && !pi_get_ddb(padded(c.db, 3).c_str())) return refuse("database " + c.db + " does not exist");
  if (c.app.empty()) {
    // Without an application the start-up menu of the database or user runs:
    // a version, type or process given would be dropped.
    if (!c.ver.empty() || c.type || !c.name.empty())
      return refuse("-v, -t and -p name a process of an application: name the application with -a");
    return true;
  }
  if (c.type && c.name.empty()) return refuse("-t needs -p: name the process of that type to run");
  const std::string app = padded(c.app, 3);
  // The database and version the start will take (as dflt_proc does).
  std::string db = c.db;
  if (db.empty() && db_required(app.c_str())) {
    const DUser* u = pi_get_dusr(com.user_id.data());
    if (!u || u->db.blank()) {
      if (!pi_get_dap(app.c_str(), padded(c.ver.empty() ? "00" : c.ver, 2).c_str()))
        return refuse("no application " + c.app);
      return refuse("application " + c.app + " runs on a database, and your USER record names none: name it with -d");
    }
    db = trimmed(u->db.str());
  }
  std::string ver = "00", whose = "the applications without a database run version 00";
  if (!db.empty() && db_required(app.c_str())) {
    if (const DDatabase* d = pi_get_ddb(padded(db, 3).c_str())) {
      ver = d->ver.str();
      whose = "database " + db + " runs version " + ver;
    }
  } else if (app == "0DN" && !c.ver.empty()) {
    ver = c.ver;
  }
  if (!c.ver.empty() && padded(c.ver, 2) != ver) {
    if (!pi_get_dap(app.c_str(), padded(c.ver, 2).c_str()))
      return refuse("no version " + c.ver + " of application " + c.app);
    std::fprintf(stderr, "quvo: -v %s is not used: %s\n", c.ver.c_str(), whose.c_str());
  }
  if (!pi_get_dap(app.c_str(), ver.c_str()))
    return refuse(ver == "00" ? "no application " + c.app : "no version " + ver + " of application " + c.app);
  if (c.name.empty()) return true;  // the application's start-up menu
  int type = c.type ? c.type : 1;
  if (process_exists(app, ver, type, c.name)) return true;
  std::string text = "no " + os_type_name(type) + " " + c.name + " in " + c.app;
  for (int t = 1; t <= 10; ++t) {
    if (t == type || !process_exists(app, ver, t, c.name)) continue;
    std::string other = os_type_name(t);
    bool vowel = std::strchr("AEIOU", other[0]) != nullptr;
    text += std::string(" (there is ") + (vowel ? "an " : "a ") + other + " process of that name)";
    break;
  }
  return refuse(text);
}
