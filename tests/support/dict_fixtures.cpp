// Test fixtures for dictionary records (see dict_fixtures.h).
#include "support/dict_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "files/dictenc.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/mm.h"

namespace fx {
namespace {

MmPool pool() {
  static MmPool p = 0;
  if (!p) p = mm_create_pool(" FX_POOL   ", 0, 0);
  return p;
}

const DictRecDesc* desc(const char* file) {
  const DictRecDesc* r = dict_rec_find(file);
  if (!r) ADD_FAILURE() << "no record " << file;
  return r;
}

// Describes the file by its catalogue builder into arena areas.
bool describe(const DictRecDesc* r, const char* app, const char* ver, FmFdb* fdb, FmKdb** kdb, FmSdb** sdb) {
  const FmCatEntry* e = fm_cat_find(r->builder);
  if (!e) {
    ADD_FAILURE() << "no catalogue builder for " << r->file;
    return false;
  }
  *kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  *sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  return fm_cat_fill(e, fdb, *kdb, *sdb, app, ver) == 1;
}

}  // namespace

Rec rec(const char* file, const Values& values) {
  const DictRecDesc* r = desc(file);
  if (!r) return {};
  Rec out(r->size);
  dict_image(*r, 1, out.data());
  for (const auto& [name, value] : values) {
    std::string err;
    if (!dict_encode_named(*r, name, value, out.data(), &err)) ADD_FAILURE() << file << ": " << err;
  }
  return out;
}

bool sysdir(const char* file, const char* app, const char* ver) {
  const DictRecDesc* r = desc(file);
  if (!r) return false;
  FmFdb target;
  FmKdb* kdb;
  FmSdb* sdb;
  if (!describe(r, app, ver, &target, &kdb, &sdb)) return false;
  mm_free(kdb);
  mm_free(sdb);
  if (target.fclass != FM_CLASS_DISK) return true;
  FmFdb sd;
  describe(dict_rec_find("SYSDIR"), nullptr, nullptr, &sd, &kdb, &sdb);
  bool ok = FM_CREATE(&sd, com.depth, 0, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 0, 0) == 1;
  if (!ok) ADD_FAILURE() << "SYSDIR create, status " << sd.status.get();
  if (ok) {
    auto* buf = static_cast<FmSysdirRec*>(MM_ALLOC(pool(), sizeof(FmSysdirRec)));
    fm_cat_sysdir_entry(&target, buf);
    FmArb* a = sd.handle.get();
    PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(buf));
    if (!fm_write(a) && a->status.get() != FM_ST_DUP_KEY) {
      ADD_FAILURE() << "SYSDIR write, status " << a->status.get();
      ok = false;
    }
    FM_CLOSE(a, 0);
    mm_free(buf);
  }
  mm_free(kdb);
  mm_free(sdb);
  return ok;
}

int write(const char* file, const char* app, const char* ver, const std::vector<Rec>& recs) {
  const DictRecDesc* r = desc(file);
  if (!r) return -1;
  FmFdb fdb;
  FmKdb* kdb;
  FmSdb* sdb;
  if (!describe(r, app, ver, &fdb, &kdb, &sdb)) return -1;
  int n = -1;
  if (!FM_CREATE(&fdb, com.depth, 0, FM_OPT_CREATE | FM_OPT_NO_SYSDIR, 0, 0)) {
    ADD_FAILURE() << file << ": create, status " << fdb.status.get();
  } else {
    FmArb* a = fdb.handle.get();
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pool(), r->size));
    n = 0;
    for (const Rec& one : recs) {
      if (one.size() > r->size || one.empty()) {
        ADD_FAILURE() << file << ": a record of " << one.size() << " bytes";
        n = -1;
        break;
      }
      std::memcpy(buf, one.data(), one.size());
      PROTO_FULL(a, 0, buf);
      a->rec_len = uint16_t(fdb.var ? one.size() : 0);
      if (!fm_write(a)) {
        ADD_FAILURE() << file << ": write, status " << a->status.get();
        n = -1;
        break;
      }
      ++n;
    }
    FM_CLOSE(a, 0);
    mm_free(buf);
  }
  mm_free(kdb);
  mm_free(sdb);
  if (n >= 0 && !sysdir(file, app, ver)) n = -1;
  return n;
}

Rec process(int type, std::string_view name, std::string_view title) {
  return rec("PROCESS", {{"proc_type", std::to_string(type)},
                         {"proc_name", std::string(name)},
                         {"title", std::string(title)},
                         {"flag31", "1"},
                         {"added", dict_proc_stamp(type, name)},
                         {"changed", dict_proc_stamp(type, name)}});
}

