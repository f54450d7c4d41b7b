// The generator: see gen.h.
#include "gen.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <set>

#include "design/sefile.h"
#include "dictionary/bs.h"
#include "dictionary/dd1.h"
#include "dictionary/dd2.h"
#include "files/dictenc.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "foundation/cvdat.h"
#include "foundation/mm.h"
#include "foundation/ut.h"
#include "model.h"
#include "register.h"
#include "value.h"

namespace fs = std::filesystem;

namespace qg {

namespace {

std::string pad(const std::string& s, size_t n) {
  std::string r = s.substr(0, n);
  r.resize(n, ' ');
  return r;
}

std::string trim_right(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// One field of a file as records and elements see it.
struct Fld {
  std::string src_name;   // name in the sources
  std::string elem_name;  // ELEMENT name
  FieldForm form;              // type, offset, length, occurrences, sign, decimals
  const DictField* df = nullptr;  // a declared field: its entry in the list
  bool has_initial = false, has_null = false;
  std::string initial, null_text, mask, label;
  Pos at, initial_at, null_at;
  int key = -1;
  bool dup = false;
  int justify = 0;
  int stamp = -1;
  int usage = 0;  // the special usage code that gives the compiler its slot
  int scan = 0;   // scan code, 0 none
  std::string lookup_app, lookup_file, lookup_field;  // the look-up reference, blank none
};

struct KeySeg {
  int off, len, type;  // FM_SEG_ALPHA / FM_SEG_BINARY
};
struct Key {
  int no;
  bool dup;
  std::vector<KeySeg> segs;
};

struct GFile {
  std::string app, name;  // name trimmed
  std::string desc;
  Pos at;
  int fclass = 1, org = 2;
  bool var = false;
  int rec_len = 0;
  std::vector<Fld> flds;
  std::vector<DElem> model;  // each field as the element it describes (design)
  std::vector<Key> keys;
  const DictRecDesc* decl = nullptr;
  std::vector<uint8_t> init, null;
  FmArb* mem = nullptr;  // its records (disk files)
  const Fld* fld(const std::string& src) const {
    for (const Fld& f : flds)
      if (f.src_name == src) return &f;
    return nullptr;
  }
};

// The applications the bootstrap makes data files of (and 0DB).
bool system_app(const std::string& app) { return app == "0AD" || app == "0LA" || app == "0DB" || app == "0SA"; }

const char* kProcTypes[] = {"", "menu", "input", "output", "action", "query", "subroutine",
                            "update", "job", "inquiry", "status"};

class Gen {
 public:
  Gen(Errors* e, std::vector<GenFile>* m, std::vector<std::vector<uint8_t>>* w)
      : errs(*e), made(m), work_model(w) {}
  bool run(const std::vector<std::string>& src_roots, const std::string& out_dir);

 private:
  Errors& errs;
  std::vector<GenFile>* made;
  std::vector<std::vector<uint8_t>>* work_model;
  Sources src;
  std::vector<GFile> files;
  std::map<std::string, size_t> file_ix;  // name -> files index
  std::vector<Fld> work;                  // work fields ("0LA" and any other)
  std::set<std::string> elem_names;       // every element of the dictionary
  MmPool pool = 0;
  uint8_t stamp[8] = {};
  std::string tmp;

  // Where a fault of the design dictionary as a whole is reported.
  Pos design_pos() const {
    const App* a = src.app("0AD");
    return Pos{a ? a->dir : std::string("0AD"), 0, 0};
  }
  GFile* file(const std::string& name) {
    auto it = file_ix.find(name);
    return it == file_ix.end() ? nullptr : &files[it->second];
  }
  uint8_t* alloc(size_t n) {
    auto* p = static_cast<uint8_t*>(MM_ALLOC(pool, n ? n : 1));
    std::memset(p, 0, n ? n : 1);
    return p;
  }
  bool layouts();
  bool layout_declared(const App& a, const FileDef& d, GFile* g);
  bool layout_defined(const App& a, const FileDef& d, GFile* g);
  bool field_of(const FieldDef& fd, int off, Fld* f);
  void images(GFile* g);
  bool open_mem();
  bool put(GFile* g, const std::vector<uint8_t>& rec, const Pos& at, const std::string& what);
  void dictionary();
  void design(GFile& g, bool work_fields = false);
  void compile();
  void check_layouts();
  std::vector<uint8_t> compiled_image(const GFile& g, int kind);
  bool design_plan(const GFile& g, const std::vector<DElem>& data, const DElem& tmpl, std::vector<DElem>* plan,
                   std::string* why);
  uint32_t design_no = 1;  // numbers of the design records of files
  bool records_texts();
  bool encode_record(GFile* g, const Block& b, std::vector<uint8_t>* rec,
                     const std::set<std::string>& structural, const std::set<std::string>& optional = {});
  bool processes();
  bool statements();
  bool process_defined(int type, const std::string& name);
  void sysdir();
  bool summaries();
  bool raws();
};

// ------------------------------------------------------ design records --

bool date_type(int type) { return type == 3 || type == 4 || type == 6 || type == 7 || type == 9 || type == 10; }

// The mask of a date element's unit range, for a date the sources give no
// mask: the engine's default date mask (what shows a date without a mask of
// its own) cut to the units, separators between them kept, when it has each
// of them ("06/05/0807" for a day's date); else the units alone.
std::string date_mask(const DElem& e) {
  std::string units;
  bool julian = e.type == 3 || e.type == 6 || e.type == 9;
  for (int u = e.digits; u >= e.decimals; --u) {
    if (julian && u == 6) continue;
    units += julian && u == 5 ? "005" : "0" + std::to_string(u);
  }
  if (julian) return units;
  char text[60];
  ut_get_date_msk("0AD", "00", text);
  std::string dflt = trim_right(std::string(text, 60));
  if (dflt.find_first_of("\"\\") != std::string::npos) return units;
  std::string out, sep;
  std::set<int> kept;
  for (size_t i = 0; i < dflt.size();) {
    if (dflt[i] == '0' && i + 1 < dflt.size() && dflt[i + 1] >= '1' && dflt[i + 1] <= '8') {
      int u = dflt[i + 1] - '0';
      if (u <= e.digits && u >= e.decimals) {
        if (!kept.empty()) out += sep;
        out += dflt.substr(i, 2);
        kept.insert(u);
      }
      sep.clear();
      i += 2;
    } else {
      sep += dflt[i++];
    }
  }
  return int(kept.size()) == e.digits - e.decimals + 1 ? out : units;
}

bool all_blank(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] != ' ') return false;
  return true;
}

// ----------------------------------------------------------- layouts --

bool Gen::layout_declared(const App& a, const FileDef& d, GFile* g) {
  g->decl = dict_rec_find(pad(d.name, 8).c_str());
  if (!g->decl || !*g->decl->builder) {
    errs.add(d.at, "no declaration of a file " + d.name + " in the engine");
    return false;
  }
  const FmCatEntry* e = fm_cat_find(g->decl->builder);
  if (!e) {
    errs.add(d.at, "file " + d.name + " is not in the catalogue");
    return false;
  }
  if (e->fclass != d.fclass) {
    errs.add(d.at, std::string("the catalogue describes ") + d.name + " as a " +
                       (e->fclass == 1 ? "disk" : "memory-resident") + " file");
    return false;
  }
  g->rec_len = e->rec_len;
  g->var = e->var != 0;
  // The catalogue's keys, through its own builder.
  auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb fdb;
  if (!fm_cat_fill(e, &fdb, kdb, sdb, a.id.c_str(), "00")) {
    errs.add(d.at, "catalogue entry " + std::string(e->builder) + " cannot be filled");
    return false;
  }
  g->org = fdb.org;
  for (int k = 0; k < fdb.key_count; ++k) {
    Key key{kdb[k].key_no, (kdb[k].flags & FM_KEY_DUP) != 0, {}};
    const FmSdb* s = kdb[k].segs.get();
    for (int j = 0; j < kdb[k].seg_count; ++j) key.segs.push_back({s[j].offset, s[j].length, s[j].type});
    g->keys.push_back(key);
  }
  std::string prefix = trim_right(std::string(g->decl->file, 8));
  for (int i = 0; i < g->decl->count; ++i) {
    const DictField& df = g->decl->fields[i];
    Fld f;
    f.src_name = df.name;
    std::string en = prefix + "_" + df.name;
    for (char& c : en) c = char(std::toupper(static_cast<unsigned char>(c)));
    f.elem_name = en;
    f.form = FieldForm{df.type, df.offset, df.width, df.occurs, false, 0, true};
    f.df = &df;
    f.at = d.at;
    g->flds.push_back(f);
  }
  // Options the definition gives for declared fields.
  for (const FieldDef& fd : d.fields) {
    Fld* f = nullptr;
    for (Fld& x : g->flds)
      if (x.src_name == fd.name) f = &x;
    if (!f) {
      errs.add(fd.at, "the declaration of " + d.name + " has no field \"" + fd.name + "\"");
      continue;
    }
    if (fd.key >= 0) errs.add(fd.at, "a declared file takes its keys from the catalogue");
    f->has_initial = fd.has_initial;
    f->initial = fd.initial;
    f->initial_at = fd.initial_at;
    f->has_null = fd.has_null;
    f->null_text = fd.null_text;
    f->null_at = fd.null_at;
    if (fd.has_label) f->label = fd.label;
    if (fd.scan || !fd.lookup_app.empty())
      errs.add(fd.at, "a declared file's field takes no \"scan\" or \"lookup\"");
  }
  return true;
}

// A field of the sources at offset off, with its values and their places:
// false (the error noted) when its form is refused.
bool Gen::field_of(const FieldDef& fd, int off, Fld* f) {
  f->src_name = f->elem_name = fd.name;
  f->form = FieldForm{fd.type, off, fd.len, fd.occurs, fd.is_signed, fd.decimals, false};
  std::string why = date_range(&f->form, fd.mask);
  if (why.empty()) why = form_check(f->form);
  if (why.empty() && fd.justify && fd.type != 1 && fd.type != 2 && fd.type != 13)
    why = "\"just\" is a rule of text fields";
  if (why.empty() && (fd.type == 1 || fd.type == 2 || fd.type == 13) && !fd.mask.empty() &&
      int(fd.mask.size()) != fd.len)
    why = "the mask of a text field has one character for each of its " + std::to_string(fd.len) + " bytes";
  if (!why.empty()) {
    errs.add(fd.at, why);
    return false;
  }
  f->has_initial = fd.has_initial;
  f->initial = fd.initial;
  f->initial_at = fd.initial_at;
  f->has_null = fd.has_null;
  f->null_text = fd.null_text;
  f->null_at = fd.null_at;
  f->mask = fd.mask;
  f->label = fd.label;
  f->justify = fd.justify;
  f->stamp = fd.stamp;
  f->scan = fd.scan;
  f->lookup_app = fd.lookup_app;
  f->lookup_file = fd.lookup_file;
  f->lookup_field = fd.lookup_field;
  f->at = fd.at;
  if (fd.stamp >= 0) {
    // The special usage code that makes the dictionary compiler put the
    // field in slot `stamp` of its file: by the field's kind.
    int t = fd.type, s = fd.stamp;
    bool text = t == 0 || t == 1 || t == 2 || t == 13;
    if (text && s >= 6) f->usage = s - 4;
    else if (text && s <= 1) f->usage = s + 6;
    else if (is_date_type(t) && (s == 4 || s == 5)) f->usage = s - 2;
    else if ((t == 5 || t == 8 || t == 12) && (s == 2 || s == 3)) f->usage = s;
    else if (t == 11 && s <= 1) f->usage = s + 2;
    if (!f->usage) {
      errs.add(fd.at, "\"stamp " + std::to_string(s) + "\": slots 0 and 1 take a text or logic field, 2 and 3 a "
                      "number, 4 and 5 a date, 6-9 a text field");
      return false;
    }
  }
  return true;
}

bool Gen::layout_defined(const App&, const FileDef& d, GFile* g) {
  int off = 0;
  for (const FieldDef& fd : d.fields) {
    if (!fd.typed) continue;
    Fld f;
    if (!field_of(fd, off, &f)) continue;
    f.key = fd.key;
    f.dup = fd.dup;
    off += f.form.len * fd.occurs;
    g->flds.push_back(f);
  }
  if (off > int(FM_MAX_REC)) {
    errs.add(d.at, "record of " + d.name + " longer than a file's records may be (" + std::to_string(off) +
                       " bytes, at most 32767)");
    return false;
  }
  if (off == 0) {
    errs.add(d.at, "file " + d.name + " has no fields");
    return false;
  }
  g->rec_len = off;
  // Fields of one key number are its segments, in the record's order.
  std::map<int, std::vector<const Fld*>> parts;
  for (const Fld& f : g->flds)
    if (f.key >= 0) parts[f.key].push_back(&f);
  int n = 0;
  for (auto& [no, fs] : parts) {
    if (no != n) {
      errs.add(fs[0]->at, "keys are numbered 0, 1, 2 ... without a gap (key " + std::to_string(n) + " missing)");
      return false;
    }
    Key k{no, false, {}};
    int len = 0;
    for (const Fld* f : fs) {
      k.dup = k.dup || f->dup;
      int segtype = f->form.type == 5 ? FM_SEG_BINARY : FM_SEG_ALPHA;
      for (int o = 0; o < f->form.occurs; ++o)
        k.segs.push_back({f->form.off + o * f->form.len, f->form.len, segtype});
      len += f->form.len * f->form.occurs;
    }
    if (len > int(FM_MAX_KEY_LEN)) errs.add(fs.back()->at, "a key is at most 255 bytes");
    g->keys.push_back(k);
    ++n;
  }
  g->org = d.single ? FM_ORG_SINGLE : (g->keys.empty() ? FM_ORG_PLAIN : FM_ORG_KEYED);
  return true;
}

// Encodes a value into occurrence occ of a field: the shared field encoders
// for a declared field, the dictionary's types for a defined one.
bool encode_at(const Fld& f, int occ, const std::string& text, uint8_t* rec, std::string* why) {
  if (f.df) return dict_encode(*f.df, occ, text, rec, why);
  if (text.empty()) return true;  // an empty value keeps the INITIAL bytes
  return encode_value(f.form, text, rec + f.form.off + occ * f.form.len, why);
}

void Gen::images(GFile* g) {
  g->init.assign(size_t(g->rec_len), ' ');
  g->null.assign(size_t(g->rec_len), ' ');
  if (g->decl) {
    dict_image(*g->decl, 1, g->init.data());
    dict_image(*g->decl, 2, g->null.data());
  }
  for (const Fld& f : g->flds) {
    std::string why;
    uint8_t* n = g->null.data() + f.form.off;
    uint8_t* i = g->init.data() + f.form.off;
    if (!f.df) default_images(f.form, i, n);
    if (f.has_null && !encode_at(f, 0, f.null_text, g->null.data(), &why))
      errs.add(f.null_at, "null value: " + why);
    if (f.has_initial) {
      if (!encode_at(f, 0, f.initial, g->init.data(), &why)) errs.add(f.initial_at, "initial value: " + why);
    } else if (!f.df) {
      std::memcpy(i, n, size_t(f.form.len));  // an empty initial text takes the null value
    }
    for (int o = 1; o < f.form.occurs; ++o) {
      std::memcpy(n + o * f.form.len, n, size_t(f.form.len));
      std::memcpy(i + o * f.form.len, i, size_t(f.form.len));
    }
  }
}

bool Gen::layouts() {
  size_t before = errs.list.size();
  for (const App& a : src.apps) {
    for (const FileDef& d : a.files) {
      files.emplace_back();
      GFile& g = files.back();
      g.app = a.id;
      g.name = d.name;
      g.desc = d.desc;
      g.at = d.at;
      g.fclass = d.fclass;
      bool ok = d.declared ? layout_declared(a, d, &g) : layout_defined(a, d, &g);
      if (!ok) {
        files.pop_back();
        continue;
      }
      images(&g);
      file_ix[g.name] = files.size() - 1;
    }
    for (const FieldDef& fd : a.work) {
      Fld f;
      if (!field_of(fd, 0, &f)) continue;
      std::string why;
      std::vector<uint8_t> probe(size_t(f.form.len), ' ');
      if (fd.has_initial && !encode_value(f.form, fd.initial, probe.data(), &why))
        errs.add(fd.initial_at, "initial value: " + why);
      work.push_back(f);
    }
  }
  // Element names: one dictionary, one name.
  std::map<std::string, Pos> names;
  auto claim = [&](const std::string& n, const Pos& at, const std::string& what) {
    if (n.size() > 22) {
      errs.add(at, "element name \"" + n + "\" (" + what + ") is longer than 22 characters");
      return;
    }
    auto [it, fresh] = names.emplace(n, at);
    elem_names.insert(n);
    if (!fresh)
      errs.add(at, "element name \"" + n + "\" (" + what + ") is also given at " + it->second.file + ":" +
                       std::to_string(it->second.line));
  };
  for (const GFile& g : files)
    for (const Fld& f : g.flds) claim(f.elem_name, f.at, "field of " + g.name);
  for (const Fld& f : work) claim(f.elem_name, f.at, "work field");
  return errs.list.size() == before;
}

// ------------------------------------------------------ memory files --

bool Gen::open_mem() {
  for (GFile& g : files) {
    if (g.fclass != 1) continue;
    auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * (g.keys.size() + 1)));
    size_t nseg = 0;
    for (const Key& k : g.keys) nseg += k.segs.size();
    auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb) * (nseg + 1)));
    FmSdb* s = sdb;
    for (size_t k = 0; k < g.keys.size(); ++k) {
      FmSdb* first = s;
      int j = 0;
      for (const KeySeg& ks : g.keys[k].segs) init_sdb_func(s++, ++j, ks.off, ks.len, ks.type, '+');
      INIT_KDB(&kdb[k], g.keys[k].no, '+', g.keys[k].dup ? 9 : 8, first, j);
    }
    FmFdb fdb;
    INIT_FDB(&fdb, FM_CLASS_MEMORY, g.rec_len, g.var ? 1 : 0, g.keys.empty() ? nullptr : kdb,
             int(g.keys.size()));
    INIT_SRC_PATH(&fdb, g.app.c_str(), "00", pad(g.name, 8).c_str(), FM_PT_DATA);
    fdb.fclass = FM_CLASS_MEMORY;
    if (!FM_CREATE(&fdb, com.depth, 100, FM_OPT_BASE, 15, 15)) {
      errs.add(g.at, "cannot make the memory file of " + g.name + ": status " + std::to_string(fdb.status));
      return false;
    }
    g.mem = fdb.handle.get();
  }
  return true;
}

