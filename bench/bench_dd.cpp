// The dictionary compiler: 200 files of 40 fields (mixed types, 3 keys
// each) compiled from memory-resident design files, against the generator
// building the same definitions from their source text, and against the
// floor of writing the resulting ELEMENT and INITIAL records.
//
//   DdCompile200       dd_cmpl over the 200 files (FILE, ELEMENT, INITIAL,
//                      BITMAP emptied before each pass, outside the timing)
//   DdWriteFloor200    fm_write of the ELEMENT and INITIAL records the
//                      compiler made, into empty memory files
//   GenSystemApps      the generator over the system applications alone
//   GenSystemApps200   the same with an application of the 200 files: the
//                      difference is the generator's cost of the 200 files
//                      (reading their text, writing their design records
//                      and compiling them with dd_cmpl, its one builder)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dictionary/dd1.h"
#include "files/fmcat.h"
#include "foundation/bi.h"
#include "gen.h"

namespace {

constexpr int kFiles = 200, kFields = 40;

struct Kind {
  const char* domain;
  const char* source;  // the generator's form of the same field
};
const Kind kKinds[] = {{"ALPHA10", "alpha 10"}, {"BIN2", "binary 2"},      {"BIN4", "binary 4"},
                       {"PACK", "packed 5 decimals 2"}, {"DATE", "date-binary 4"}, {"LOGIC", "logic 1"}};

MmPool pool() {
  static MmPool p = mm_create_pool(" BENCH_DD  ", 0, 0);
  return p;
}

FmArb* mem_file(const char* builder) {
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool(), sizeof(FmKdb) * FM_CAT_KDB_AREA));
  auto* sdb = static_cast<FmSdb*>(MM_ALLOC(pool(), sizeof(FmSdb) * FM_CAT_SDB_AREA));
  FmFdb fdb;
  fm_cat_fill(fm_cat_find(builder), &fdb, kdb, sdb, "BEN", "00");
  fdb.fclass = FM_CLASS_MEMORY;
  if (!FM_CREATE(&fdb, com.depth, 100, FM_OPT_BASE, 15, 15)) std::abort();
  return fdb.handle.get();
}

template <class T>
void write(FmArb* a, const T& r, uint16_t len = 0) {
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(T)));
  std::memcpy(b, &r, sizeof(T));
  PROTO_FULL(a, 0, b);
  a->rec_len = len;
  if (!fm_write(a)) std::abort();
  mm_free(b);
}

DDomain domain(const char* name, int kind, int storage, const char* mask) {
  DDomain d;
  std::memset(&d, ' ', sizeof d);
  d.cls = 0;
  d.name.set(name);
  std::memset(d.stamp.data(), 0xFF, 8);
  d.dflt_len = 10;
  d.decl_kind = uint8_t(kind);
  d.kind = 0;
  d.token = 0;
  d.storage = uint8_t(storage);
  d.mask.set(mask);
  d.rng_code1 = d.rng_code2 = 255;
  d.case_code = d.alpha_kind = 0;
  d.justify = 1;
  return d;
}

std::string fname(int f) {
  char b[9];
  std::snprintf(b, sizeof b, "F%03d", f);
  return b;
}

struct Design {
  FmArb *dom, *fld, *rec, *tok, *elem, *file, *init, *bitmap, *m1, *m2;
  Design() {
    dom = mem_file("INIT_DDOM_FDB");
    fld = mem_file("INIT_DFLD_FDB");
    rec = mem_file("INIT_DREC_FDB");
    tok = mem_file("INIT_DTOKEN_FDB");
    elem = mem_file("INIT_DELEM_FDB");
    file = mem_file("INIT_DFI_FDB");
    init = mem_file("INIT_DINIT_FDB");
    bitmap = mem_file("INIT_DBITMAP_FDB");
    dd_msg_create(1, com.depth, &m1);
    dd_msg_create(2, com.depth, &m2);
    write(dom, domain("ALPHA10", 4, 1, ""));
    write(dom, domain("BIN2", 1, 1, "9999"));
    write(dom, domain("BIN4", 1, 1, "999999999"));
    write(dom, domain("PACK", 1, 2, "999999.99"));
    write(dom, domain("DATE", 2, 1, "08070605"));
    write(dom, domain("LOGIC", 3, 0, ""));
    uint32_t ident = 0;
    for (int f = 0; f < kFiles; ++f) {
      DRecord r;
      std::memset(&r, ' ', sizeof r);
      r.name.set(fname(f));
      r.ftype = 1;
      r.org = 3;
      r.b95 = 0;
      r.share[0] = r.share[1] = 0;
      r.rec_len = 0;
      r.area = r.area2 = 0;
      for (auto& u : r.usage) u = 0;
      r.key_count = 0;
      for (auto& s : r.seg_count) s = 0;
      for (auto& k : r.key_len) k = 0;
      std::memset(r.cmpl_stamp.data(), 0xFF, 8);
      std::memset(r.struct_stamp.data(), 0xFF, 8);
      write(rec, r);
      for (int i = 0; i < kFields; ++i) {
        DField x;
        std::memset(&x, ' ', sizeof x);
        x.area = 0;
        x.work.set("0");
        x.name.set(fname(f) + " C" + std::to_string(i));
        x.kind = 1;
        // keys on the first three: an alpha, a binary of 2 and one of 4
        x.domain.set(kKinds[i < 3 ? i : i % 6].domain);
        x.offset = x.length = 0;
        x.occurs = 1;
        x.file.set(fname(f));
        x.number = uint32_t(i + 1);
        std::memset(x.ident_stamp.data(), 0, 16);
        rec::view<rec::U32>(x.ident_stamp.data() + 4).set(++ident);
        std::memset(x.cmpl_stamp.data(), 0, 8);
        x.b93 = x.b94 = x.b185 = x.share_a = x.share_b = 0;
        x.usage = 1;
        x.key_kind = uint8_t(i == 0 ? 0 : i < 3 ? 1 : 255);
        x.key_no = uint8_t(i < 3 ? i : 255);
        x.low_given = x.high_given = 255;
        x.b525 = x.b529 = x.dom_class = 0;
        write(fld, x);
      }
    }
  }
  void empty() {
    for (FmArb* a : {elem, file, init, bitmap, m1, m2}) fm_del_all(a);
  }
  void compile() {
    DdFiles files;
    files.elem = elem;
    files.dom = dom;
    files.fld = fld;
    files.file = file;
    files.rec = rec;
    files.bitmap = bitmap;
    files.token = tok;
    files.init = init;
    for (int f = 0; f < kFiles; ++f) {
      std::string t = "BEN00" + fname(f);
      t.resize(13, ' ');
      dd_cmpl(1, t.c_str(), m1, m2, &files);
    }
  }
};