Rec frame(int type, std::string_view proc, int frame_no, int mode, bool interactive) {
  return rec("FRAME", {{"proc_type", std::to_string(type)},
                       {"proc_name", std::string(proc)},
                       {"frame_no", std::to_string(frame_no)},
                       {"mode", std::to_string(mode)},
                       {"interactive", interactive ? "1" : ""}});
}

namespace {

// The owner of a screen record: process type and name, frame 1.
Values owner(int type, std::string_view proc, int image_no) {
  return {{"proc_type", std::to_string(type)},
          {"proc_name", std::string(proc)},
          {"frame_no", "1"},
          {"image_no", std::to_string(image_no)}};
}

Values with(Values v, const Values& more) {
  v.insert(v.end(), more.begin(), more.end());
  return v;
}

}  // namespace

Rec image(int type, std::string_view proc, int image_no, int rows, int cols) {
  return rec("IMAGE", with(owner(type, proc, image_no), {{"pos[3]", std::to_string(rows)},
                                                         {"pos[4]", std::to_string(cols)}}));
}

Rec row(int type, std::string_view proc, int image_no, int row_no, std::string_view text) {
  Rec r = rec("ROW", with(owner(type, proc, image_no), {{"row_no", std::to_string(row_no)}}));
  std::string t(text);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  r.resize(size_t(DROW_HEAD) + std::max<size_t>(t.size(), 1), ' ');
  std::memcpy(r.data() + DROW_HEAD, t.data(), t.size());
  return r;
}

Rec item(int type, std::string_view proc, int image_no, int row, int col, std::string_view app,
         std::string_view field, const Values& more) {
  return rec("ITEM", with(owner(type, proc, image_no), with({{"row", std::to_string(row)},
                                                             {"col", std::to_string(col)},
                                                             {"app", std::string(app)},
                                                             {"field", std::string(field)}},
                                                            more)));
}

Rec chr(int type, std::string_view proc, int image_no, int row, int col, int rows, int cols, const Values& more) {
  return rec("CHR", with(with(owner(type, proc, image_no), {{"row", std::to_string(row)},
                                                            {"col", std::to_string(col)},
                                                            {"rows", std::to_string(rows)},
                                                            {"cols", std::to_string(cols)}}),
                         more));
}

Rec menu_option(std::string_view menu, int option, int child_type, std::string_view child_app,
                std::string_view child_name, int image_no) {
  return rec("CHILD", with(owner(1, menu, image_no), {{"disc", std::to_string(option)},
                                                      {"child_no", std::to_string(option)},
                                                      {"ch_type", std::to_string(child_type)},
                                                      {"ch_app", std::string(child_app)},
                                                      {"ch_name", std::string(child_name)}}));
}

Rec appl(std::string_view app, std::string_view ver, std::string_view title) {
  return rec("APPL", {{"app", std::string(app)},
                      {"ver", std::string(ver)},
                      {"title", std::string(title)},
                      {"stamp", "2026-01-01T00:00:00"}});
}

Rec param(std::string_view menu) { return rec("PARAM", {{"menu[1]", std::string(menu)}}); }

Rec user(std::string_view id, std::string_view name) {
  return rec("USER", {{"id", std::string(id)}, {"name", std::string(name)}});
}

bool menu_app(const char* app, std::string_view menu, const std::vector<std::string>& options) {
  std::vector<Rec> procs{process(1, menu, menu)}, frames{frame(1, menu, 1, 1, true)}, children, rows;
  rows.push_back(row(1, menu, 1, 1, "  " + std::string(menu)));
  int n = 0;
  for (const std::string& o : options) {
    procs.push_back(process(1, o, o));
    frames.push_back(frame(1, o, 1, 1, true));
    children.push_back(menu_option(menu, ++n, 1, app, o));
    rows.push_back(row(1, menu, 1, n + 1, "  " + std::to_string(n) + "  " + o));
  }
  return write("APPL", nullptr, nullptr, {appl(app, "00")}) == 1 &&
         write("PARAM", app, "00", {param(menu)}) == 1 &&
         write("PROCESS", app, "00", procs) == int(procs.size()) &&
         write("FRAME", app, "00", frames) == int(frames.size()) &&
         write("IMAGE", app, "00", {image(1, menu, 1, n + 1, 40)}) == 1 &&
         write("ROW", app, "00", rows) == int(rows.size()) &&
         write("CHILD", app, "00", children) == int(children.size());
}

}  // namespace fx