bool Gen::put(GFile* g, const std::vector<uint8_t>& rec, const Pos& at, const std::string& what) {
  if (!g->mem) {
    errs.add(at, what + ": " + g->name + " is memory-resident, it keeps no records");
    return false;
  }
  uint8_t* b = alloc(rec.size());
  std::memcpy(b, rec.data(), rec.size());
  FmArb* a = g->mem;
  a->rec.set(b);
  a->rec_len = uint16_t(rec.size());
  a->op = 0;
  if (!fm_write(a)) {
    if (a->status == FM_ST_DUP_KEY)
      errs.add(at, what + ": a record with the same key is already in " + g->name);
    else
      errs.add(at, what + ": cannot write into " + g->name + " (status " + std::to_string(a->status) + ")");
    return false;
  }
  return true;
}

// -------------------------------------------------------- dictionary --

// The design records of a file's fields (or of one work field): each field
// as the element it describes (the FIELD record shares ELEMENT's first 300
// bytes), planned with the file's keys (design_plan), then its FIELD and,
// for a data field, a DOMAIN of its own. The dictionary compiler builds the
// compiled records from them.
void Gen::design(GFile& g, bool work_fields) {
  GFile* fld = file("FIELD");
  GFile* dom = file("DOMAIN");
  if (!fld || !dom || !fld->mem || !dom->mem) {
    errs.add(design_pos(), "the design dictionary needs FIELD and DOMAIN");
    return;
  }
  std::string fname = pad(g.name, 8);
  auto base = [&](const Fld& f) {
    DElem e;
    std::memset(&e, ' ', sizeof e);
    e.area = 0;
    e.work = work_fields ? '1' : '0';
    e.name.set(f.elem_name);
    e.kind = 1;
    e.domain.set("");
    e.offset = uint16_t(f.form.off);
    e.length = uint16_t(f.form.len);
    e.occurs = uint16_t(f.form.occurs);
    e.file.set(fname);
    // the identity stamp is the field's own: the day of the stamp and the
    // field's number (set below)
    std::memcpy(e.ident_stamp.b, stamp, 8);
    std::memcpy(e.stamp2.b, stamp, 8);
    std::memcpy(e.cmpl_stamp.b, stamp, 8);
    e.flag92 = '0';
    e.b93 = 0;
    e.b94 = uint8_t(f.scan);
    e.label.set(f.label.empty() ? f.elem_name : f.label);
    e.heading1.set("");
    e.heading2.set(f.label.empty() ? f.elem_name : f.label);
    e.b185 = 0;
    e.share_a = 0;
    e.share_b = 0;
    e.usage = uint8_t(f.usage);
    e.key_kind = 255;
    e.key_no = 255;
    e.key_order = ' ';
    e.key_dups = ' ';
    e.low_given = 255;
    e.high_given = 255;
    e.ref_app.set(f.lookup_app);
    e.ref_file.set(f.lookup_file);
    e.ref_field.set(f.lookup_field);
    e.field_no = 0;
    e.type = uint8_t(f.form.type);
    e.initial.set(f.has_initial ? f.initial : "");
    e.null_value.set(f.has_null ? f.null_text : "");
    e.mask.set(f.mask);
    e.rng_code1 = 255;
    e.rng_code2 = 255;
    e.token_mark = 0;
    e.case_code = 2;
    e.b581 = 0;
    e.justify = uint8_t(f.justify);
    e.entry_flag = '1';
    e.fill = ' ';
    e.squeeze = '0';
    e.sign = f.form.is_signed ? '1' : '0';
    e.digits = uint8_t(form_digits(f.form));
    // a variable decimal number keeps its own scale: up to 15 decimals
    e.decimals = uint8_t(is_date_type(f.form.type) ? f.form.low : f.form.type == 12 ? 15 : f.form.decimals);
    e.b589 = 0;
    e.b590 = 0;
    e.b591 = '0';
    return e;
  };
  std::vector<DElem> plan;
  for (const Fld& f : g.flds) g.model.push_back(base(f));
  if (work_fields) {
    plan = g.model;
  } else {
    const std::vector<DElem>& data = g.model;
    std::string why;
    if (!design_plan(g, data, base(Fld{}), &plan, &why)) {
      errs.add(g.at, "the keys of " + g.name + " cannot be given as design records: " + why);
      return;
    }
  }
  for (DElem& e : plan) {
    e.number = design_no++;
    rec::view<rec::U32>(e.ident_stamp.b + 4).set(e.number);
    int base_off = 0;
    if (e.kind == 4)
      for (const DElem& b : plan)
        if (b.name == e.domain) base_off = b.offset;
    DesignRecs d = design_records(&e, base_off);
    if (!d.why.empty()) {
      Pos at = g.at;
      for (const Fld& f : g.flds)
        if (f.elem_name == trim_right(std::string(e.name.view()))) at = f.at;
      errs.add(at, trim_right(std::string(e.name.view())) + ": " + d.why);
      continue;
    }
    put(fld, d.field, g.at, "FIELD record of " + std::string(e.name.view()));
    if (!d.domain.empty()) put(dom, d.domain, g.at, "DOMAIN record of " + std::string(e.name.view()));
  }
}

