// Reading the applications' sources into their model: see model.h.
#include "model.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "register.h"

namespace fs = std::filesystem;

namespace qg {

namespace {

struct TypeName {
  const char* word;
  int code;
};
const TypeName kTypes[] = {
    {"alpha", kTypeAlpha},          {"binary", kTypeBinary},       {"packed", kTypePacked},
    {"logic", kTypeLogic},          {"decimal", kTypeDecimal},     {"date-text", kTypeDateText},
    {"date-binary", kTypeDateBin},  {"date-packed", kTypeDatePacked}, {"date-std", kTypeDateStd},
};

Pos shift(const Pos& p, int cols) { return Pos{p.file, p.line, p.col + cols}; }

bool to_int(const std::string& s, int lo, int hi, int* out) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

int type_code(const std::string& word) {
  for (const TypeName& t : kTypes)
    if (word == t.word) return t.code;
  int v = 0;
  if (to_int(word, 1, 15, &v) && v != 14) return v;
  return 0;
}

const char* type_word(int code) {
  for (const TypeName& t : kTypes)
    if (t.code == code) return t.word;
  return "type";
}

void parse_field_form(const Entry& e, bool declared, FieldDef* f, Errors* errs) {
  f->name = e.name;
  f->at = e.name_at;
  std::vector<Word> w;
  int bad = 0;
  if (e.quoted || !split_words(e.value, &w, &bad)) {
    errs->add(shift(e.value_at, bad), "a field description, not a quoted text, follows '='");
    return;
  }
  size_t i = 0;
  auto at = [&](size_t k) { return shift(e.value_at, k < w.size() ? w[k].col : int(e.value.size())); };
  if (!declared) {
    if (w.empty()) {
      errs->add(e.value_at, "field type and length missing");
      return;
    }
    f->type = type_code(w[0].text);
    if (!f->type) {
      errs->add(at(0), "unknown data type \"" + w[0].text + "\"");
      return;
    }
    bool date = f->type == 3 || f->type == 4 || f->type == 6 || f->type == 7 || f->type == 9 ||
                f->type == 10 || f->type == 15;
    if (w.size() >= 2 && to_int(w[1].text, 1, 32767, &f->len)) {
      i = 2;
    } else if (date && w.size() >= 2 && w[1].text == "mask") {
      f->len = 0;  // a date's mask gives its length
      i = 1;
    } else {
      errs->add(at(1), date ? "field length (1-32767) or a mask expected" : "field length (1-32767) expected");
      return;
    }
    f->typed = true;
  }
  while (i < w.size()) {
    const std::string& k = w[i].text;
    auto need_int = [&](int lo, int hi, int* out) {
      if (i + 1 >= w.size() || !to_int(w[i + 1].text, lo, hi, out)) {
        errs->add(at(i + 1), "\"" + k + "\" takes a number " + std::to_string(lo) + "-" + std::to_string(hi));
        return false;
      }
      i += 2;
      return true;
    };
    auto need_text = [&](bool* has, std::string* out, Pos* where) {
      if (i + 1 >= w.size()) {
        errs->add(at(i + 1), "\"" + k + "\" takes a value");
        return false;
      }
      *has = true;
      *out = w[i + 1].text;
      if (where) *where = at(i + 1);
      i += 2;
      return true;
    };
    if (w[i].quoted) {
      errs->add(at(i), "unexpected text \"" + k + "\"");
      return;
    }
    if (k == "x") {
      if (!need_int(1, 32767, &f->occurs)) return;
    } else if (k == "key") {
      if (!need_int(0, 16, &f->key)) return;
    } else if (k == "decimals") {
      if (!need_int(0, 18, &f->decimals)) return;
    } else if (k == "just") {
      if (!need_int(0, 4, &f->justify)) return;
    } else if (k == "stamp") {
      if (!need_int(0, 9, &f->stamp)) return;
    } else if (k == "dup") {
      f->dup = true;
      ++i;
    } else if (k == "signed") {
      f->is_signed = true;
      ++i;
    } else if (k == "mask") {
      if (!need_text(&f->has_mask, &f->mask, nullptr)) return;
    } else if (k == "initial") {
      if (!need_text(&f->has_initial, &f->initial, &f->initial_at)) return;
    } else if (k == "null") {
      if (!need_text(&f->has_null, &f->null_text, &f->null_at)) return;
    } else if (k == "label") {
      if (!need_text(&f->has_label, &f->label, nullptr)) return;
    } else if (k == "scan") {
      if (!need_int(1, 31, &f->scan)) return;
    } else if (k == "lookup") {
      // "APP/FILE/FIELD": the application's id, a file name, a field name
      bool given = false;
      std::string v;
      Pos where;
      if (!need_text(&given, &v, &where)) return;
      size_t a = v.find('/'), b = a == std::string::npos ? a : v.find('/', a + 1);
      if (b == std::string::npos || a != 3 || b - a - 1 < 1 || b - a - 1 > 8 || v.size() - b - 1 < 1 ||
          v.size() - b - 1 > 22 || v.find('/', b + 1) != std::string::npos) {
        errs->add(where, "\"lookup\" takes \"APP/FILE/FIELD\" (an application id of 3 characters, a file name of "
                         "1-8, a field name of 1-22)");
        return;
      }
      f->lookup_app = v.substr(0, 3);
      f->lookup_file = v.substr(4, b - 4);
      f->lookup_field = v.substr(b + 1);
      f->lookup_at = where;
    } else {
      errs->add(at(i), declared && type_code(k) ? "a declared file's field takes its type and length from "
                                                  "the declaration"
                                                : "unknown field option \"" + k + "\"");
      return;
    }
  }
  if (f->dup && f->key < 1) errs->add(e.value_at, "\"dup\" needs an alternate key (key 1-16)");
}

const FileDef* App::file(const std::string& name) const {
  for (const FileDef& f : files)
    if (f.name == name) return &f;
  return nullptr;
}

const App* Sources::app(const std::string& id) const {
  for (const App& a : apps)
    if (a.id == id) return &a;
  return nullptr;
}

bool read_app(const std::string& dir, const std::string& id, App* out, Errors* errs) {
  size_t before = errs->list.size();
  out->id = id;
  out->dir = dir;
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    if (it->path().extension() == ".stmt") {
      out->stmt_files.push_back(it->path().string());
      continue;
    }
    TextKind k;
    std::string name = it->path().filename().string();
    if (text_kind_of(it->path().string(), &k)) paths.push_back(it->path().string());
    else if (name[0] != '.' && name.back() != '~')  // hidden files and editors' backups are not texts
      errs->add(Pos{it->path().string(), 0, 0},
                "neither a .def, .rec, .proc nor .stmt text: its content would be left out (rename it, or move it "
                "out of the application's directory)");
  }
  std::sort(out->stmt_files.begin(), out->stmt_files.end());
  if (ec) errs->add(Pos{dir, 0, 0}, "cannot read the directory: " + ec.message());
  std::sort(paths.begin(), paths.end());
  std::set<std::string> proc_names;
  std::map<std::string, Pos> field_names;
  for (const std::string& p : paths) {
    TextKind k;
    text_kind_of(p, &k);
    Text t;
    parse_text(p, read_file(p), k, &t, errs);
    if (k == TextKind::Defs) {
      for (const Block& b : t.blocks) {
        if (b.kind == "file") {
          FileDef f;
          f.name = b.args[0].text;
          f.at = b.args[0].at;
          if (f.name.size() > 8) {
            errs->add(f.at, "a file name has at most 8 characters");
            continue;
          }
          if (b.args[1].text == "disk") f.fclass = 1;
          else if (b.args[1].text == "memory") f.fclass = 2;
          else {
            errs->add(b.args[1].at, "file class is disk or memory");
            continue;
          }
          for (size_t i = 2; i < b.args.size(); ++i) {
            if (b.args[i].text == "declared") f.declared = true;
            else if (b.args[i].text == "single") f.single = true;
            else if (b.args[i].text == "desc" && i + 1 < b.args.size() && b.args[i + 1].text.size() <= 30)
              f.desc = b.args[++i].text;
            else if (b.args[i].text == "desc") errs->add(b.args[i].at, "\"desc\" takes a text of at most 30 characters");
            else errs->add(b.args[i].at, "unknown file option \"" + b.args[i].text + "\"");
          }
          if (out->file(f.name)) {
            errs->add(f.at, "file " + f.name + " defined twice in " + id);
            continue;
          }
          for (const Entry& e : b.entries) {
            FieldDef fd;
            parse_field_form(e, f.declared, &fd, errs);
            f.fields.push_back(fd);
          }
          out->files.push_back(std::move(f));
        } else if (b.kind == "application") {
          read_registration(b, id, &out->reg, errs);
        } else if (b.kind == "work") {
          for (const Entry& e : b.entries) {
            FieldDef fd;
            parse_field_form(e, false, &fd, errs);
            if (fd.key >= 0) errs->add(e.value_at, "a work field is no key");
            out->work.push_back(fd);
          }
        }
      }
    } else if (k == TextKind::Records) {
      out->records.push_back(std::move(t));
    } else {
      if (!t.blocks.empty()) {
        const Arg& name = t.blocks[0].args[0];
        if (name.text.size() > 30) errs->add(name.at, "a process name has at most 30 characters");
        if (!proc_names.insert(name.text).second)
          errs->add(name.at, "process \"" + name.text + "\" defined twice in " + id);
      }
      out->processes.push_back(std::move(t));
    }
  }
  // Field names are element names: one per application (and, with one
  // design dictionary, one across the system applications: read_sources).
  for (const FileDef& f : out->files)
    for (const FieldDef& fd : f.fields) {
      if (f.declared) continue;  // a declared file's names are the declaration's
      if (fd.name.size() > 22) errs->add(fd.at, "a field name has at most 22 characters");
      auto [it, fresh] = field_names.emplace(fd.name, fd.at);
      if (!fresh)
        errs->add(fd.at, "field \"" + fd.name + "\" defined twice (first at " + it->second.file + ":" +
                             std::to_string(it->second.line) + ")");
    }
  for (const FieldDef& fd : out->work) {
    if (fd.name.size() > 22) errs->add(fd.at, "a field name has at most 22 characters");
    auto [it, fresh] = field_names.emplace(fd.name, fd.at);
    if (!fresh)
      errs->add(fd.at, "field \"" + fd.name + "\" defined twice (first at " + it->second.file + ":" +
                           std::to_string(it->second.line) + ")");
  }
  return errs->list.size() == before;
}

bool read_sources(const std::vector<std::string>& roots, Sources* out, Errors* errs) {
  size_t before = errs->list.size();
  for (const std::string& root : roots) {
    std::error_code ec;
    std::vector<std::string> ids;
    for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      if (it->is_directory()) ids.push_back(it->path().filename().string());
    if (ec) {
      errs->add(Pos{root, 0, 0}, "cannot read the directory: " + ec.message());
      continue;
    }
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids) {
      if (id.size() != 3) {
        errs->add(Pos{root + "/" + id, 0, 0}, "an application directory is named by its 3-character id");
        continue;
      }
      if (out->app(id)) {
        errs->add(Pos{root + "/" + id, 0, 0}, "application " + id + " is also in " + out->app(id)->dir);
        continue;
      }
      App a;
      read_app(root + "/" + id, id, &a, errs);
      out->apps.push_back(std::move(a));
    }
  }
  // One design dictionary holds every system application: a name (field,
  // work field, file or process) belongs to one application only.
  struct Owner {
    std::string app;
    Pos at;
  };
  std::map<std::string, Owner> fields, files, procs;
  auto claim = [&](std::map<std::string, Owner>& m, const std::string& what, const std::string& name,
                   const std::string& app, const Pos& at) {
    auto [it, fresh] = m.emplace(name, Owner{app, at});
    if (!fresh && it->second.app != app)
      errs->add(at, what + " \"" + name + "\" is also in " + it->second.app + " (" + it->second.at.file + ":" +
                        std::to_string(it->second.at.line) + "): one name, one application");
  };
  for (const App& a : out->apps) {
    for (const FileDef& f : a.files) {
      claim(files, "file", f.name, a.id, f.at);
      if (!f.declared)
        for (const FieldDef& fd : f.fields) claim(fields, "field", fd.name, a.id, fd.at);
    }
    for (const FieldDef& fd : a.work) claim(fields, "field", fd.name, a.id, fd.at);
    for (const Text& t : a.processes)
      if (!t.blocks.empty()) claim(procs, "process", t.blocks[0].args[0].text, a.id, t.blocks[0].args[0].at);
  }
  // Records texts name a file of their application.
  for (const App& a : out->apps)
    for (const Text& t : a.records) {
      if (t.blocks.empty()) continue;
      const Arg& f = t.blocks[0].args[0];
      if (!a.file(f.text)) errs->add(f.at, "no file " + f.text + " is defined in " + a.id);
    }
  // A look-up names a field of a file of an application among the sources.
  auto lookup = [&](const FieldDef& fd) {
    if (fd.lookup_app.empty()) return;
    const App* la = out->app(fd.lookup_app);
    const FileDef* lf = la ? la->file(fd.lookup_file) : nullptr;
    bool has = false;
    for (size_t i = 0; lf && i < lf->fields.size(); ++i) has |= lf->fields[i].name == fd.lookup_field;
    if (!la) errs->add(fd.lookup_at, "\"lookup\": no application " + fd.lookup_app + " among the sources");
    else if (!lf) errs->add(fd.lookup_at, "\"lookup\": no file " + fd.lookup_file + " is defined in " + fd.lookup_app);
    else if (!lf->declared && !has)
      errs->add(fd.lookup_at, "\"lookup\": " + fd.lookup_file + " has no field \"" + fd.lookup_field + "\"");
  };
  for (const App& a : out->apps) {
    for (const FileDef& f : a.files)
      for (const FieldDef& fd : f.fields) lookup(fd);
    for (const FieldDef& fd : a.work) lookup(fd);
  }
  return errs->list.size() == before;
}

}  // namespace qg
