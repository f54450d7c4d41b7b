// Test helpers of the bootstrap: a small generator that writes, for a test
// file definition, the ELEMENT, FILE and INITIAL records of its dictionary,
// its SUMMARY block (through bld_sum_fi) and its raw record file, under an
// input root laid out as the bootstrap reads it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dictionary/bs.h"
#include "files/brf.h"
#include "dictionary/dd2.h"
#include "files/dictenc.h"
#include "files/dictrec.h"
#include "files/fm.h"
#include "support/dict_fixtures.h"

namespace bst {

inline std::string temp_dir(const char* tag) {
  const char* base = getenv("TMPDIR");
  char buf[512];
  std::snprintf(buf, sizeof buf, "%s/quvo-%s-XXXXXX", base && *base ? base : "/tmp", tag);
  char* d = mkdtemp(buf);
  return d ? d : "";
}

// One field of a test file: its DictField and its ELEMENT facts.
struct Fld {
  DictField f;
  int key_kind = 255, key_no = 0;
  char order = '+', dups = '0';
};

// A test file: "TESTFI", 112 bytes, three keys: NAME (primary); a group of
// CODE A and CODE B (3 occurrences each, the second descending); STAMP, an
// 8-byte binary date (two segments). Numbers of every width and a packed
// field follow.
inline std::vector<Fld> testfi_fields() {
  return {
      {{"NAME", 0, 10, kFtAlpha, 1}, 0, 0, '+', '0'},
      {{"CODE A", 10, 3, kFtAlpha, 3}},
      {{"CODE B", 19, 3, kFtAlpha, 3}, 255, 0, '-', '0'},
      {{"STAMP", 28, 8, kFtDate, 1}, 2, 2, '-', '1'},
      {{"AMOUNT", 36, 4, kFtBinary, 2}},
      {{"QTY", 44, 2, kFtBinary, 1}},
      {{"PRICE", 46, 5, kFtPacked, 1}},
      {{"FLAG", 51, 1, kFtAlpha, 1}},
      {{"NOTE", 52, 60, kFtAlpha, 1}},
  };
}
constexpr int kTestfiLen = 112;

inline std::vector<DictField> plain(const std::vector<Fld>& v) {
  std::vector<DictField> out;
  for (const Fld& x : v) out.push_back(x.f);
  return out;
}

// The ELEMENT records of TESTFI: the fields in order, the group header of
// key 1 before CODE A.
inline std::vector<fx::Rec> testfi_elems(const char* file = "TESTFI") {
  std::vector<fx::Rec> out;
  int number = 0, field_no = 1;
  auto elem = [&](const char* name, int kind, int type, int off, int len, int occ, int kk, int kn, char order,
                  char dups, const char* last, int fno) {
    fx::Rec r = fx::rec("ELEMENT", {});
    DElem& e = rec::view<DElem>(r.data());
    e.name.set(name);
    e.work = '0';
    e.kind = uint8_t(kind);
    e.type = uint8_t(type);
    e.offset = uint16_t(off);
    e.length = uint16_t(len);
    e.occurs = uint16_t(occ);
    e.file.set(file);
    e.number = uint32_t(++number);
    // ELEMENT key 4 (bytes 68-75) is unique: the element's identity.
    e.ident_stamp[0] = 1;
    e.ident_stamp[4] = uint8_t(number);
    e.key_kind = uint8_t(kk);
    e.key_no = uint8_t(kn);
    e.key_order = uint8_t(order);
    e.key_dups = uint8_t(dups);
    e.domain.set(last);
    e.field_no = uint16_t(fno);
    out.push_back(r);
  };
  for (const Fld& x : testfi_fields()) {
    if (std::string(x.f.name) == "CODE A") elem("CODE GRP", 2, 1, 10, 18, 1, 1, 1, '+', '1', "CODE B", 0);
    elem(x.f.name, 1, x.f.type, x.f.offset, x.f.width, x.f.occurs, x.key_kind, x.key_no, x.order, x.dups, "",
         field_no);
    field_no += (x.f.type == kFtDate && x.f.width == 8 ? 2 : 1) * x.f.occurs;
  }
  return out;
}

inline fx::Rec testfi_file(const char* file = "TESTFI") {
  fx::Rec r = fx::rec("FILE", {});
  DFile& f = rec::view<DFile>(r.data());
  f.name.set(file);
  f.ftype = 1;
  f.org = 3;
  f.b14[0] = '0';
  f.var[0] = '0';
  f.rec_len = kTestfiLen;
  f.key_count = 3;
  f.seg_count[0] = 1;
  f.seg_count[1] = 6;
  f.seg_count[2] = 2;
  f.key_elem[0] = 1;
  f.key_elem[1] = 2;
  f.key_elem[2] = 5;
  return r;
}

// The INITIAL records of an image (pieces of 1000 bytes).
inline std::vector<fx::Rec> init_pieces(const char* file, int kind, const std::vector<uint8_t>& img) {
  std::vector<fx::Rec> out;
  for (size_t at = 0, seq = 1; at < img.size(); at += DINIT_PIECE, ++seq) {
    size_t n = std::min<size_t>(DINIT_PIECE, img.size() - at);
    fx::Rec r(DINIT_HEAD + n);
    DInit& d = rec::view<DInit>(r.data());
    d.file.set(file);
    d.kind = uint8_t(kind);
    d.seq = uint32_t(seq);
    std::memcpy(r.data() + DINIT_HEAD, img.data() + at, n);
    out.push_back(r);
  }
  return out;
}

inline std::vector<uint8_t> image(int kind) {
  auto f = plain(testfi_fields());
  std::vector<uint8_t> img(kTestfiLen);
  dict_image(f.data(), int(f.size()), kind, img.data(), img.size());
  return img;
}

// A TESTFI record with the given values.
inline fx::Rec testfi_rec(const std::map<std::string, std::string>& values) {
  auto f = plain(testfi_fields());
  fx::Rec r = image(1);
  for (const auto& [name, value] : values) {
    std::string base = name;
    int occ = 0;
    if (size_t b = base.find('['); b != std::string::npos) {
      occ = std::stoi(base.substr(b + 1)) - 1;
      base.resize(b);
    }
    for (const DictField& d : f)
      if (base == d.name) {
        std::string err;
        if (!dict_encode(d, occ, value, r.data(), &err)) ADD_FAILURE() << err;
      }
  }
  return r;
}

inline std::vector<fx::Rec> testfi_records(int n) {
  std::vector<fx::Rec> out;
  for (int i = 0; i < n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "REC%05d", i);
    out.push_back(testfi_rec({{"NAME", name},
                              {"CODE A[2]", "A" + std::to_string(i % 7)},
                              {"CODE B[3]", "B" + std::to_string(i % 3)},
                              {"STAMP", "2026-03-0" + std::to_string(1 + i % 9) + "T12:00:00.5" + std::to_string(i % 10)},
                              {"AMOUNT[1]", std::to_string(i * 1000 - 7)},
                              {"AMOUNT[2]", std::to_string(-i)},
                              {"QTY", std::to_string(i % 60000)},
                              {"PRICE", std::to_string(i % 2 ? -i * 13 : i * 13)},
                              {"FLAG", i % 2 ? "1" : "0"},
                              {"NOTE", "note " + std::to_string(i)}}));
  }
  return out;
}