// The compiler's segments of a data element: one per occurrence, binary for
// the binary types (an 8-byte binary date two halves of 4), else alpha.
std::vector<KeySeg> field_segs(const DElem& e) {
  std::vector<KeySeg> v;
  int t = e.type;
  bool bin = t == 5 || t == 6 || t == 7;
  for (int o = 0; o < e.occurs; ++o) {
    int off = e.offset + o * e.length;
    if ((t == 6 || t == 7) && e.length == 8) {
      v.push_back({off, 4, FM_SEG_BINARY});
      v.push_back({off + 4, 4, FM_SEG_BINARY});
    } else {
      v.push_back({off, int(e.length), bin ? FM_SEG_BINARY : FM_SEG_ALPHA});
    }
  }
  return v;
}

bool same_seg(const KeySeg& a, const KeySeg& b) { return a.off == b.off && a.len == b.len && a.type == b.type; }

// The design records of a file's data elements and keys, as the dictionary
// compiler takes them: a key of one field marks that field; a key of
// several is a group header after the data fields, whose members are
// synonyms of its segments' fields. A segment that is part of a field
// splits the field into pieces (the field becomes a group header over
// them); one that covers several fields is a field of its own, and those
// fields become its substrings. So the compiled layout keeps every offset
// and the catalogue's key segments.
bool Gen::design_plan(const GFile& g, const std::vector<DElem>& data_in, const DElem& tmpl, std::vector<DElem>* plan,
                      std::string* why) {
  std::vector<DElem> data = data_in;
  for (DElem& e : data) {
    e.key_kind = 255;
    e.key_no = 255;
    e.key_order = ' ';
    e.key_dups = ' ';
  }
  auto unit_at = [&](int off) -> int {
    for (size_t i = 0; i < data.size(); ++i)
      if (off >= data[i].offset && off < data[i].offset + data[i].length * data[i].occurs) return int(i);
    return -1;
  };
  auto piece = [&](int off, int len, int type) {
    DElem p = tmpl;
    std::string n = g.name + " P" + std::to_string(off);
    p.name.set(n);
    p.label.set(n);
    p.heading2.set(n);
    p.kind = 1;
    p.offset = uint16_t(off);
    p.length = uint16_t(len);
    p.occurs = 1;
    p.type = uint8_t(type == FM_SEG_BINARY ? 5 : 1);
    p.digits = uint8_t(type == FM_SEG_BINARY ? (len == 1 ? 3 : len == 2 ? 5 : 10) : 0);
    p.decimals = 0;
    return p;
  };
  // Pass 1: the segments no whole field gives.
  std::map<int, std::vector<DElem>> pieces;  // unit -> its pieces (split)
  std::map<int, DElem> merged;                // first unit -> the field over several
  std::map<int, int> merged_into;             // unit -> first unit of its merge
  for (const Key& k : g.keys)
    for (size_t i = 0; i < k.segs.size();) {
      const KeySeg& s = k.segs[i];
      int u = unit_at(s.off);
      if (u < 0) {
        *why = "no field at offset " + std::to_string(s.off);
        return false;
      }
      const DElem& d = data[size_t(u)];
      std::vector<KeySeg> fs = field_segs(d);
      bool whole = d.offset == s.off && i + fs.size() <= k.segs.size();
      for (size_t j = 0; whole && j < fs.size(); ++j) whole = same_seg(fs[j], k.segs[i + j]);
      if (whole) {
        i += fs.size();
        continue;
      }
      int end = s.off + s.len, dend = d.offset + d.length * d.occurs;
      if (end <= dend) {
        if (s.type == FM_SEG_BINARY && s.len != 1 && s.len != 2 && s.len != 4) {
          *why = "a binary segment of " + std::to_string(s.len) + " bytes";
          return false;
        }
        std::vector<DElem>& ps = pieces[u];
        bool have = false;
        for (const DElem& p : ps) have = have || (p.offset == s.off && p.length == s.len);
        if (!have) ps.push_back(piece(s.off, s.len, s.type));
      } else {
        int last = u;
        while (last + 1 < int(data.size()) && data[size_t(last)].offset + data[size_t(last)].length < end) ++last;
        const DElem& l = data[size_t(last)];
        if (d.offset != s.off || l.offset + l.length * l.occurs != end) {
          *why = "a segment " + std::to_string(s.off) + "+" + std::to_string(s.len) + " across fields";
          return false;
        }
        merged[u] = piece(s.off, s.len, s.type);
        for (int x = u; x <= last; ++x) merged_into[x] = u;
      }
      ++i;
    }
  // The data elements in record order: pieces fill their field (the rest
  // alpha), a merged field stands for the fields it covers.
  std::vector<DElem> subs;
  for (size_t i = 0; i < data.size(); ++i) {
    const DElem& d = data[i];
    auto m = merged_into.find(int(i));
    if (m != merged_into.end()) {
      if (m->second == int(i)) plan->push_back(merged[int(i)]);
      DElem sub = d;
      sub.kind = 4;
      sub.domain = merged[m->second].name;
      subs.push_back(sub);
      continue;
    }
    auto p = pieces.find(int(i));
    if (p == pieces.end()) {
      plan->push_back(d);
      continue;
    }
    std::vector<DElem> ps = p->second;
    std::sort(ps.begin(), ps.end(), [](const DElem& a, const DElem& b) { return a.offset < b.offset; });
    std::vector<DElem> filled;
    int at = d.offset, end = d.offset + d.length * d.occurs;
    for (const DElem& x : ps) {
      if (x.offset > at) filled.push_back(piece(at, x.offset - at, FM_SEG_ALPHA));
      filled.push_back(x);
      at = x.offset + x.length;
    }
    if (at < end) filled.push_back(piece(at, end - at, FM_SEG_ALPHA));
    DElem h = d;
    h.kind = 2;
    h.domain = filled.back().name;
    plan->push_back(h);
    for (const DElem& x : filled) plan->push_back(x);
  }
  for (const DElem& x : subs) plan->push_back(x);
  // Pass 2: the keys over the data elements of the plan. The compiler gives
  // the FILE key slots in the order it meets the keys' entries, so a key
  // stays on its one field only while that keeps the keys in number order.
  size_t last_single = 0;
  bool any_group = false;
  for (size_t k = 0; k < g.keys.size(); ++k) {
    const Key& key = g.keys[k];
    std::vector<size_t> members;
    for (size_t i = 0; i < key.segs.size();) {
      size_t found = plan->size();
      std::vector<KeySeg> fs;
      for (size_t x = 0; x < plan->size() && found == plan->size(); ++x) {
        const DElem& d = (*plan)[x];
        if (d.kind != 1 || d.offset != key.segs[i].off) continue;
        fs = field_segs(d);
        bool ok = i + fs.size() <= key.segs.size();
        for (size_t j = 0; ok && j < fs.size(); ++j) ok = same_seg(fs[j], key.segs[i + j]);
        if (ok) found = x;
      }
      if (found == plan->size()) {
        *why = "key " + std::to_string(key.no) + ": no field gives segment " + std::to_string(key.segs[i].off) +
               "+" + std::to_string(key.segs[i].len);
        return false;
      }
      members.push_back(found);
      i += fs.size();
    }
    auto mark = [&](DElem& e) {
      e.key_kind = uint8_t(key.no == 0 ? 0 : 1);
      e.key_no = uint8_t(key.no);
      e.key_order = '+';
      e.key_dups = key.dup ? '1' : '0';
    };
    if (members.size() == 1 && (*plan)[members[0]].key_kind == 255 && !any_group &&
        (k == 0 || members[0] > last_single)) {
      mark((*plan)[members[0]]);
      last_single = members[0];
      continue;
    }
    any_group = true;
    DElem h = tmpl;
    std::string hn = g.name + " KEY" + std::to_string(k);
    h.name.set(hn);
    h.label.set(hn);
    h.heading2.set(hn);
    h.kind = 2;
    h.occurs = 1;
    mark(h);
    std::vector<DElem> syn;
    for (size_t j = 0; j < members.size(); ++j) {
      DElem sy = (*plan)[members[j]];
      std::string sn = g.name + " K" + std::to_string(k) + "S" + std::to_string(j + 1);
      sy.name.set(sn);
      sy.label.set(sn);
      sy.heading2.set(sn);
      sy.kind = 5;
      sy.domain = (*plan)[members[j]].name;
      sy.key_kind = 255;
      sy.key_no = 255;
      sy.key_order = '+';  // the order of its segment in the key
      sy.key_dups = ' ';
      syn.push_back(sy);
    }
    h.domain = syn.back().name;
    plan->push_back(h);
    for (const DElem& x : syn) plan->push_back(x);
  }
  return true;
}

