// The registration of an application: see register.h.
#include "register.h"

#include <cctype>
#include <filesystem>

#include "dictionary/bs.h"
#include "files/dictenc.h"
#include "files/dictrec.h"

namespace qg {

namespace {

bool is_system(const std::string& app) { return app == "0AD" || app == "0LA" || app == "0DB" || app == "0SA"; }

// A database id: one to three upper-case letters or digits.
bool database_id(const std::string& id) {
  if (id.empty() || id.size() > 3) return false;
  for (char ch : id)
    if (!std::isupper(static_cast<unsigned char>(ch)) && !std::isdigit(static_cast<unsigned char>(ch))) return false;
  return true;
}

// One record of a System Administration file from its values.
bool record(const char* file, const std::vector<std::pair<const char*, std::string>>& values,
            std::vector<uint8_t>* out, std::string* err) {
  std::string padded = file;
  padded.resize(8, ' ');
  const DictRecDesc* d = dict_rec_find(padded.c_str());
  if (!d) {
    *err = std::string("no declaration of ") + file;
    return false;
  }
  out->assign(d->size, ' ');
  dict_image(*d, 1, out->data());
  for (const auto& [name, value] : values)
    if (!dict_encode_named(*d, name, value, out->data(), err)) return false;
  return true;
}

}  // namespace

void read_registration(const Block& b, const std::string& app, Registration* out, Errors* errs) {
  if (is_system(app)) {
    errs->add(b.at, "the system applications are registered by the APPL records of 0SA, not by an application block");
    return;
  }
  if (out->given) {
    errs->add(b.at, "application " + app + " is registered twice (first at " + out->at.file + ":" +
                        std::to_string(out->at.line) + ")");
    return;
  }
  out->given = true;
  out->at = b.at;
  for (const Entry& e : b.entries) {
    if (e.name == "title") {
      if (e.value.size() > 60) errs->add(e.value_at, "a title has at most 60 characters");
      out->title = e.value;
    } else if (e.name == "database" || e.name == "databases") {
      // one id, or several separated by blanks
      for (size_t at = 0; at < e.value.size();) {
        size_t end = e.value.find(' ', at);
        if (end == std::string::npos) end = e.value.size();
        std::string id = e.value.substr(at, end - at);
        Pos where = e.value_at;
        where.col += int(at);
        at = end + 1;
        if (id.empty()) continue;
        if (!database_id(id)) {
          errs->add(where, "a database id is one to three upper-case letters or digits, not \"" + id + "\"");
          continue;
        }
        bool twice = false;
        for (const Arg& d : out->databases) twice = twice || d.text == id;
        if (twice) errs->add(where, "database " + id + " is given twice");
        else out->databases.push_back(Arg{id, where, false});
      }
    } else {
      errs->add(e.name_at, "an application block gives its title and its databases (title = ..., databases = ID ...), "
                           "not \"" + e.name + "\"");
    }
  }
  if (out->databases.empty())
    errs->add(b.at, "name the database or databases " + app + " belongs to (databases = ID ...)");
}

bool write_registrations(const Sources& src, const std::string& out_dir, Errors* errs) {
  size_t before = errs->list.size();
  for (const App& a : src.apps) {
    if (!a.reg.given) continue;
    struct Part {
      const char* file;
      std::vector<std::vector<std::pair<const char*, std::string>>> recs;
    } parts[] = {{"APPL", {{{"app", a.id}, {"ver", "00"}, {"title", a.reg.title}}}}, {"DATABASE", {}}, {"DBXAP", {}}};
    for (const Arg& db : a.reg.databases) {
      parts[1].recs.push_back({{"id", db.text}, {"app", a.id}, {"ver", "00"}, {"name", a.reg.title}});
      parts[2].recs.push_back({{"db", db.text}, {"app", a.id}, {"phase", "2"}});
    }
    for (const Part& p : parts) {
      std::string path = bs_register_path(out_dir, a.id.c_str(), p.file), err;
      std::string padded = p.file;
      padded.resize(8, ' ');
      const DictRecDesc* d = dict_rec_find(padded.c_str());
      RawWriter w;
      bool ok = d && w.open(path, kRawCrc, false, &err);
      for (const auto& values : p.recs) {
        std::vector<uint8_t> r;
        ok = ok && record(p.file, values, &r, &err) && w.put(r.data(), int(r.size()), d->fields, d->count, false, &err);
      }
      ok = ok && w.close(&err);
      if (!ok) errs->add(a.reg.at, "registration of " + a.id + " not written: " + err);
    }
  }
  return errs->list.size() == before;
}

}  // namespace qg