// Writes under root the SUMMARY of application `app` listing TESTFI (data
// file of that application) and, when recs is not empty, its raw file. The
// dictionary records go to the data directory `gen` (QUVOPATH while writing).
inline bool make_inputs(const std::string& root, const std::string& gen, const char* app,
                        const std::vector<fx::Rec>& recs, uint16_t raw_flags = kRawCrc) {
  std::string old = getenv("QUVOPATH") ? getenv("QUVOPATH") : "";
  setenv("QUVOPATH", gen.c_str(), 1);
  fms_init();
  bool ok = fx::write("ELEMENT", app, "00", testfi_elems()) > 0;
  auto ini = init_pieces("TESTFI", 1, image(1)), nul = init_pieces("TESTFI", 2, image(2));
  ini.insert(ini.end(), nul.begin(), nul.end());
  ok = ok && fx::write("INITIAL", app, "00", ini) > 0;
  std::string sum = bs_input_path(root, app, FM_PT_DATA, "SUMMARY");
  std::filesystem::create_directories(std::filesystem::path(sum).parent_path());
  DdCtx ctx;
  std::memcpy(ctx.app, app, 3);
  std::memcpy(ctx.ver, "00", 2);
  ctx.summary = sum;
  fx::Rec file = testfi_file();
  int rc = bld_sum_fi(&ctx, &rec::view<DFile>(file.data()));
  if (rc != 1) ADD_FAILURE() << "bld_sum_fi: " << rc << " " << ctx.error;
  ok = ok && rc == 1;
  if (!recs.empty()) {
    RawWriter w;
    std::string err;
    auto f = plain(testfi_fields());
    ok = ok && w.open(bs_input_path(root, app, FM_PT_PORT, "TESTFI"), raw_flags, false, &err);
    for (const fx::Rec& r : recs) ok = ok && w.put(r.data(), int(r.size()), f.data(), int(f.size()), false, &err);
    ok = ok && w.close(&err);
    if (!err.empty()) ADD_FAILURE() << err;
  }
  fm_shutdown();
  if (old.empty()) unsetenv("QUVOPATH");
  else setenv("QUVOPATH", old.c_str(), 1);
  return ok;
}