void Gen::dictionary() {
  GFile* rc = file("RECORD");
  for (const char* n : {"FILE", "RECORD", "ELEMENT", "INITIAL", "BITMAP", "FIELD", "DOMAIN", "TOKEN"}) {
    GFile* g = file(n);
    if (!g || !g->mem) {
      errs.add(design_pos(), std::string("the design dictionary needs FILE, RECORD, FIELD, DOMAIN, TOKEN, ELEMENT, "
                                         "INITIAL and BITMAP (") + n + " is missing)");
      return;
    }
  }
  // The design records: a file's RECORD (to be compiled) and its fields.
  for (GFile& g : files) {
    DRecord r;
    std::memset(&r, ' ', sizeof r);
    r.name.set(pad(g.name, 8));
    r.ftype = uint8_t(g.fclass);
    r.org = uint8_t(g.org);
    r.b14.set("0");
    r.var.set(g.var ? "1" : "0");
    r.flag20.set("0");
    r.flag21.set("0");
    r.desc.set(g.desc);
    r.b95 = 0;
    r.share[0] = 0;
    r.share[1] = 0;
    r.rec_len = uint16_t(g.rec_len);
    r.area = 0;
    r.area2 = 0;
    std::memcpy(r.stamp.b, stamp, 8);
    std::memset(r.cmpl_stamp.b, 0xFF, 8);  // must compile
    std::memset(r.struct_stamp.b, 0, 8);
    for (auto& u : r.usage) u = 0;
    // the keys as defined (the compiler takes them from the fields)
    r.key_count = uint8_t(g.keys.size());
    for (auto& c : r.seg_count) c = 0;
    for (auto& l : r.key_len) l = 0;
    for (size_t k = 0; k < g.keys.size(); ++k) {
      int len = 0;
      for (const KeySeg& sg : g.keys[k].segs) len += sg.len;
      r.seg_count[k] = uint8_t(g.keys[k].segs.size());
      if (k < 7) r.key_len[k] = uint16_t(len);
    }
    std::vector<uint8_t> b(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + sizeof r);
    put(rc, b, g.at, "RECORD record of " + g.name);
    design(g);
  }
  for (const Fld& w : work) {
    GFile none;
    none.flds.push_back(w);
    none.at = w.at;
    design(none, true);
    if (work_model) work_model->emplace_back(reinterpret_cast<const uint8_t*>(&none.model[0]),
                                             reinterpret_cast<const uint8_t*>(&none.model[0]) + sizeof(DElem));
  }
  if (!errs.any()) compile();
}

// Reads the records of f from the first whose key k is at least the len bytes
// of prefix, in key order, each to fn(record, length read) until fn answers
// false (the caller tells where its records end).
template <class Fn>
void read_prefix(FmArb* f, int k, const void* prefix, size_t len, size_t rec_len, MmPool pool, Fn fn) {
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool, rec_len));
  std::memset(b, ' ', rec_len);
  auto* key = static_cast<uint8_t*>(MM_ALLOC(pool, len ? len : 1));
  std::memcpy(key, prefix, len);
  PROTO_FULL(f, k, b);
  f->rec_len = uint16_t(rec_len);
  f->key.set(key);
  f->key_len = uint16_t(len);
  f->op = FM_OP_AT | FM_OP_KEY;
  if (fm_start(f))
    for (;;) {
      f->op = 0;
      if (!fm_rdnxt(f)) break;
      if (!fn(b, size_t(f->len_read))) break;
    }
  mm_free(b);
  mm_free(key);
}

// The dictionary compiler over the design records, file by file and then the
// work fields, into the memory files: stamps from the fixed stamp on, so the
// same sources give the same bytes. Every message of type error or worse is
// an error at the file's definition (or the work field's).
void Gen::compile() {
  DdFiles df;
  df.elem = file("ELEMENT")->mem;
  df.dom = file("DOMAIN")->mem;
  df.fld = file("FIELD")->mem;
  df.file = file("FILE")->mem;
  df.rec = file("RECORD")->mem;
  df.bitmap = file("BITMAP")->mem;
  df.token = file("TOKEN")->mem;
  df.init = file("INITIAL")->mem;
  FmArb *m1 = nullptr, *m2 = nullptr;
  if (!dd_msg_create(1, com.depth, &m1) || !dd_msg_create(2, com.depth, &m2)) {
    errs.add(design_pos(), "cannot make the dictionary compiler's message files");
    return;
  }
  // a summary file named in the environment would take the compiler's summaries
  unsetenv("DD_SUMMARY_FILE");
  dd_stamp_from(stamp);
  auto run = [&](const std::string& app, const std::string& name, const Pos& at, bool work_fields) {
    std::string target = pad(app, 3) + "00" + pad(name, 8);
    if (::mark(0, [&] { dd_cmpl(1, target.c_str(), m1, m2, &df); }) != 1) {
      errs.add(at, "the dictionary compiler stopped on " + (work_fields ? std::string("the work fields") : name) +
                       " (a system error)");
      return;
    }
    read_prefix(m2, 0, target.data(), 13, sizeof(DMsg2), pool, [&](const uint8_t* r, size_t) {
      const DMsg2& m = rec::view<DMsg2>(r);
      if (std::memcmp(r, target.data(), 13) != 0) return false;
      // a binary field off its alignment is where the definition puts it
      // (the engine's declarations among them): the compile goes on
      uint32_t n = m.number.get();
      bool filler = n == 100045 || n == 100055 || n == 100065;
      if (m.type < 2 || filler) return true;
      Pos p = at;
      std::string obj = trim_right(std::string(m.object.view()));
      if (work_fields)
        for (const Fld& w : work)
          if (w.elem_name == obj) p = w.at;
      errs.add(p, "dictionary compiler message " + std::to_string(n) + " on " + obj + ": " +
                      trim_right(std::string(m.text.data(), std::min<size_t>(m.len, 500))));
      return true;
    });
  };
  for (const GFile& g : files) run(g.app, g.name, g.at, false);
  if (!work.empty()) run("0AD", "*", work.front().at, true);
  dd_stamp_from(nullptr);
  FM_CLOSE(m1, 0);
  FM_CLOSE(m2, 0);
  if (!errs.any()) check_layouts();
}