Design& design() {
  static Design* d = [] {
    static std::string dir = "/tmp/quvo-bench-dd-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    setenv("QUVOPATH", dir.c_str(), 1);
    bi_init_com();
    fms_init();
    return new Design;
  }();
  return *d;
}

// The generator first: it makes and ends the file manager of its own run,
// which the compile benchmarks' design files then outlive.
std::string source_app() {
  static std::string root;
  if (!root.empty()) return root;
  root = "/tmp/quvo-bench-dd-src-" + std::to_string(getpid());
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  });
  std::filesystem::create_directories(root + "/BEN");
  std::ofstream o(root + "/BEN/files.def");
  o << "application\n  title = Bench\n  databases = BEN\n\n";
  for (int f = 0; f < kFiles; ++f) {
    o << "file " << fname(f) << " disk\n";
    for (int i = 0; i < kFields; ++i) {
      o << "  " << fname(f) << " C" << i << " = " << kKinds[i < 3 ? i : i % 6].source;
      if (i < 3) o << " key " << i;
      o << "\n";
    }
    o << "\n";
  }
  return root;
}

void generate(benchmark::State& st, bool with_app) {
  std::vector<std::string> roots{QUVO_SOURCE_DIR "/data/apps"};
  if (with_app) roots.push_back(source_app());
  std::string out = "/tmp/quvo-bench-dd-out-" + std::to_string(getpid());
  for (auto _ : st) {
    qg::Errors errs;
    if (!qg::generate(roots, out, &errs)) {
      st.SkipWithError(("generator failed: " + errs.str()).c_str());
      break;
    }
  }
  std::filesystem::remove_all(out);
}
void GenSystemApps(benchmark::State& st) { generate(st, false); }
void GenSystemApps200(benchmark::State& st) { generate(st, true); }
BENCHMARK(GenSystemApps)->Unit(benchmark::kMillisecond);
BENCHMARK(GenSystemApps200)->Unit(benchmark::kMillisecond);

void DdCompile200(benchmark::State& st) {
  Design& d = design();
  for (auto _ : st) {
    st.PauseTiming();
    d.empty();
    st.ResumeTiming();
    d.compile();
  }
  st.counters["files/s"] = benchmark::Counter(kFiles, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(DdCompile200)->Unit(benchmark::kMillisecond);

// Every record of a memory file.
std::vector<std::vector<uint8_t>> records(FmArb* a, size_t size) {
  std::vector<std::vector<uint8_t>> out;
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool(), size));
  PROTO_FULL(a, 0, b);
  a->op = FM_OP_FIRST;
  fm_start(a);
  for (;;) {
    a->op = 0;
    a->rec_len = uint16_t(size);
    if (!fm_rdnxt(a)) break;
    out.emplace_back(b, b + a->len_read.get());
  }
  mm_free(b);
  return out;
}

void DdWriteFloor200(benchmark::State& st) {
  Design& d = design();
  d.empty();
  d.compile();
  auto elems = records(d.elem, sizeof(DElem));
  auto inits = records(d.init, sizeof(DInit));
  auto* b = static_cast<uint8_t*>(MM_ALLOC(pool(), sizeof(DInit)));
  for (auto _ : st) {
    st.PauseTiming();
    fm_del_all(d.elem);
    fm_del_all(d.init);
    st.ResumeTiming();
    for (const auto& r : elems) {
      std::memcpy(b, r.data(), r.size());
      PROTO_FULL(d.elem, 0, b);
      fm_write(d.elem);
    }
    for (const auto& r : inits) {
      std::memcpy(b, r.data(), r.size());
      PROTO_FULL(d.init, 0, b);
      d.init->rec_len = uint16_t(r.size());
      fm_write(d.init);
    }
  }
  mm_free(b);
  st.counters["elements"] = double(elems.size());
}
BENCHMARK(DdWriteFloor200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