// Hash of a native file's content: its layout and its records in key order
// (its bytes differ from one build to the next).
inline size_t native_hash(const std::string& path) {
  BrfFile* f = nullptr;
  if (brf_open(path, false, &f) != 0) return 1;
  std::string all = std::to_string(f->lay.rec_len) + "/" + std::to_string(f->lay.var) + "/" +
                    std::to_string(brf_key_hash(f->lay)) + "/";
  std::vector<uint8_t> buf(FM_MAX_REC + 1);
  BrfRead r;
  r.buf = buf.data();
  r.cap = uint32_t(buf.size());
  BtCursor c;
  int tree = f->lay.keys.empty() ? kBtOrderTree : 0;
  for (uint32_t st = brf_seek(f, tree, nullptr, 0, BrfSeek::AtLeast, c, r); st == 0; st = brf_next(f, tree, c, r))
    all.append(reinterpret_cast<const char*>(buf.data()), r.len).append("|");
  brf_close(f, false);
  return std::hash<std::string>()(all);
}

// Hash of every file under a directory (relative path and content); the
// bootstrap's log (its timings differ) and the private temporary directory
// a killed bootstrap leaves (the next run removes it) are left out.
inline std::map<std::string, size_t> dir_hashes(const std::string& dir) {
  std::map<std::string, size_t> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string top = std::filesystem::relative(it->path(), dir).begin()->string();
    if (top == "bootstrap.log" || top.rfind(".boot-", 0) == 0) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file()) {
      out[std::filesystem::relative(it->path(), dir).string() + "/"] = 0;
      continue;
    }
    std::string rel = std::filesystem::relative(it->path(), dir).string();
    std::string p = it->path().string();
    if (brf_is_native_file(p)) {
      out[rel] = native_hash(p);
      continue;
    }
    if (std::filesystem::exists(p + ".ix")) {  // a native file that does not open: its bytes
    } else if (rel.size() > 3 && (rel.compare(rel.size() - 3, 3, ".ix") == 0 || rel.compare(rel.size() - 3, 3, ".jn") == 0) &&
               std::filesystem::exists(p.substr(0, p.size() - 3))) {
      out[rel] = 0;  // index and journal of a native file
      continue;
    }
    std::ifstream in(it->path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    out[rel] = std::hash<std::string>()(ss.str());
  }
  return out;
}

inline std::string slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void spit(const std::string& p, const std::string& s) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << s;
}

}  // namespace bst