// The compiled layout of every file against the one the generator took (a
// declared file: the engine's declaration and the catalogue's keys): record
// length, organisation and every key's number, duplicates and segments.
void Gen::check_layouts() {
  FmArb* fi = file("FILE")->mem;
  FmArb* el = file("ELEMENT")->mem;
  for (const GFile& g : files) {
    std::string name = pad(g.name, 8);
    DFile cf;
    bool found = false;
    read_prefix(fi, 0, name.data(), 8, sizeof(DFile), pool, [&](const uint8_t* r, size_t) {
      cf = rec::view<DFile>(r);
      found = std::memcmp(cf.name.data(), name.data(), 8) == 0;
      return false;
    });
    std::vector<DElem> order;
    read_prefix(el, 2, name.data(), 8, sizeof(DElem), pool,
                [&](const uint8_t* r, size_t) {
                  const DElem& e = rec::view<DElem>(r);
                  if (std::memcmp(e.file.data(), name.data(), 8) != 0) return false;
                  order.push_back(e);
                  return true;
                });
    auto wrong = [&](const std::string& what) {
      errs.add(g.at, "the compiled layout of " + g.name + " differs from its definition: " + what);
    };
    if (!found) {
      wrong("no FILE record");
      continue;
    }
    if (cf.rec_len != g.rec_len) wrong("record length " + std::to_string(cf.rec_len.get()));
    if (cf.org != g.org) wrong("organisation " + std::to_string(cf.org.get()));
    if (cf.key_count != g.keys.size()) {
      wrong(std::to_string(cf.key_count.get()) + " keys");
      continue;
    }
    for (size_t k = 0; k < g.keys.size(); ++k) {
      size_t at = 0;
      while (at < order.size() && order[at].number != cf.key_elem[k]) ++at;
      if (at == order.size()) {
        wrong("key " + std::to_string(k) + " has no element");
        continue;
      }
      // the key's segments: its element's, or its group's members'
      std::vector<KeySeg> segs;
      auto add = [&](const DElem& m) {
        for (const KeySeg& s : field_segs(m)) segs.push_back(s);
      };
      if (order[at].kind == 2) {
        for (size_t j = at + 1; j < order.size(); ++j) {
          if (order[j].kind != 2 && order[j].kind != 3) add(order[j]);
          if (order[j].name == order[at].domain) break;
        }
      } else {
        add(order[at]);
      }
      const Key& want = g.keys[k];
      bool same = segs.size() == want.segs.size() && order[at].key_no == want.no &&
                  (order[at].key_dups == '1') == want.dup;
      for (size_t j = 0; same && j < segs.size(); ++j) same = same_seg(segs[j], want.segs[j]);
      if (!same) wrong("key " + std::to_string(k));
    }
  }
}

// The images the compiler wrote into INITIAL for a file: kind 1 the INITIAL
// image, 2 the NULL image.
std::vector<uint8_t> Gen::compiled_image(const GFile& g, int kind) {
  std::vector<uint8_t> img;
  uint8_t key[9];
  std::memcpy(key, pad(g.name, 8).data(), 8);
  key[8] = uint8_t(kind);
  read_prefix(file("INITIAL")->mem, 0, key, 9, sizeof(DInit), pool, [&](const uint8_t* r, size_t n) {
    if (std::memcmp(r, key, 9) != 0) return false;
    if (n > size_t(DINIT_HEAD)) img.insert(img.end(), r + DINIT_HEAD, r + n);
    return true;
  });
  return img;
}

// ------------------------------------------------------------ records --

// Encodes one record from its entries over the file's INITIAL image. Entries
// `NAME[n] = value` set occurrence n; `NAME = value` occurrence 1.
// Fields named in `structural` come from the text's structure and may not
// be given. Stamps not given take the fixed stamp.
bool Gen::encode_record(GFile* g, const Block& b, std::vector<uint8_t>* rec,
                        const std::set<std::string>& structural, const std::set<std::string>& optional) {
  size_t before = errs.list.size();
  *rec = g->init;
  for (const Fld& f : g->flds)
    if (f.form.type == 7 && f.form.declared)
      for (int o = 0; o < f.form.occurs; ++o) {
        uint8_t* p = rec->data() + f.form.off + o * f.form.len;
        std::memcpy(p, stamp, size_t(f.form.len));
      }
  std::set<std::string> given;
  for (const Entry& e : b.entries) {
    std::string name = e.name;
    int occ = 0;  // from 1; 0: not given (occurrence 1)
    size_t lp = name.find('[');
    if (lp != std::string::npos && name.back() == ']') {
      // digits only, read without overflow (a number past any count stays past it)
      std::string n = name.substr(lp + 1, name.size() - lp - 2);
      bool digits = !n.empty() && n.find_first_not_of("0123456789") == std::string::npos;
      occ = 0;
      for (size_t i = 0; digits && i < n.size(); ++i) occ = std::min(occ * 10 + (n[i] - '0'), 1 << 20);
      name = name.substr(0, lp);
      while (!name.empty() && name.back() == ' ') name.pop_back();
      if (!digits || occ < 1) {
        errs.add(e.name_at, "occurrence numbers are 1, 2 ... (\"" + e.name + "\")");
        continue;
      }
    }
    const Fld* f = g->fld(name);
    if (!f) {
      errs.add(e.name_at, "unknown field \"" + name + "\" of " + g->name);
      continue;
    }
    if (structural.count(name)) {
      errs.add(e.name_at, "\"" + name + "\" is given by the text's structure, not by an entry");
      continue;
    }
    if (occ > f->form.occurs) {
      errs.add(e.name_at, "\"" + name + "\" has " + std::to_string(f->form.occurs) + " occurrence(s)");
      continue;
    }
    std::string value = e.value;
    if (f->src_name == "proc_type" && !e.quoted) {
      bool word = false;
      for (int t = 1; t <= 10; ++t)
        if (value == kProcTypes[t]) value = std::to_string(t), word = true;
      if (!word && value.find_first_not_of("0123456789") != std::string::npos) {
        errs.add(e.value_at, "\"proc_type\": menu, input, output, action, query, subroutine, update, job, "
                             "inquiry or status (or its number), not \"" + value + "\"");
        given.insert(name);
        continue;
      }
    }
    std::string why;
    if (!encode_at(*f, occ ? occ - 1 : 0, value, rec->data(), &why)) {
      if (why.rfind(name + ": ", 0) == 0) why.erase(0, name.size() + 2);  // the encoder names the field too
      errs.add(e.value_at, "\"" + name + "\": " + why);
    }
    given.insert(name);
  }
  // Required: the fields of key 0 (outside the structure).
  if (!g->keys.empty())
    for (const KeySeg& s : g->keys[0].segs)
      for (const Fld& f : g->flds)
        if (s.off >= f.form.off && s.off < f.form.off + f.form.len * f.form.occurs && !given.count(f.src_name) &&
            !structural.count(f.src_name) && !optional.count(f.src_name)) {
          errs.add(b.at, "\"" + f.src_name + "\" (part of the key of " + g->name + ") is missing");
          break;
        }
  if (g->var) {
    // a variable-length record ends after its last non-blank byte
    size_t n = rec->size();
    while (n > 1 && (*rec)[n - 1] == ' ') --n;
    rec->resize(n);
  }
  return errs.list.size() == before;
}

bool Gen::records_texts() {
  size_t before = errs.list.size();
  for (const App& a : src.apps)
    for (const Text& t : a.records) {
      if (t.blocks.empty()) continue;
      GFile* g = file(t.blocks[0].args[0].text);
      if (!g) continue;  // reported by the reader
      if (g->app != a.id) {
        errs.add(t.blocks[0].args[0].at, "file " + g->name + " belongs to " + g->app);
        continue;
      }
      if (!system_app(a.id)) {
        errs.add(t.blocks[0].args[0].at, "the bootstrap makes no data files of " + a.id + ": its records would be lost");
        continue;
      }
      int n = 0;
      for (size_t i = 1; i < t.blocks.size(); ++i) {
        std::vector<uint8_t> r;
        if (!encode_record(g, t.blocks[i], &r, {})) continue;
        if (g->org == FM_ORG_SINGLE && ++n > 1) {
          errs.add(t.blocks[i].at, g->name + " holds one record only");
          continue;
        }
        put(g, r, t.blocks[i].at, "record");
      }
    }
  return errs.list.size() == before;
}

// ----------------------------------------------------------- processes --

bool Gen::processes() {
  size_t before = errs.list.size();
  GFile* pr = file("PROCESS");
  GFile* fr = file("FRAME");
  GFile* im = file("IMAGE");
  GFile* rw = file("ROW");
  GFile* it = file("ITEM");
  GFile* ch = file("CHR");
  GFile* cd = file("CHILD");
  bool any = false;
  for (const App& a : src.apps) any = any || !a.processes.empty();
  if (!any) return true;
  if (!pr || !fr || !im || !rw || !it || !ch || !cd) {
    errs.add(design_pos(), "processes need the design files PROCESS, FRAME, IMAGE, ROW, ITEM, CHR, CHILD");
    return false;
  }
  // Every process first: children name them.
  struct P {
    std::string app;
    int type;
  };
  std::map<std::string, P> procs;
  std::set<std::string> refused;
  std::set<std::string> proc_stamps;  // application and stamp
  for (const App& a : src.apps)
    for (const Text& t : a.processes) {
      if (t.blocks.empty()) continue;
      std::vector<uint8_t> r;
      const Block& hb = t.blocks[0];
      if (!encode_record(pr, hb, &r, {"proc_name"})) {
        refused.insert(hb.args[0].text);  // reported; its options' children are not "missing"
        continue;
      }
      DProc& p = rec::view<DProc>(r.data());
      p.proc_name.set(hb.args[0].text);
      if (!hb.find("proc_type")) {
        errs.add(hb.at, "\"proc_type\" (part of the key of PROCESS) is missing");
        refused.insert(hb.args[0].text);
        continue;
      }
      if (p.proc_type < 1 || p.proc_type > 12) {
        errs.add(hb.find("proc_type")->value_at, "process type 1-10 (menu, input ... status)");
        refused.insert(hb.args[0].text);
        continue;
      }
      // the process's own file and its key field are the dictionary's
      if (!p.pcf_file.blank()) {
        std::string fapp = p.pcf_app.blank() ? a.id : trim_right(std::string(p.pcf_app.view()));
        std::string fname = trim_right(std::string(p.pcf_file.view()));
        const Entry* fe = hb.find("pcf_file");
        const GFile* g = file(fname);
        if (!g || g->app != fapp) {
          errs.add(fe ? fe->value_at : hb.at, "\"pcf_file\": no file " + fname + " is defined in " + fapp);
        } else if (!p.pcf_key.blank()) {
          std::string key = trim_right(std::string(p.pcf_key.view()));
          bool found = false;
          for (const Fld& f : g->flds) found = found || f.elem_name == key;
          // or the key of several fields, by its group's name
          for (const Key& k : g->keys)
            found = found || (k.segs.size() > 1 && key == g->name + " KEY" + std::to_string(k.no));
          const Entry* ke = hb.find("pcf_key");
          if (!found) errs.add(ke ? ke->value_at : hb.at, "\"pcf_key\": " + fname + " has no field \"" + key + "\"");
        }
      }
      // A stamp of its own unless the source gives one: a saved module
      // file is named by it, so two processes of one application never
      // share a stamp (a rare equal one moves on by a hundredth).
      if (!hb.find("added") && !hb.find("changed")) {
        const Fld* fa = pr->fld("added");
        const Fld* fc = pr->fld("changed");
        for (uint32_t bump = 0; fa && fc; ++bump) {
          std::string st = dict_proc_stamp(p.proc_type, hb.args[0].text, bump), why;
          encode_at(*fa, 0, st, r.data(), &why);
          encode_at(*fc, 0, st, r.data(), &why);
          if (proc_stamps.insert(a.id + std::string(reinterpret_cast<const char*>(p.added.b), 8)).second) break;
        }
      }
      procs[hb.args[0].text] = P{a.id, p.proc_type};
      put(pr, r, hb.at, "process " + hb.args[0].text);
    }
  const std::set<std::string> owner{"proc_type", "proc_name", "frame_no"};
  for (const App& a : src.apps)
    for (const Text& t : a.processes) {
      if (t.blocks.empty() || !procs.count(t.blocks[0].args[0].text)) continue;
      const std::string pname = t.blocks[0].args[0].text;
      const int ptype = procs[pname].type;
      uint8_t frame_code = 0;
      uint32_t frame_no = 0;
      uint32_t image_no = 0;
      const Block* image = nullptr;
      auto num = [&](const Arg& arg, uint32_t lo, uint32_t hi, uint32_t* out) {
        char* end = nullptr;
        unsigned long v = std::strtoul(arg.text.c_str(), &end, 10);
        if (arg.text.empty() || *end || v < lo || v > hi) {
          errs.add(arg.at, "a number " + std::to_string(lo) + "-" + std::to_string(hi) + " expected");
          return false;
        }
        *out = uint32_t(v);
        return true;
      };
      auto own = [&](std::vector<uint8_t>& r) {
        rec::view<rec::U8>(r.data()) = uint8_t(ptype);
        std::string n = pad(pname, 30);
        std::memcpy(r.data() + 1, n.data(), 30);
        r[31] = frame_code;
        rec::view<rec::U32>(r.data() + 32).set(frame_no);
      };
      bool frame_made = false;
      for (size_t i = 1; i < t.blocks.size(); ++i) {
        const Block& b = t.blocks[i];
        std::vector<uint8_t> r;
        if ((b.kind == "item" || b.kind == "chr" || b.kind == "option") && !image) continue;  // image refused
        if (b.kind == "child" && !frame_made) continue;                                       // frame refused
        if (b.kind == "frame") {
          frame_made = false;
          image = nullptr;
          if (!num(b.args[0], 1, 0x7FFFFFFF, &frame_no)) continue;
          frame_code = 0;
          if (const Entry* e = b.find("frame_code")) frame_code = uint8_t(std::atoi(e->value.c_str()));
          image = nullptr;
          if (!encode_record(fr, b, &r, {"proc_type", "proc_name", "frame_no"}, {"frame_code"})) continue;
          own(r);
          frame_made = true;
          put(fr, r, b.at, "frame");
        } else if (b.kind == "image") {
          image = nullptr;  // until this one is made: its items, characteristics and options wait for it
          if (!num(b.args[0], 1, 255, &image_no)) continue;
          if (!encode_record(im, b, &r, {"proc_type", "proc_name", "frame_code", "frame_no", "image_no"}))
            continue;
          own(r);
          DImage& dim = rec::view<DImage>(r.data());
          dim.image_no = image_no;
          // the drawn screen gives the image's size unless the entries do
          if (!b.find("pos[3]") && !b.rows.empty()) dim.pos[2] = int32_t(b.rows.size());
          if (!b.find("pos[4]") && !b.rows.empty()) {
            size_t w = 0;
            for (const std::string& row : b.rows) w = std::max(w, row.size());
            dim.pos[3] = int32_t(w);
          }
          put(im, r, b.at, "image");
          image = &b;
          // rows and items of the screen
          for (size_t row = 0; row < b.rows.size(); ++row) {
            std::string text = trim_right(b.rows[row]);
            if (text.size() > sizeof(DRow) - DROW_HEAD) {
              errs.add(b.rows_at[row], "record longer than its file: ROW holds " +
                                           std::to_string(sizeof(DRow) - DROW_HEAD) + " characters of a row");
              continue;
            }
            std::vector<uint8_t> rr(size_t(DROW_HEAD) + std::max<size_t>(text.size(), 1), ' ');
            own(rr);
            DRow& dr = rec::view<DRow>(rr.data());
            dr.image_no = uint8_t(image_no);
            dr.b37.set("");
            dr.row_no = uint32_t(row + 1);
            std::memcpy(rr.data() + DROW_HEAD, text.data(), text.size());
            put(rw, rr, b.rows_at[row], "screen row");
          }
          for (const Item& mk : b.items) {
            bool found = false;
            for (size_t j = i + 1; j < t.blocks.size() && t.blocks[j].kind != "image" && t.blocks[j].kind != "frame";
                 ++j)
              if (t.blocks[j].kind == "item" && t.blocks[j].args[0].text == std::string(1, mk.marker)) found = true;
            if (!found) errs.add(mk.at, std::string("item marker '") + mk.marker + "' has no \"item " + mk.marker + "\"");
          }
        } else if (b.kind == "item") {
          const Item* mk = nullptr;
          if (b.args[0].text.size() == 1)
            for (const Item& x : image->items)
              if (x.marker == b.args[0].text[0]) mk = &x;
          if (!mk) {
            errs.add(b.args[0].at, "no item marker @" + b.args[0].text + " on the image's screen");
            continue;
          }
          if (!encode_record(it, b, &r,
                             {"proc_type", "proc_name", "frame_code", "frame_no", "image_no", "row", "col"}))
            continue;
          own(r);
          DItem& di = rec::view<DItem>(r.data());
          di.image_no = image_no;
          di.row = uint32_t(mk->row);
          di.col = uint32_t(mk->col);
          if (di.field.blank()) errs.add(b.at, "an item names its field (field = NAME)");
          else if (!elem_names.count(trim_right(std::string(di.field.view()))))
            errs.add(b.find("field")->value_at, "no field \"" + trim_right(std::string(di.field.view())) +
                                                   "\" in the applications' definitions (*.def)");
          put(it, r, b.at, "item");
        } else if (b.kind == "chr") {
          uint32_t n = 0;
          if (!num(b.args[0], 1, 0x7FFFFFFF, &n)) continue;
          if (!encode_record(ch, b, &r, {"proc_type", "proc_name", "frame_code", "frame_no", "image_no", "b37"}))
            continue;
          own(r);
          rec::view<DChr>(r.data()).image_no = uint8_t(image_no);
          rec::view<DChr>(r.data()).b37.set("");
          put(ch, r, b.at, "characteristic");
        } else if (b.kind == "option" || b.kind == "child") {
          // An image's option (chosen by its number) or an automatic child
          // of the frame (image 0, run in its number's order).
          const bool option = b.kind == "option";
          uint32_t n = 0;
          if (!num(b.args[0], option ? 0 : 1, 255, &n)) continue;
          auto p = procs.find(b.args[2].text);
          if (p == procs.end()) {
            if (!refused.count(b.args[2].text))
              errs.add(b.args[2].at, b.kind + " " + b.args[0].text + " names no process: \"" + b.args[2].text + "\"");
            continue;
          }
          if (!encode_record(cd, b, &r,
                             {"proc_type", "proc_name", "frame_code", "frame_no", "image_no", "disc", "child_no",
                              "ch_type", "ch_app", "ch_name"}))
            continue;
          own(r);
          DChild& c = rec::view<DChild>(r.data());
          c.image_no = uint8_t(option ? image_no : 0);
          c.disc = uint8_t(option ? n : 0);  // the option: the frame processor finds (image, option)
          c.b38.set("");
          c.child_no = n;
          c.ch_type = uint8_t(p->second.type);
          c.ch_app.set(p->second.app);
          c.ch_name.set(b.args[2].text);
          put(cd, r, b.at,
              option ? "option " + b.args[0].text + " of image " + std::to_string(image_no)
                     : "child " + b.args[0].text + " of frame " + std::to_string(frame_no));
        }
      }
    }
  return errs.list.size() == before;
}

// ---------------------------------------------------------- statements --

namespace {
std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

// The statement files of the applications (*.stmt, design/sefile.h) into
// STMT records: every line read and checked as the statement editor reads
// it (without the dictionary checks), sequences 100, 200 ... per block, no
// audit stamps.
// Whether the sources define the process (its PROCESS record was made).
bool Gen::process_defined(int type, const std::string& name) {
  GFile* pr = file("PROCESS");
  if (!pr || !pr->mem) return false;
  auto* d = reinterpret_cast<DProc*>(alloc(sizeof(DProc)));
  std::memset(static_cast<void*>(d), ' ', sizeof *d);
  d->proc_type = uint8_t(type);
  d->proc_name.set(name);
  PROTO_FULL(pr->mem, 0, reinterpret_cast<uint8_t*>(d));
  pr->mem->op = FM_OP_EQUAL;
  bool found = fm_read(pr->mem) == 1;
  pr->mem->op = 0;
  return found;
}

bool Gen::statements() {
  size_t before = errs.list.size();
  GFile* st = file("STMT");
  se_load_spellings(true);
  for (const App& a : src.apps)
    for (const std::string& path : a.stmt_files) {
      if (!st) {
        errs.add(Pos{path, 1, 1}, "statements need the design file STMT");
        return false;
      }
      SeFileResult r;
      se_read_file(path, read_text(path), nullptr, &r, [&](int type, const std::string& name) {
        return process_defined(type, name) ? std::string()
                                           : std::string("no ") + se_proc_type_name(type) + " " + name + " in " +
                                                 a.id + "'s sources";
      });
      for (const std::string& e : r.errors) {
        // "path:line:column: text"
        int line = 0, col = 0, n = 0;
        std::sscanf(e.c_str() + path.size(), ":%d:%d: %n", &line, &col, &n);
        errs.add(Pos{path, line, col}, e.substr(path.size() + size_t(n)));
      }
      for (const DStmt& s : r.stmts) {
        std::vector<uint8_t> rec(sizeof(DStmt));
        std::memcpy(rec.data(), &s, sizeof s);
        put(st, rec, Pos{path, 0, 0}, "statement " + std::to_string(s.seq) + " of " + s.proc_name.str());
      }
    }
  return errs.list.size() == before;
}

// ------------------------------------------------------------- SYSDIR --

void Gen::sysdir() {
  GFile* sd = file("SYSDIR");
  if (!sd) return;
  for (const GFile& g : files) {
    if (g.fclass != 1 || g.name == "SYSDIR") continue;
    // the identities the bootstrap creates the file under
    std::vector<FmFdb> places;
    std::string name = pad(g.name, 8);
    FmFdb fdb = fm_fdb;
    if (g.app == "0AD") {
      for (const App& a : src.apps) {
        INIT_SRC_PATH(&fdb, a.id.c_str(), "00", name.c_str(), FM_PT_DATA);
        places.push_back(fdb);
      }
    } else if (g.app == "0LA") {
      INIT_LA_PATH(&fdb, "00", name.c_str(), FM_PT_DATA);
      places.push_back(fdb);
    } else if (g.app == "0SA") {
      INIT_SA_PATH(&fdb, name.c_str(), FM_PT_DATA);
      places.push_back(fdb);
    }  // another application's data files are not made by the bootstrap
    for (const FmFdb& p : places) {
      FmSysdirRec e;
      fm_cat_sysdir_entry(&p, &e);
      std::vector<uint8_t> r(reinterpret_cast<uint8_t*>(&e), reinterpret_cast<uint8_t*>(&e) + sizeof e);
      put(sd, r, g.at, "SYSDIR entry of " + g.name);
    }
  }
}

// -------------------------------------------------------------- output --

bool Gen::summaries() {
  GFile* el = file("ELEMENT");
  GFile* in = file("INITIAL");
  for (const App& a : src.apps) {
    std::string path = bs_input_path(tmp, a.id.c_str(), 1, "SUMMARY ");
    fs::create_directories(fs::path(path).parent_path());
    // An application without files still has its SUMMARY: the header alone.
    if (FILE* f = std::fopen(path.c_str(), "w")) {
      std::fputs("1\n", f);
      std::fclose(f);
    }
    DdCtx ctx;
    std::memcpy(ctx.app, a.id.data(), 3);
    std::memcpy(ctx.ver, "00", 2);
    ctx.elem = el->mem;
    ctx.init = in->mem;
    ctx.summary = path;
    for (const GFile& g : files) {
      if (g.app != a.id) continue;
      const uint8_t* frec = nullptr;
      // the FILE record as written
      GFile* fi = file("FILE");
      uint8_t* buf = alloc(sizeof(DFile));
      std::memcpy(buf, pad(g.name, 8).data(), 8);
      PROTO_FULL(fi->mem, 0, buf);
      fi->mem->op = FM_OP_EQUAL;
      if (fm_read(fi->mem)) frec = buf;
      if (!frec || bld_sum_fi(&ctx, reinterpret_cast<const DFile*>(frec)) != 1) {
        errs.add(g.at, "SUMMARY block of " + g.name + " not written: " + ctx.error);
        return false;
      }
    }
  }
  return true;
}

bool Gen::raws() {
  for (const GFile& g : files) {
    GenFile* m = nullptr;
    if (made) {
      made->emplace_back();
      m = &made->back();
      m->app = g.app;
      m->name = g.name;
      m->fclass = g.fclass;
      m->init = compiled_image(g, 1);
      m->null = compiled_image(g, 2);
      m->src_init = g.init;
      m->src_null = g.null;
      for (const DElem& e : g.model)
        m->fields.emplace_back(reinterpret_cast<const uint8_t*>(&e), reinterpret_cast<const uint8_t*>(&e) + sizeof e);
      m->org = g.org;
      m->rec_len = g.rec_len;
      m->var = g.var;
      for (const Key& k : g.keys) {
        GenFile::Key gk{k.no, k.dup, {}};
        for (const KeySeg& sg : k.segs) gk.segs.push_back({sg.off, sg.len, sg.type});
        m->keys.push_back(gk);
      }
    }
    if (g.fclass != 1 || !g.mem || !system_app(g.app)) continue;
    // The records in key order; a single-record file without one gets its
    // INITIAL image (its defaults); an empty file gets no raw file.
    bool org1 = g.org == FM_ORG_SINGLE;
    std::vector<std::vector<uint8_t>> recs;
    FmArb* a = g.mem;
    uint8_t* buf = alloc(size_t(g.rec_len));
    a->rec.set(buf);
    a->rec_len = uint16_t(g.rec_len);
    a->key_no = 0;
    a->op = FM_OP_FIRST;
    if (fm_start(a)) {
      a->op = 0;
      while (fm_rdnxt(a)) recs.emplace_back(buf, buf + a->len_read);
    }
    if (org1 && recs.empty()) recs.push_back(g.init);
    if (m) m->records = recs;
    if (recs.empty()) continue;
    std::string path = bs_input_path(tmp, g.app.c_str(), 5, pad(g.name, 8).c_str());
    fs::create_directories(fs::path(path).parent_path());
    // The layout of the byte-order conversion: the compiled data fields, as
    // the SUMMARY lists them for the bootstrap (a field a key segment splits
    // is converted piece by piece on both sides).
    std::vector<DElem> data;
    std::string name = pad(g.name, 8);
    read_prefix(file("ELEMENT")->mem, 2, name.data(), 8, sizeof(DElem), pool, [&](const uint8_t* r, size_t) {
      const DElem& e = rec::view<DElem>(r);
      if (std::memcmp(e.file.data(), name.data(), 8) != 0) return false;
      if (e.kind < 2 || e.kind > 5) data.push_back(e);
      return true;
    });
    std::vector<DictField> lay;
    for (const DElem& e : data)
      lay.push_back(DictField{"", e.offset, e.length, e.type, e.occurs});
    RawWriter w;
    std::string err;
    bool ok = w.open(path, uint16_t((g.var ? kRawShort : 0) | kRawCrc), org1, &err);
    for (size_t i = 0; ok && i < recs.size(); ++i)
      ok = w.put(recs[i].data(), int(recs[i].size()), lay.data(), int(lay.size()), g.name == "STMT", &err);
    if (ok) ok = w.close(&err);
    if (!ok) {
      errs.add(g.at, "cannot write " + path + ": " + err);
      return false;
    }
  }
  return true;
}

bool Gen::run(const std::vector<std::string>& src_roots, const std::string& out_dir) {
  fixed_stamp(stamp);
  if (!read_sources(src_roots, &src, &errs)) return false;
  // Every dictionary is built on the system applications': without them
  // each missing design file would be an error of its own.
  if (!src.app("0AD")) {
    std::string roots;
    for (const std::string& r : src_roots) roots += (roots.empty() ? "" : " ") + r;
    errs.add(Pos{roots, 0, 0},
             "no system applications (0AD, 0LA, 0DB, 0SA) among the sources: give their directory, data/apps "
             "of the clone, before your own (quvogen QUVO/data/apps YOUR-DIR OUTPUT-DIR)");
    return false;
  }
  bi_init_com();
  fms_init();
  pool = mm_create_pool(" QUVOGEN   ", com.depth, 0);
  bool ok = layouts() && open_mem();
  if (ok) {
    dictionary();
    processes();
    statements();
    sysdir();
    records_texts();
    ok = !errs.any();
  }
  fs::path out = fs::absolute(out_dir);
  fs::path parent = out.parent_path();
  if (ok) {
    std::error_code ec;
    fs::create_directories(parent, ec);
    // What a killed run left beside the output goes first: only a run that
    // is gone (by the process id in the name); another run writing to the
    // same output, or a name of anyone else's, is left alone.
    std::string stem = out.filename().string();
    for (auto it = fs::directory_iterator(parent, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::string n = it->path().filename().string();
      if (n.rfind(stem + ".tmp-", 0) != 0 && n.rfind(stem + ".old-", 0) != 0) continue;
      std::string id = n.substr(stem.size() + 5);
      if (id.empty() || id.size() > 9 || id.find_first_not_of("0123456789") != std::string::npos) continue;
      pid_t pid = pid_t(std::stol(id));
      if (pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
      fs::remove_all(it->path(), ec);
    }
    ec.clear();
    tmp = (parent / (stem + ".tmp-" + std::to_string(getpid()))).string();
    ok = summaries() && raws() && write_registrations(src, tmp, &errs);
    if (ok) {
      fs::path old = parent / (out.filename().string() + ".old-" + std::to_string(getpid()));
      fs::remove_all(old, ec);
      if (fs::exists(out)) fs::rename(out, old, ec);
      fs::rename(tmp, out, ec);
      if (ec) {
        errs.add(Pos{out.string(), 0, 0}, "cannot move the output in place: " + ec.message());
        ok = false;
      }
      fs::remove_all(old, ec);
    }
    if (!ok) fs::remove_all(tmp, ec);
  }
  fm_shutdown();
  mm_destroy_pool(pool);
  return ok && !errs.any();
}

}  // namespace

DesignRecs design_records(const void* element, int base_offset) {
  const DElem& e = *static_cast<const DElem*>(element);
  DesignRecs out;
  DField f;
  std::memset(&f, ' ', sizeof f);
  std::memcpy(&f, &e, 300);
  f.area = 0;
  f.offset = 0;
  f.length = 0;
  f.b525 = 0;
  f.b529 = 0;
  f.dom_class = 0;
  f.b531.set("0");
  if (e.work != '1') std::memset(f.cmpl_stamp.data(), 0, 8);
  if (e.kind == 4) {
    f.offset = uint16_t(e.offset - base_offset + 1);
    f.length = e.length;
  }
  if (e.kind != 1) {
    out.field.assign(reinterpret_cast<uint8_t*>(&f), reinterpret_cast<uint8_t*>(&f) + sizeof f);
    return out;
  }
  std::memcpy(f.domain.data(), e.name.data(), 22);
  f.initial = e.initial;
  if (date_type(e.type) && !all_blank(e.initial.data(), 60)) {
    std::string digits;
    for (char c : e.initial.view())
      if (c >= '0' && c <= '9') digits += c;
    f.initial.set(digits);
  }
  DDomain d;
  std::memset(&d, ' ', sizeof d);
  d.cls = 0;
  std::memcpy(d.name.data(), e.name.data(), 22);
  std::memcpy(d.stamp.data(), e.cmpl_stamp.data(), 8);
  d.dflt_len = e.length;
  d.token = 0;
  d.rng_code1 = d.rng_code2 = 255;
  d.case_code = 2;
  d.alpha_kind = 0;
  d.justify = e.justify;
  d.b495.set("1");
  d.fill.set(" ");
  d.squeeze.set("0");
  d.null_value = e.null_value;
  bool sign = e.sign == '1';
  switch (e.type.get()) {
    case 5: case 8: {
      d.decl_kind = 1;
      d.storage = e.type == 5 ? 1 : 2;
      std::string given = trim_right(std::string(e.mask.view()));
      if (given.empty()) {
        // the mask the engine shows a number without one by: a '0' at the
        // units (0.50, not .50), so the compiled element shows it as before
        std::string m(size_t(e.digits), '9');
        if (!m.empty()) m.back() = '0';
        if (e.decimals) m += "." + std::string(e.decimals, '9');
        if (sign) m += "-";
        d.mask.set(m);
      } else {
        // The mask shows the number; the compiler counts its digits as '*'
        // '0' '8' '9' (not 'Z') and takes the null value's integer digits
        // when they are more. A mask narrower than the field keeps the
        // field's digits through its null value written with leading zeros
        // (the same value, the same NULL bytes).
        int ints = 0, decs = 0;
        bool point = false, msign = false;
        for (char c : given) {
          if (c == '(' || c == ')' || c == '-' || c == '<' || c == '>') msign = true;
          else if (c == '.') point = true;
          else if (c == '*' || c == '0' || c == '8' || c == '9') (point ? decs : ints)++;
        }
        std::string nv = trim_right(std::string(e.null_value.view()));
        nv.erase(0, std::min(nv.size(), nv.find_first_not_of(' ')));
        bool neg = !nv.empty() && nv[0] == '-';
        if (neg) nv.erase(0, 1);
        std::string whole = nv.substr(0, nv.find('.')), frac = nv.find('.') == std::string::npos ? "" : nv.substr(nv.find('.'));
        if (whole.empty()) whole = "0";
        if (decs != e.decimals) {
          out.why = "its mask \"" + given + "\" shows " + std::to_string(decs) + " decimals, the field has " +
                    std::to_string(e.decimals);
        } else if (ints > e.digits || int(whole.size()) > e.digits) {
          out.why = "its mask \"" + given + "\" shows more integer digits than the field's " +
                    std::to_string(e.digits);
        } else if (sign != (msign || neg)) {
          out.why = sign ? "its mask \"" + given + "\" shows no sign for a signed field"
                         : "its mask \"" + given + "\" shows a sign for an unsigned field";
        }
        if (!out.why.empty()) return out;
        d.mask.set(given);
        if (ints < e.digits) {
          whole.insert(0, size_t(e.digits) - whole.size(), '0');
          d.null_value.set((neg ? "-" : "") + whole + frac);
        }
      }
      if (e.type == 5 && e.length < 4) {
        // the field's width narrows the range of its digits; an unsigned
        // field's value with all bits set is its null value, never stored
        int64_t hi = sign ? (int64_t(1) << (8 * e.length - 1)) - 1 : (int64_t(1) << (8 * e.length)) - 2;
        auto text = [&](int64_t v) {
          std::string t = std::to_string(v < 0 ? -v : v);
          if (e.decimals) {
            t.insert(0, size_t(std::max(0, e.decimals + 1 - int(t.size()))), '0');
            t.insert(t.size() - e.decimals, ".");
          }
          return (v < 0 ? "-" : "") + t;
        };
        d.rng_code1 = 4;
        d.rng_value1.set(text(hi));
        if (sign) {
          d.rng_code2 = 2;
          d.rng_value2.set(text(-hi - 1));
        }
      }
      break;
    }
    case 12: d.decl_kind = 1; d.storage = 3; break;
    case 11: d.decl_kind = 3; d.storage = 0; break;
    case 3: case 4: case 6: case 7: case 9: case 10:
      d.decl_kind = 2;
      d.storage = e.type == 6 || e.type == 7 ? 1 : e.type == 9 || e.type == 10 ? 2 : 3;
      d.mask.set(all_blank(e.mask.data(), 60) ? date_mask(e) : trim_right(std::string(e.mask.view())));
      break;
    default:  // text of every kind, and opaque bytes
      d.decl_kind = 4;
      d.storage = 1;
      d.mask = e.mask;  // an alpha mask gives the field's length, one character a byte
      break;
  }
  d.kind = d.decl_kind;  // compiled: its stamp is the element's
  out.field.assign(reinterpret_cast<uint8_t*>(&f), reinterpret_cast<uint8_t*>(&f) + sizeof f);
  out.domain.assign(reinterpret_cast<uint8_t*>(&d), reinterpret_cast<uint8_t*>(&d) + sizeof d);
  return out;
}

bool generate(const std::vector<std::string>& src_roots, const std::string& out_dir, Errors* errs,
              std::vector<GenFile>* made, std::vector<std::vector<uint8_t>>* work_fields) {
  Gen g(errs, made, work_fields);
  return g.run(src_roots, out_dir);
}

bool generate(const std::string& src_root, const std::string& out_dir, Errors* errs, std::vector<GenFile>* made) {
  return generate(std::vector<std::string>{src_root}, out_dir, errs, made);
}

int gen_main(const std::vector<std::string>& src_roots, const std::string& out_dir) {
  Errors errs;
  if (!generate(src_roots, out_dir, &errs)) {
    std::fputs(errs.str().c_str(), stderr);
    if (!errs.any()) std::fputs("quvogen: failed\n", stderr);
    return 1;
  }
  return 0;
}

}  // namespace qg
