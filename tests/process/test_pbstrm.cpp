// Query streams through the file manager: an attached stream delivers the
// records a query's selection chooses, in the order of its sort fields, with
// level starts and ends, against a brute-force filter and stable sort of the
// same records; active queries reused, checked, rebuilt and narrowed; records
// changed under a stream; queries gone with their scope.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/unixio.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/ut.h"
#include "process/pb.h"
#include "process/pcb.h"
#include "process/pishr.h"
#include "support/dict_fixtures.h"
#include "support/syserr.h"
#include "support/quvo_run.h"

namespace {

// 16-byte records: u32 id at 0 (key 0, unique), 3-byte alpha A at 4, signed
// binary B at 8, spare.
constexpr uint16_t kLen = 16;
struct Rec {
  uint32_t id;
  std::string a;
  int32_t b;
};

// A selection line of the test's own meaning: field A or B against a value
// under relation 1 =, 2 <>, 3 <, 4 <=, 5 >, 6 >=, 7 = on the first byte.
bool holds(int rel, int c) {
  switch (rel) {
    case 1: case 7: return c == 0;
    case 2: return c != 0;
    case 3: return c < 0;
    case 4: return c <= 0;
    case 5: return c > 0;
    default: return c >= 0;
  }
}
bool line_test(const PbQslct& l, const uint8_t* r) {
  std::string v = l.r_value.str();
  int c;
  if (l.l_field.str() == "A") {
    std::string a(reinterpret_cast<const char*>(r + 4), 3);
    c = l.relation == 7 ? a[0] - v[0] : a.compare(v);
  } else {
    int32_t b = rec::view<rec::I32>(r + 8);
    int32_t w = std::stoi(v);
    c = b < w ? -1 : b > w;
  }
  return holds(l.relation, c);
}
bool line_test(const PbQslct& l, const Rec& x) {
  uint8_t r[kLen] = {};
  std::memcpy(r + 4, x.a.data(), 3);
  rec::view<rec::I32>(r + 8).set(x.b);
  return line_test(l, r);
}

PbQslct make_line(uint32_t no, bool field_a, uint8_t rel, const std::string& value) {
  PbQslct l;
  std::memset(static_cast<void*>(&l), ' ', sizeof l);
  l.kind = 8;
  l.line = no;
  l.relation = rel;
  l.on = '1';
  l.mentioned = '0';
  l.l_field.set(field_a ? "A" : "B");
  l.r_value.set(value);
  return l;
}

// A random expression over lines from..from+n-1, fully bracketed, with its
// own recursive evaluation.
struct Expr {
  std::string text;
  std::function<bool(const std::function<bool(int)>&)> eval;
};
Expr random_expr(std::mt19937& rng, int from, int n) {
  if (n == 1) return {std::to_string(from), [from](const std::function<bool(int)>& t) { return t(from); }};
  int k = 1 + int(rng() % unsigned(n - 1));
  Expr l = random_expr(rng, from, k), r = random_expr(rng, from + k, n - k);
  bool is_or = rng() & 1;
  return {"(" + l.text + (is_or ? " OR " : " AND ") + r.text + ")",
          [l, r, is_or](const std::function<bool(int)>& t) { return is_or ? l.eval(t) || r.eval(t) : l.eval(t) && r.eval(t); }};
}

struct Sort {
  bool a_first = true;
  int fields = 2;
  char order[2] = {'+', '+'};
};

// The query the test defines, changeable between attaches.
struct Def {
  std::vector<PbQslct> lines;
  Expr expr;             // text and evaluation; empty text: every record
  Sort sort;
  std::vector<FmCns> cns;            // the query process's key constraints
  std::vector<uint8_t> cns_values;
  int builds = 0;
  PbKeyDef key() const {
    PbKeyDef d;
    for (int i = 0; i < sort.fields; ++i) {
      PbKeyField k;
      k.level = uint8_t(i + 1);
      k.order = sort.order[i];
      if ((i == 0) == sort.a_first) k.type = 1, k.offset = 4, k.len = 3;
      else k.type = 5, k.offset = 8, k.len = 4, k.is_signed = true;
      d.fields.push_back(k);
    }
    return d;
  }
  std::string criteria() const {
    std::string c = expr.text + char(sort.fields) + sort.order[0] + sort.order[1] + char(sort.a_first);
    for (const PbQslct& l : lines) c.append(reinterpret_cast<const char*>(&l), sizeof l);
    return c;
  }
};

class PbStream : public ::testing::Test {
 protected:
  void SetUp() override {
    bi_init_com();
    fms_init();
    setenv("QUVOPATH", dir.str().c_str(), 1);
    pb_init();
    pool = mm_create_pool(" PBSTRMTEST ", 0, 0);
    pb_set_define([this](const FmScbQuery&, PbQueryDef* out) {
      ++def.builds;
      out->lines = def.lines;
      out->text8 = def.expr.text;
      out->test = [](const PbQslct& l, const uint8_t* r) { return line_test(l, r); };
      out->key = def.key();
      out->criteria = def.criteria();
      out->cns = def.cns;
      out->cns_values = def.cns_values;
      return 1;
    });
    pb_set_yield([this] { ++reads; });
  }
  void TearDown() override {
    pb_set_define(nullptr);
    pb_set_yield(nullptr);
    fm_shutdown();
    mm_destroy_pool(pool);
  }
  uint8_t* alloc(size_t n) { return static_cast<uint8_t*>(MM_ALLOC(pool, n)); }

  FmArb* make_pcf(int scope) {
    uint8_t* area = alloc(256);
    auto* kdb = reinterpret_cast<FmKdb*>(area);
    auto* sdb = reinterpret_cast<FmSdb*>(area + 2 * sizeof(FmKdb));
    init_sdb_func(&sdb[0], 1, 0, 4, FM_SEG_BINARY, '+');
    INIT_KDB(&kdb[0], 0, '+', 8, &sdb[0], 1);
    auto* f = reinterpret_cast<FmFdb*>(alloc(sizeof(FmFdb)));
    INIT_FDB(f, FM_CLASS_MEMORY, kLen, 0, kdb, 1);
    INIT_UNIQUE_PATH(f, "PB", "TS", 1);
    if (!FM_CREATE(f, scope, 100, FM_OPT_BASE, 15, 15)) return nullptr;
    return f->handle.get();
  }
  bool put(FmArb* h, const Rec& x, bool rewrite = false) {
    uint8_t* r = alloc(kLen);
    std::memset(r, 0, kLen);
    rec::view<rec::U32>(r).set(x.id);
    std::memcpy(r + 4, x.a.data(), 3);
    rec::view<rec::I32>(r + 8).set(x.b);
    h->rec.set(r);
    h->key_no = 0;
    if (!rewrite) return h->op = 0, fm_write(h);
    h->op = FM_OP_KEY | FM_OP_EQUAL | FM_OP_HOLD;
    h->key.set(r);
    h->key_len = 4;
    uint8_t* old = alloc(kLen);
    h->rec.set(old);
    if (!fm_read(h)) return false;
    h->rec.set(r);
    h->op = 0;
    return fm_rewrite(h);
  }
  FmArb* attach(FmArb* pcf, int scope, uint8_t reuse, bool events, FmScb* cns = nullptr) {
    auto* q = reinterpret_cast<FmScbQuery*>(alloc(sizeof(FmScbQuery)));
    std::memset(static_cast<void*>(q), 0, sizeof *q);
    q->head.type = FM_SCB_QUERY;
    q->scope = uint32_t(scope);
    q->app.set("QAP");
    q->ver.set("01");
    q->name.set("ORDERS");
    q->level_events = events;
    q->reuse = reuse;
    q->head.next.set(cns);
    FmArb* s = FM_ATTACH(pcf, &q->head, scope);
    if (s) s->rec.set(alloc(kLen));
    return s;
  }
  // Reads the stream to its end: records as "R<id>" (a held one with its
  // status), level events as "S<level>" / "E<level>".
  std::vector<std::string> read_all(FmArb* s, uint32_t* end, size_t stop = SIZE_MAX, bool from_start = true) {
    std::vector<std::string> out;
    s->op = uint16_t((from_start ? FM_OP_FIRST : 0) | read_op);
    while (out.size() < stop) {
      int rc;
      const uint8_t* r = nullptr;
      if (read_op & FM_OP_FAST) {
        r = fm_rdnxt_fast(s, s->op & ~FM_OP_FAST);
        rc = r != nullptr;
      } else {
        rc = fm_rdnxt(s);
        r = s->rec.get();
      }
      s->op = read_op;
      uint32_t st = s->status;
      if (st == FM_ST_LEVEL_START || st == FM_ST_LEVEL_END) {
        EXPECT_EQ(rc, 1);
        out.push_back((st == FM_ST_LEVEL_START ? "S" : "E") + std::to_string(s->level));
      } else if (st == FM_ST_QRY_RECORD || st == FM_ST_HELD_SELF || st == FM_ST_LOCKED) {
        uint32_t id = rec::view<rec::U32>(r);
        EXPECT_TRUE(s->rid != 0 || s->rid_ext);
        b_of[id] = rec::view<rec::I32>(r + 8);
        out.push_back("R" + std::to_string(id) + (st == FM_ST_QRY_RECORD ? "" : "/" + std::to_string(st)));
      } else {
        *end = st;
        break;
      }
    }
    return out;
  }

  TempDir dir;
  uint16_t read_op = 0;             // operation bits of the stream's reads
  std::map<uint32_t, int32_t> b_of;  // B of each record as delivered
  Def def;
  int reads = 0;
  MmPool pool = 0;
};

// The expected events: the records the selection chooses, stably sorted by
// their sort fields (in id order before), with level starts and ends at
// their break levels.
std::vector<std::string> expect(std::vector<Rec> recs, const Def& d, bool events) {
  std::sort(recs.begin(), recs.end(), [](const Rec& x, const Rec& y) { return x.id < y.id; });
  std::vector<Rec> sel;
  for (const Rec& x : recs) {
    auto t = [&](int no) { return line_test(d.lines[size_t(no - 1)], x); };
    if (d.expr.text.empty() || d.expr.eval(t)) sel.push_back(x);
  }
  auto field = [&](const Rec& x, int level) -> std::pair<std::string, int32_t> {
    bool a = (level == 1) == d.sort.a_first;
    return a ? std::pair{x.a, 0} : std::pair{std::string(), x.b};
  };
  std::stable_sort(sel.begin(), sel.end(), [&](const Rec& x, const Rec& y) {
    for (int l = 1; l <= d.sort.fields; ++l) {
      auto fx = field(x, l), fy = field(y, l);
      if (fx == fy) continue;
      return d.sort.order[l - 1] == '+' ? fx < fy : fy < fx;
    }
    return false;
  });
  int n = d.sort.fields;
  auto brk = [&](const Rec& x, const Rec& y) {
    for (int l = 1; l <= n; ++l)
      if (field(x, l) != field(y, l)) return l;
    return n + 1;
  };
  std::vector<std::string> out;
  for (size_t i = 0; i < sel.size(); ++i) {
    int from = i ? brk(sel[i - 1], sel[i]) : 0;
    if (events && i)
      for (int l = n; l >= from; --l) out.push_back("E" + std::to_string(l));
    if (events)
      for (int l = from; l <= n; ++l) out.push_back("S" + std::to_string(l));
    out.push_back("R" + std::to_string(sel[i].id));
  }
  if (events && !sel.empty())
    for (int l = n; l >= 0; --l) out.push_back("E" + std::to_string(l));
  return out;
}

std::string str(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += x + " ";
  return s;
}

Def random_def(std::mt19937& rng) {
  Def d;
  int n = int(rng() % 5);
  const char* as[] = {"AAA", "ABC", "BBB", "B  ", "ZZZ"};
  for (int i = 1; i <= n; ++i) {
    bool fa = rng() & 1;
    d.lines.push_back(make_line(uint32_t(i), fa, uint8_t(1 + rng() % 7),
                                fa ? as[rng() % 5] : std::to_string(int(rng() % 7) - 3)));
  }
  if (n) d.expr = random_expr(rng, 1, n);
  d.sort.fields = int(rng() % 3);
  d.sort.a_first = rng() & 1;
  d.sort.order[0] = rng() & 1 ? '+' : '-';
  d.sort.order[1] = rng() & 1 ? '+' : '-';
  return d;
}

std::vector<Rec> random_recs(std::mt19937& rng, size_t n) {
  const char* as[] = {"AAA", "ABC", "BBB", "B  ", "ZZZ", "   "};
  std::vector<Rec> v;
  for (size_t i = 0; i < n; ++i) {
    int32_t b = int32_t(rng() % 7) - 3;
    if (rng() % 9 == 0) b = rng() & 1 ? INT32_MIN : INT32_MAX;
    v.push_back(Rec{uint32_t(rng() % 100000), as[rng() % 6], b});
  }
  std::sort(v.begin(), v.end(), [](const Rec& x, const Rec& y) { return x.id < y.id; });
  v.erase(std::unique(v.begin(), v.end(), [](const Rec& x, const Rec& y) { return x.id == y.id; }), v.end());
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

TEST_F(PbStream, AStreamDeliversTheSelectedRecordsInSortOrderWithTheirLevels) {
  std::mt19937 rng(33);
  for (int round = 0; round < 120; ++round) {
    // Run memories of 1, 2, 3 and 7 elements per run, and one run.
    uint64_t per[] = {1, 2, 3, 7, 0};
    uint64_t k = per[round % 5];
    if (k) setenv("QUVO_RUN_MEM", std::to_string(k * 32).c_str(), 1);
    else unsetenv("QUVO_RUN_MEM");
    def = random_def(rng);
    std::vector<Rec> recs = random_recs(rng, rng() % 4 ? rng() % 60 : rng() % 600);
    bool events = rng() & 1;
    reads = 0;
    int rc = mark(1, [&] {
      FmArb* pcf = make_pcf(com.depth);
      ASSERT_NE(pcf, nullptr);
      for (const Rec& x : recs) ASSERT_TRUE(put(pcf, x));
      FmArb* s = attach(pcf, com.depth, 0, events);
      ASSERT_NE(s, nullptr) << pcf->status;
      uint32_t end = 0;
      std::vector<std::string> got = read_all(s, &end);
      EXPECT_EQ(end, FM_ST_EOF);
      ASSERT_EQ(str(got), str(expect(recs, def, events)))
          << "round " << round << " text " << def.expr.text << " fields " << def.sort.fields;
      // A start reads the query again from its first record.
      EXPECT_EQ(str(read_all(s, &end)), str(got));
      PbCounts c;
      ASSERT_TRUE(pb_counts(com.depth, "QAP", "ORDERS", &c));
      EXPECT_EQ(size_t(c.selected + c.refused), recs.size());
      EXPECT_EQ(reads, int(recs.size())) << "selected once";
      reads = 0;
      EXPECT_TRUE(fm_detach(s));
    });
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(pb_active(com.depth + 1), 0u) << "the query ends with its scope";
  }
  unsetenv("QUVO_RUN_MEM");
}

size_t files_in(const TempDir& d) {
  size_t n = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(d.path); it != decltype(it)(); ++it)
    n += it->is_regular_file();
  return n;
}

TEST_F(PbStream, ReuseModesShareCheckRebuildAndNarrowTheActiveQuery) {
  std::mt19937 rng(7);
  std::vector<Rec> recs = random_recs(rng, 200);
  setenv("QUVO_RUN_MEM", "200", 1);  // runs go to work files
  def.lines = {make_line(1, false, 6, "0")};
  def.expr = random_expr(rng, 1, 1);
  def.sort.fields = 2;
  def.sort.order[1] = '-';
  int depth = 0;
  int rc = mark(1, [&] {
    depth = com.depth;
    FmArb* pcf = make_pcf(depth);
    ASSERT_NE(pcf, nullptr);
    for (const Rec& x : recs) ASSERT_TRUE(put(pcf, x));
    uint32_t end;
    PbCounts c;
    auto id = [&] { return pb_counts(depth, "QAP", "ORDERS", &c) ? c.id : 0u; };
    FmArb* s1 = attach(pcf, depth, 0, true);
    ASSERT_NE(s1, nullptr);
    std::vector<std::string> first = read_all(s1, &end);
    EXPECT_EQ(str(first), str(expect(recs, def, true)));
    uint32_t id1 = id();
    EXPECT_EQ(reads, 200);
    // 0: the second stream shares the selection and the pointer records.
    FmArb* s2 = attach(pcf, depth, 0, true);
    EXPECT_EQ(str(read_all(s2, &end)), str(first));
    EXPECT_EQ(id(), id1);
    EXPECT_EQ(c.cursors, 2u);
    EXPECT_EQ(reads, 200);
    // 1 with the same criteria reuses; with a changed line builds anew
    // under a new id.
    FmArb* s3 = attach(pcf, depth, 1, true);
    EXPECT_EQ(id(), id1);
    EXPECT_EQ(str(read_all(s3, &end)), str(first));
    EXPECT_EQ(reads, 200);
    def.lines[0].r_value.set("1");
    FmArb* s4 = attach(pcf, depth, 1, true);
    EXPECT_EQ(id(), id1 + 20);
    EXPECT_EQ(str(read_all(s4, &end)), str(expect(recs, def, true)));
    EXPECT_EQ(reads, 400);
    // The streams of the old query read on.
    EXPECT_EQ(str(read_all(s1, &end)), str(first));
    // 2: rebuilt under the same id.
    def.lines[0].r_value.set("-1");
    FmArb* s5 = attach(pcf, depth, 2, false);
    EXPECT_EQ(id(), id1 + 20);
    std::vector<std::string> old = read_all(s5, &end);
    EXPECT_EQ(str(old), str(expect(recs, def, false)));
    EXPECT_EQ(reads, 600);
    // 3: among the old query's records only, in its order; one of them
    // deleted since is passed over.
    uint32_t gone = 0;
    for (const std::string& r : old)
      for (const Rec& x : recs)
        if (!gone && x.id == uint32_t(std::stoul(r.substr(1))) && x.a[0] == 'A') gone = x.id;
    ASSERT_NE(gone, 0u);
    {
      uint8_t* k = alloc(kLen);
      rec::view<rec::U32>(k).set(gone);
      pcf->rec.set(alloc(kLen));
      pcf->key.set(k);
      pcf->key_len = 4;
      pcf->key_no = 0;
      pcf->op = FM_OP_KEY | FM_OP_EQUAL | FM_OP_HOLD;
      ASSERT_TRUE(fm_read(pcf));
      pcf->op = 0;
      ASSERT_TRUE(fm_del(pcf));
      recs.erase(std::remove_if(recs.begin(), recs.end(), [&](const Rec& x) { return x.id == gone; }), recs.end());
    }
    def.lines = {make_line(1, true, 7, "A")};
    def.sort.fields = 0;
    FmArb* s6 = attach(pcf, depth, 3, false);
    ASSERT_NE(s6, nullptr);
    EXPECT_EQ(id(), id1 + 40);
    std::vector<std::string> narrow = read_all(s6, &end);
    std::vector<std::string> want;
    for (const std::string& r : old) {
      uint32_t n = uint32_t(std::stoul(r.substr(1)));
      for (const Rec& x : recs)
        if (x.id == n && x.a[0] == 'A') want.push_back(r);
    }
    EXPECT_EQ(str(narrow), str(want));
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(reads, 600 + int(old.size()) - 1);
    EXPECT_EQ(pb_active(depth), 2u) << "the narrowed query is hidden but alive";
    // A selection unwound by the engine's yield runs again on the next read.
    def.lines[0].r_value.set("B");
    FmArb* s7 = attach(pcf, depth, 2, false);
    pb_set_yield([] { ut_unwind(3); });
    EXPECT_EQ(mark(0, [&] { read_all(s7, &end); }), 3);
    pb_set_yield([this] { ++reads; });
    EXPECT_EQ(str(read_all(s7, &end)), str(expect(recs, def, false)));
    EXPECT_TRUE(fm_detach(s7));
    for (FmArb* s : {s1, s2, s3, s4, s5}) EXPECT_TRUE(fm_detach(s));
  });
  ASSERT_EQ(rc, 1);
  // The scope's end takes the active and the hidden query, and leaves no
  // work file.
  EXPECT_EQ(pb_active(depth), 0u);
  EXPECT_EQ(files_in(dir), 0u);
  unsetenv("QUVO_RUN_MEM");
}

// Another handle changes the file while a stream reads: deleted records are
// skipped with balanced level events (none without them), a rewritten one
// comes new in its old place, an added one not at all, a held one with the
// status of the hold.
TEST_F(PbStream, RecordsChangedUnderAStreamAreSkippedOrDeliveredInTheOldOrder) {
  for (bool events : {true, false}) {
    def = Def{};
    def.sort.fields = 2;  // A then B
    std::vector<Rec> recs = {{1, "XXX", 0}, {2, "XXX", 1}, {3, "XXX", 2}, {4, "YYY", 1}, {5, "YYY", 2},
                             {6, "YYY", 3}, {7, "ZZZ", 1}, {8, "ZZZ", 1}, {9, "ZZZ", 2}};
    int rc = mark(1, [&] {
      FmArb* pcf = make_pcf(com.depth);
      ASSERT_NE(pcf, nullptr);
      for (const Rec& x : recs) ASSERT_TRUE(put(pcf, x));
      FmArb* s = attach(pcf, com.depth, 0, events);
      uint32_t end = 0;
      std::vector<std::string> got = read_all(s, &end, events ? 4 : 1);
      // (X,1) and (X,2) go: the break after (X,0) is the lower one, level 1;
      // (Y,2) goes too, (Z,1) is rewritten to (A,9), (Y,3) is held.
      FmArb* other = FM_ATTACH(pcf, static_cast<FmScb*>(nullptr), com.depth);
      ASSERT_NE(other, nullptr);
      for (uint32_t id : {2u, 3u, 5u}) {
        uint8_t* k = alloc(kLen);
        rec::view<rec::U32>(k).set(id);
        other->rec.set(k);
        other->key.set(k);
        other->key_len = 4;
        other->key_no = 0;
        other->op = FM_OP_KEY | FM_OP_EQUAL | FM_OP_HOLD;
        ASSERT_TRUE(fm_read(other));
        other->op = 0;
        ASSERT_TRUE(fm_del(other));
      }
      ASSERT_TRUE(put(other, Rec{7, "AAA", 9}, true));
      ASSERT_TRUE(put(other, Rec{10, "AAA", 0}));
      ASSERT_TRUE(put(other, Rec{6, "YYY", 3}, true));
      {
        uint8_t* k = alloc(kLen);
        rec::view<rec::U32>(k).set(6);
        other->rec.set(k);
        other->key.set(k);
        other->op = FM_OP_KEY | FM_OP_EQUAL | FM_OP_HOLD;
        ASSERT_TRUE(fm_read(other));
      }
      read_op = FM_OP_HOLD;  // a hold by another handle shows to a reader that holds
      for (;;) {
        std::vector<std::string> more = read_all(s, &end, 1, false);
        if (more.empty()) break;
        got.push_back(more[0]);
      }
      EXPECT_EQ(end, FM_ST_EOF);
      std::vector<Rec> kept = {recs[0], recs[3], recs[5], recs[6], recs[7], recs[8]};
      std::vector<std::string> want = expect(kept, def, events);
      for (std::string& w : want)
        if (w == "R6") w = "R6/200520";
      EXPECT_EQ(str(got), str(want)) << "events " << events;
      EXPECT_EQ(b_of[7], 9) << "a rewritten record comes as it is now";
      read_op = 0;
    });
    ASSERT_EQ(rc, 1);
  }
}

// Key constraints of the attach narrow the selection; fast reads get the
// records themselves.
TEST_F(PbStream, ConstraintsNarrowTheSelectionAndFastReadsGetTheRecords) {
  std::mt19937 rng(5);
  std::vector<Rec> recs = random_recs(rng, 300);
  def.sort.fields = 2;
  def.sort.a_first = false;
  int rc = mark(1, [&] {
    FmArb* pcf = make_pcf(com.depth);
    ASSERT_NE(pcf, nullptr);
    for (const Rec& x : recs) ASSERT_TRUE(put(pcf, x));
    auto* k = reinterpret_cast<FmScbCns*>(alloc(sizeof(FmScbCns)));
    std::memset(static_cast<void*>(k), 0, sizeof *k);
    k->head.type = FM_SCB_CNS;
    k->len = 3;
    k->values.set(alloc(3));
    std::memcpy(k->values.get(), "ABC", 3);
    k->count = 1;
    k->entries.set(reinterpret_cast<FmCns*>(alloc(sizeof(FmCns))));
    k->entries->id = 1;
    k->entries->offset = 4;
    k->entries->length = 3;
    FmArb* s = attach(pcf, com.depth, 0, true, &k->head);
    ASSERT_NE(s, nullptr);
    uint32_t end = 0;
    std::vector<std::string> plain = read_all(s, &end);
    read_op = FM_OP_FAST;
    std::vector<std::string> got = read_all(s, &end);
    read_op = 0;
    EXPECT_EQ(str(plain), str(got));
    EXPECT_EQ(end, FM_ST_EOF);
    std::vector<Rec> want;
    for (const Rec& x : recs)
      if (x.a == "ABC") want.push_back(x);
    ASSERT_FALSE(want.empty());
    // Read again by its id (record i + 1), fast: that record, not the one
    // the stream read last, and its length.
    size_t i = 0;
    while (recs[i].a != "ABC") ++i;
    s->rid = uint32_t(i + 1);
    const uint8_t* again = fm_read_fast(s, FM_OP_RID);
    ASSERT_NE(again, nullptr) << s->status;
    EXPECT_EQ(rec::view<rec::U32>(again).get(), recs[i].id);
    EXPECT_EQ(s->len_read, kLen);
    EXPECT_EQ(str(got), str(expect(want, def, true)));
    for (const Rec& x : want) EXPECT_EQ(b_of[x.id], x.b);
    // Rebuilt under other constraints: each value against its own field,
    // a field up to the record's end taken, one past it or values shorter
    // than the fields refused.
    auto cns = [&](std::vector<std::pair<uint16_t, uint16_t>> fields, const std::string& values) {
      auto* c = reinterpret_cast<FmScbCns*>(alloc(sizeof(FmScbCns)));
      std::memset(static_cast<void*>(c), 0, sizeof *c);
      c->head.type = FM_SCB_CNS;
      c->len = uint32_t(values.size());
      c->values.set(alloc(values.size()));
      std::memcpy(c->values.get(), values.data(), values.size());
      c->count = uint32_t(fields.size());
      c->entries.set(reinterpret_cast<FmCns*>(alloc(sizeof(FmCns) * fields.size())));
      for (size_t i = 0; i < fields.size(); ++i) {
        c->entries.get()[i].id = uint16_t(i + 1);
        c->entries.get()[i].offset = fields[i].first;
        c->entries.get()[i].length = fields[i].second;
      }
      return &c->head;
    };
    FmArb* two = attach(pcf, com.depth, 2, true, cns({{4, 3}, {12, 4}}, std::string("ABC\0\0\0\0", 7)));
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(str(read_all(two, &end)), str(plain));
    fm_detach(two);
    FmArb* tail = attach(pcf, com.depth, 2, false, cns({{12, 4}}, std::string(4, '\0')));
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(read_all(tail, &end).size(), recs.size());
    fm_detach(tail);
    EXPECT_EQ(attach(pcf, com.depth, 2, false, cns({{13, 4}}, std::string(4, '\0'))), nullptr);
    EXPECT_EQ(attach(pcf, com.depth, 2, false, cns({{4, 3}}, "AB")), nullptr);
    // So do the query process's own constraints (from its suspend file).
    FmCns a{};
    a.id = 1;
    a.offset = 4;
    a.length = 3;
    def.cns = {a};
    def.cns_values = {'A', 'B', 'C'};
    FmArb* own = attach(pcf, com.depth, 2, true);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(str(read_all(own, &end)), str(plain));
    fm_detach(own);
    def.cns_values.pop_back();
    EXPECT_EQ(attach(pcf, com.depth, 2, false), nullptr);
  });
  ASSERT_EQ(rc, 1);
}

// The progress line at 1, 2, ..., 10, 20, ... of each phase, gone between
// the phases and at the end.
TEST_F(PbStream, TheProgressLineIsShownAtEachDecadeStep) {
  std::vector<std::string> shown;
  pb_set_progress([&](const char* t) { shown.push_back(t ? t : "-"); });
  setenv("QUVO_SHOW_PROGRESS", "", 1);
  pb_init();
  def.lines = {make_line(1, false, 6, "0")};
  def.expr = Expr{"1", nullptr};
  std::vector<Rec> recs;
  for (uint32_t i = 1; i <= 25; ++i) recs.push_back(Rec{i, "AAA", i % 5 ? 1 : -1});
  int rc = mark(1, [&] {
    FmArb* pcf = make_pcf(com.depth);
    for (const Rec& x : recs) ASSERT_TRUE(put(pcf, x));
    FmArb* s = attach(pcf, com.depth, 0, false);
    uint32_t end = 0;
    EXPECT_EQ(read_all(s, &end).size(), 20u);
  });
  ASSERT_EQ(rc, 1);
  unsetenv("QUVO_SHOW_PROGRESS");
  pb_init();
  pb_set_progress(nullptr);
  std::vector<std::string> want{"-"};
  for (uint32_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20})
    want.push_back("Selecting record " + std::to_string(n - n / 5) + " of " + std::to_string(n) + " processed");
  want.push_back("-");
  for (uint32_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20})
    want.push_back("Processing record " + std::to_string(n) + " of 20 selected");
  want.push_back("-");
  EXPECT_EQ(str(shown), str(want));
}

}  // namespace

// ===================================================== query definitions ==
// Whole queries defined as a Query process leaves them: QPARM, QSLCT and
// QSORT in the query scope, the fields in the ELEMENT dictionary, the
// query process's suspend file with its key constraints or tagged records,
// over a native PCF keyed by ID. Native records: ID (u32) at 0, A (alpha
// 3) at 4, B (signed binary 4) at 8, P (packed, 5.2, signed) at 12.
namespace {

struct NRec {
  uint32_t id;
  std::string a;
  int32_t b;
  int64_t p;   // hundredths
};

// A line's outcome by the relations' meaning, on the values themselves.
bool n_holds(const PbQslct& l, const NRec& x) {
  std::string f = l.l_field.str(), v = l.r_value.str();
  int rel = l.relation;
  int c;
  if (f == "A") {
    std::string t = v;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    if (rel == 7) return x.a.find(t) != std::string::npos;
    std::string w = t;
    w.resize(3, ' ');
    c = x.a.compare(w) < 0 ? -1 : x.a.compare(w) > 0;
  } else if (f == "B") {
    int64_t w = std::stoll(v);
    c = x.b < w ? -1 : x.b > w;
  } else {
    int64_t w = int64_t(std::stod(v) * 100 + (v[0] == '-' ? -0.5 : 0.5));
    c = x.p < w ? -1 : x.p > w;
  }
  switch (rel) {
    case 1: case 7: return c == 0;
    case 2: return c >= 0;
    case 3: return c > 0;
    case 4: return c <= 0;
    case 5: return c < 0;
    default: return c != 0;
  }
}

class PbQuery : public PbStream {
 protected:
  void SetUp() override {
    PbStream::SetUp();
    pb_set_define(pb_qfi_define);
    pb_set_invoke_setup([this](const FmScbQuery& q, void* parent) {
      ++invoked;
      if (on_invoke) on_invoke(q, parent);
      return 1;
    });
    auto el = [](const char* name, fx::Values more) {
      static int serial = 0;
      ++serial;
      fx::Values v = {{"name", name}, {"kind", "1"}, {"occurs", "1"}, {"file", "ORD"}, {"number", std::to_string(serial)},
                      {"ident_stamp", "2026-03-03T00:00:" + std::to_string(10 + serial % 40)}};
      for (auto& m : more) v.push_back(m);
      return fx::rec("ELEMENT", v);
    };
    ASSERT_EQ(fx::write("ELEMENT", "QAP", "01",
                        {el("ID", {{"offset", "0"}, {"length", "4"}, {"type", "5"}, {"digits", "9"}}),
                         el("A", {{"offset", "4"}, {"length", "3"}, {"type", "1"}}),
                         el("B", {{"offset", "8"}, {"length", "4"}, {"type", "5"}, {"sign", "1"}, {"digits", "9"}}),
                         el("P", {{"offset", "12"}, {"length", "4"}, {"type", "8"}, {"sign", "1"}, {"digits", "5"},
                                  {"decimals", "2"}})}),
              4);
  }
  void TearDown() override {
    pb_set_invoke_setup(nullptr);
    PbStream::TearDown();
  }
  // The native PCF, created with the records (lens: their lengths in a file
  // of variable records; empty: fixed records).
  FmArb* native_pcf(int scope, const std::vector<NRec>& recs, const std::vector<uint16_t>& lens = {}) {
    auto* segs = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb)));
    init_sdb_func(segs, 1, 0, 4, FM_SEG_BINARY, '+');
    auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb)));
    INIT_KDB(kdb, 0, '+', FM_KEY_PRIMARY, segs, 1);
    auto* f = reinterpret_cast<FmFdb*>(alloc(sizeof(FmFdb)));
    INIT_FDB(f, FM_CLASS_DISK, kLen, lens.empty() ? 0 : 1, kdb, 1);
    f->app.set("QAP");
    f->ver.set("01");
    f->name.set("ORD");
    f->db.set("DB1");
    f->path_type = FM_PT_DATA;
    if (!FM_CREATE(f, scope, 0, FM_OPT_NO_SYSDIR, 15, 15)) return nullptr;
    FmArb* h = f->handle.get();
    uint8_t* r = alloc(kLen);
    for (size_t i = 0; i < recs.size(); ++i) {
      const NRec& x = recs[i];
      std::memset(r, 0, kLen);
      rec::view<rec::U32>(r).set(x.id);
      std::memcpy(r + 4, x.a.data(), 3);
      rec::view<rec::I32>(r + 8).set(x.b);
      CvNum n{x.p, 2};
      uint32_t msg = 0;
      EXPECT_TRUE(cv_num_put(8, r + 12, 4, 5, 2, true, n, &msg));
      h->rec.set(r);
      h->rec_len = lens.empty() ? 0 : lens[i];
      h->op = 0;
      if (!fm_write(h)) return nullptr;
    }
    h->rec_len = 0;
    return h;
  }
  // The query's criteria in its query files.
  void criteria(int scope, const std::string& text8, const std::vector<PbQslct>& lines,
                const std::vector<std::pair<std::string, char>>& sort, uint16_t sort_occ = 1) {
    auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * 17));
    auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb) * 64));
    FmFdb f;
    INIT_QPARM_FDB(&f, kdb, sdb, scope);
    if (!FM_OPEN(&f, scope, 0, 15, 15)) {
      ASSERT_TRUE(FM_CREATE(&f, scope, 0, 0, 15, 15));
    }
    FmArb* parm = f.handle.get();
    uint8_t* r = alloc(1644);
    std::memset(r, ' ', 1644);
    std::memcpy(r, "QAPORDERS", 9);
    std::memcpy(r + 41, text8.data(), text8.size());
    PROTO_FULL(parm, 0, r);
    parm->op = FM_OP_KEY | FM_OP_EQUAL | FM_OP_HOLD;
    parm->key.set(r);
    parm->key_len = 33;
    uint8_t* old = alloc(1644);
    parm->rec.set(old);
    bool had = fm_read(parm);
    parm->rec.set(r);
    parm->op = 0;
    ASSERT_TRUE(had ? fm_rewrite(parm) : fm_write(parm));
    FM_CLOSE(parm, 0);
    for (const char* file : {"QSLCT", "QSORT"}) {
      FmArb* s = pb_open_qfi(scope, file, "QAP", "ORDERS");
      ASSERT_NE(s, nullptr);
      s->op = 0;
      fm_del_all(s);
      FmArb* base = s->parent.get();
      if (file[1] == 'S' && file[2] == 'L') {
        for (PbQslct l : lines) {
          l.app.set("QAP");
          l.name.set("ORDERS");
          l.l_app.set("QAP");
          l.l_occ = 1;
          l.r_occ = 1;
          auto* lr = reinterpret_cast<PbQslct*>(alloc(sizeof l));
          *lr = l;
          PROTO_FULL(base, 0, reinterpret_cast<uint8_t*>(lr));
          ASSERT_TRUE(fm_write(base));
        }
      } else {
        uint32_t seq = 0;
        for (auto& [field, order] : sort) {
          auto* q = reinterpret_cast<PbQsort*>(alloc(sizeof(PbQsort)));
          std::memset(static_cast<void*>(q), ' ', sizeof *q);
          q->app.set("QAP");
          q->name.set("ORDERS");
          q->seq = ++seq;
          q->f_app.set("QAP");
          q->field.set(field);
          q->occ = sort_occ;
          q->order[0] = order;
          q->sorted[0] = '1';
          PROTO_FULL(base, 0, reinterpret_cast<uint8_t*>(q));
          ASSERT_TRUE(fm_write(base));
        }
      }
      FM_CLOSE(s, 0);
      FM_CLOSE(base, 0);
    }
  }
  int invoked = 0;
  std::function<void(const FmScbQuery&, void*)> on_invoke;
};

NRec random_nrec(std::mt19937& rng, uint32_t id) {
  const char* as[] = {"AAA", "ABC", "BBB", "B  ", "ZZZ", "   ", "CAB"};
  int32_t b = int32_t(rng() % 9) - 4;
  if (rng() % 11 == 0) b = rng() & 1 ? INT32_MIN : INT32_MAX;
  int64_t p = int64_t(rng() % 2001) - 1000;
  if (rng() % 13 == 0) p = rng() & 1 ? -9999999 : 9999999;
  return NRec{id, as[rng() % 7], b, p};
}

}  // namespace

TEST_F(PbQuery, AWholeQueryOverANativeFileEqualsABruteForce) {
  std::mt19937 rng(116);
  std::vector<NRec> recs;
  for (uint32_t i = 0; i < 2500; ++i) recs.push_back(random_nrec(rng, 1 + (rng() % 1000000)));
  std::sort(recs.begin(), recs.end(), [](const NRec& x, const NRec& y) { return x.id < y.id; });
  recs.erase(std::unique(recs.begin(), recs.end(), [](const NRec& x, const NRec& y) { return x.id == y.id; }),
             recs.end());
  const char* fields[] = {"A", "B", "P"};
  int rc = mark(1, [&] {
    FmArb* pcf = native_pcf(com.depth, recs);
    ASSERT_NE(pcf, nullptr);
    for (int round = 0; round < 40; ++round) {
      uint64_t per[] = {1, 3, 7, 0};
      if (uint64_t k = per[round % 4]; k && round % 8 < 4) setenv("QUVO_RUN_MEM", std::to_string(k * 48).c_str(), 1);
      else unsetenv("QUVO_RUN_MEM");
      std::vector<PbQslct> lines;
      int n = int(rng() % 4);
      for (int i = 1; i <= n; ++i) {
        int f = int(rng() % 3);
        std::string v = f == 0 ? std::string(rng() % 5 ? "AB" : "B") : f == 1 ? std::to_string(int(rng() % 9) - 4)
                                                                             : std::to_string(int(rng() % 21) - 10);
        if (f == 0 && rng() % 2) v = std::vector<std::string>{"AAA", "ABC", "BBB", "ZZZ"}[rng() % 4];
        uint8_t rel = uint8_t(1 + rng() % (f == 0 ? 7 : 6));
        lines.push_back(make_line(uint32_t(i), true, rel, v));
        lines.back().l_field.set(fields[f]);
      }
      Expr e = n ? random_expr(rng, 1, n) : Expr{};
      std::vector<std::pair<std::string, char>> sort;
      for (int k = int(rng() % 4); k > 0; --k) sort.emplace_back(fields[rng() % 3], rng() & 1 ? '+' : '-');
      criteria(com.depth, e.text, lines, sort);
      // Brute force: the records in key order, filtered, stably sorted.
      std::vector<NRec> sel;
      for (const NRec& x : recs)
        if (!n || e.eval([&](int no) { return n_holds(lines[size_t(no - 1)], x); })) sel.push_back(x);
      auto val = [&](const NRec& x, size_t l) -> std::pair<std::string, int64_t> {
        const std::string& f = sort[l].first;
        return f == "A" ? std::pair{x.a == "   " ? std::string() : x.a, int64_t(0)}
                        : std::pair{std::string(), f == "B" ? int64_t(x.b) : x.p};
      };
      std::stable_sort(sel.begin(), sel.end(), [&](const NRec& x, const NRec& y) {
        for (size_t l = 0; l < sort.size(); ++l) {
          auto a = val(x, l), b = val(y, l);
          if (a != b) return sort[l].second == '+' ? a < b : b < a;
        }
        return false;
      });
      bool events = rng() & 1;
      std::vector<std::string> want;
      size_t lv = sort.size();
      auto brk = [&](const NRec& x, const NRec& y) {
        for (size_t l = 0; l < lv; ++l)
          if (val(x, l) != val(y, l)) return l + 1;
        return lv + 1;
      };
      for (size_t i = 0; i < sel.size(); ++i) {
        size_t from = i ? brk(sel[i - 1], sel[i]) : 0;
        if (events && i)
          for (size_t l = lv; l + 1 > from; --l) want.push_back("E" + std::to_string(l));
        if (events)
          for (size_t l = from; l <= lv; ++l) want.push_back("S" + std::to_string(l));
        want.push_back("R" + std::to_string(sel[i].id));
      }
      if (events && !sel.empty())
        for (size_t l = lv + 1; l-- > 0;) want.push_back("E" + std::to_string(l));
      FmArb* s = attach(pcf, com.depth, 2, events);
      ASSERT_NE(s, nullptr) << "round " << round;
      uint32_t end = 0;
      std::vector<std::string> got = read_all(s, &end);
      EXPECT_EQ(end, FM_ST_EOF);
      if (got != want) {
        size_t i = 0;
        while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
        std::string why;
        for (const PbQslct& l : lines) why += l.l_field.str() + char('0' + l.relation) + l.r_value.str() + ";";
        FAIL() << "round " << round << " text " << e.text << " lines " << why << ": " << got.size() << " events, "
               << want.size() << " expected; first difference at " << i << ": "
               << (i < got.size() ? got[i] : "-") << " for " << (i < want.size() ? want[i] : "-");
      }
      PbInfo info;
      ASSERT_TRUE(pb_get_info(s, &info));
      EXPECT_EQ(info.selected, sel.size());
      if (round % 4 == 1 && sel.size() > 2) {
        // Two streams of the query share its pointer file, each at its own
        // place: a second one started at a record by its id, the first
        // reading again from the start, in turns.
        FmArb* t = attach(pcf, com.depth, 0, false);
        ASSERT_NE(t, nullptr);
        size_t from = sel.size() / 2;
        uint8_t* k = alloc(5);
        rec::view<rec::U32>(k).set(0);
        t->op = FM_OP_KEY;
        t->key.set(k);
        t->key_len = 4;
        EXPECT_FALSE(fm_start(t)) << "no record of the query has that id";
        // The id of the middle record: its key value, in a key of the id's length.
        rec::view<rec::U32>(k).set(sel[from].id);
        for (uint16_t n : {3, 5}) {
          t->key_len = n;
          EXPECT_FALSE(fm_start(t)) << "a key of " << n << " bytes";
        }
        t->key_len = 4;
        ASSERT_TRUE(fm_start(t));
        s->op = FM_OP_FIRST;
        std::vector<std::string> a, b;
        uint32_t e1 = 0, e2 = 0;
        while (!e1 || !e2) {
          if (!e1) {
            std::vector<std::string> one = read_all(s, &e1, 1, a.empty());
            a.insert(a.end(), one.begin(), one.end());
          }
          if (!e2) {
            std::vector<std::string> one = read_all(t, &e2, 1, false);
            b.insert(b.end(), one.begin(), one.end());
          }
        }
        std::vector<std::string> recs_only;
        for (const std::string& x : want)
          if (x[0] == 'R') recs_only.push_back(x);
        EXPECT_EQ(str(b), str(std::vector<std::string>(recs_only.begin() + long(from), recs_only.end())));
        EXPECT_EQ(str(a), str(want));
        fm_detach(t);
      }
      fm_detach(s);
    }
    unsetenv("QUVO_RUN_MEM");
  });
  EXPECT_EQ(rc, 1);
}

namespace {

// An area table: a record area, a file area, an area inside it, a private
// area and one that is never saved.
std::vector<EmAreaEntry> susp_areas() {
  std::vector<EmAreaEntry> t(5);
  for (EmAreaEntry& e : t) std::memset(static_cast<void*>(&e), 0, sizeof e);
  t[0].kind = 0, t[0].size = 40;
  t[1].kind = 1, t[1].size = 200;
  t[2].kind = 0, t[2].size = 8, t[2].sub = 4;
  t[3].kind = 2, t[3].size = 10;
  t[4].kind = 4, t[4].size = 16;
  return t;
}

PbSusp susp_contents(const char* cns) {
  PbSusp s;
  std::memset(static_cast<void*>(&s.head), ' ', sizeof s.head);
  s.head.app.set("QAP");
  s.head.name.set("ORDERS");
  s.head.em_word1 = 7;
  s.head.em_word2 = 9;
  s.head.q_reuse = 0;
  s.head.inv_word = 0;
  s.head.tagged = 0;
  s.head.cns_count = cns ? 1 : 0;
  s.head.cns_len = cns ? uint32_t(std::strlen(cns)) : 0;
  if (cns) {
    s.cns_values.assign(cns, cns + std::strlen(cns));
    FmCns c;
    c.id = 1;
    c.offset = 4;
    c.length = uint16_t(std::strlen(cns));
    s.cns.push_back(c);
  }
  for (const PbSuspEntry& p : pb_susp_plan(susp_areas())) {
    std::vector<uint8_t> r(p.size);
    for (size_t i = 0; i < r.size(); ++i) r[i] = uint8_t(i * 31 + p.area);
    s.records.push_back(r);
  }
  return s;
}

DProc query_proc() {
  return rec::view<DProc>(fx::process(5, "ORDERS").data());
}

}  // namespace

TEST_F(PbQuery, TheSuspendFileIsReadAsWrittenAndRefusedCutShortOrDamaged) {
  SysErrCapture se(SysErrAnswer::Continue);
  int rc = mark(1, [&] {
    FmFdb id;
    pb_susp_ident("QAP", "01", query_proc(), com.depth, &id);
    std::vector<EmAreaEntry> areas = susp_areas();
    // The plan: the record area, the file's descriptor, the private area.
    std::vector<PbSuspEntry> plan = pb_susp_plan(areas);
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(plan[0].size, 40u);
    EXPECT_EQ(plan[1].what, 2);
    EXPECT_EQ(plan[1].size, sizeof(FmFdb));
    EXPECT_EQ(plan[2].area, 3u);
    PbSusp s = susp_contents("ABC");
    ASSERT_TRUE(pb_susp_write(id, s, areas));
    EXPECT_TRUE(pb_pend_has(id)) << se.last();
    // Written again under the same identity: one pending record.
    ASSERT_TRUE(pb_susp_write(id, s, areas));
    ASSERT_TRUE(pb_pend_del(id));
    EXPECT_FALSE(pb_pend_has(id));
    PbSusp r;
    uint32_t st = 0;
    ASSERT_TRUE(pb_susp_read(id, &areas, &r, &st, false)) << st;
    EXPECT_EQ(std::memcmp(&r.head, &s.head, sizeof s.head), 0);
    EXPECT_EQ(r.cns_values, s.cns_values);
    ASSERT_EQ(r.cns.size(), 1u);
    EXPECT_EQ(r.cns[0].offset, 4);
    EXPECT_EQ(r.records, s.records);
    // Nor is a file written whose areas are not the plan's.
    PbSusp longer = s;
    longer.records[2].push_back(0);
    EXPECT_FALSE(pb_susp_write(id, longer, areas));
    // Another module's areas do not fit the file.
    std::vector<EmAreaEntry> other = areas;
    other[3].size = 11;
    EXPECT_FALSE(pb_susp_read(id, &other, &r, &st, false));
    EXPECT_EQ(st, FM_ST_STRUCT);
    other = areas;
    other[plan[2].area].kind = 4;  // a plan of two areas, a file of three
    EXPECT_FALSE(pb_susp_read(id, &other, &r, &st, false));
    EXPECT_EQ(st, FM_ST_STRUCT);

    // The file's records as they lie, then the file cut after each record
    // and each record with a bit flipped: every one refused.
    std::vector<std::vector<uint8_t>> raw;
    auto rewrite = [&](const std::vector<std::vector<uint8_t>>& recs) {
      FmFdb f = id;
      f.handle.reset();
      FM_SCRATCH(&f, 0);
      f = id;
      f.handle.reset();
      ASSERT_TRUE(FM_CREATE(&f, com.depth, 0, FM_OPT_NO_SYSDIR, 15, 15));
      FmArb* h = f.handle.get();
      uint8_t* buf = alloc(FM_MAX_REC);
      for (const auto& x : recs) {
        std::memcpy(buf, x.data(), x.size());
        h->rec.set(buf);
        h->rec_len = uint16_t(x.size());
        h->op = 0;
        ASSERT_TRUE(fm_write(h));
      }
      FM_CLOSE(h, 0);
    };
    {
      FmFdb f = id;
      f.handle.reset();
      ASSERT_TRUE(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 15, 15));
      FmArb* h = f.handle.get();
      uint8_t* buf = alloc(FM_MAX_REC);
      h->op = FM_OP_FIRST;
      fm_start(h);
      h->op = 0;
      h->rec.set(buf);
      h->rec_len = FM_MAX_REC;
      while (fm_rdnxt(h)) raw.emplace_back(buf, buf + h->len_read);
      FM_CLOSE(h, 0);
    }
    ASSERT_EQ(raw.size(), 7u);  // header, values, descriptors, three areas, the end
    for (size_t k = 0; k < raw.size(); ++k) {
      rewrite(std::vector<std::vector<uint8_t>>(raw.begin(), raw.begin() + long(k)));
      EXPECT_FALSE(pb_susp_read(id, nullptr, &r, &st, true)) << "cut after " << k << " records";
      EXPECT_EQ(st, FM_ST_STRUCT);
    }
    for (size_t k = 0; k < raw.size(); ++k)
      for (size_t at : {size_t(0), raw[k].size() / 2, raw[k].size() - 1}) {
        auto bad = raw;
        bad[k][at] ^= uint8_t(1u << (k % 8));
        rewrite(bad);
        EXPECT_FALSE(pb_susp_read(id, nullptr, &r, &st, true)) << "record " << k << " byte " << at;
      }
    // A constraint field longer than its 3 value bytes, under a sum that
    // fits, is refused too.
    for (uint16_t len : {3, 4}) {
      auto bad = raw;
      rec::view<FmCns>(bad[2].data()).length.set(len);
      uint32_t crc = 0;
      for (size_t k = 0; k + 1 < bad.size(); ++k) crc = uio_crc32c_rec(crc, bad[k].data(), bad[k].size());
      rec::view<rec::U32>(bad.back().data() + 8).set(crc);
      rewrite(bad);
      EXPECT_EQ(pb_susp_read(id, nullptr, &r, &st, true), len == 3 ? 1 : 0) << len;
    }
    rewrite(raw);
    ASSERT_TRUE(pb_susp_read(id, &areas, &r, &st, true));
    // Read with scratch: the file is gone.
    EXPECT_FALSE(pb_susp_read(id, nullptr, &r, &st, false));
    EXPECT_EQ(st, FM_ST_NOT_FOUND);
  });
  EXPECT_EQ(rc, 1);
}

TEST_F(PbQuery, TheQueryProcessIsRunAndRestoredFromItsSuspendFile) {
  SysErrCapture se(SysErrAnswer::Continue);
  ASSERT_EQ(fx::write("PROCESS", "QAP", "01", {fx::process(5, "ORDERS")}), 1);
  std::vector<NRec> recs = {{10, "ABC", 3, 0}, {11, "ZZZ", 1, 0}, {12, "ABC", -2, 0}, {13, "AAA", 0, 0},
                            {14, "ABC", 2, 0}};
  int rc = mark(1, [&] {
    int scope = com.depth;
    FmArb* pcf = native_pcf(scope, recs);
    ASSERT_NE(pcf, nullptr);
    criteria(scope, "", {}, {{"B", '+'}});
    FmFdb id;
    pb_susp_ident("QAP", "01", query_proc(), scope, &id);
    // The query process, run for the user, leaves its key constraint A =
    // "ABC" (or, the second time, tags records 13, 10, 12 in that order).
    bool tag = false;
    on_invoke = [&](const FmScbQuery& q, void*) {
      EXPECT_EQ(q.name.str(), "ORDERS");
      PbSusp s = susp_contents(tag ? nullptr : "ABC");
      s.head.tagged = tag;
      ASSERT_TRUE(pb_susp_write(id, s, susp_areas()));
      if (!tag) return;
      auto* kdb = reinterpret_cast<FmKdb*>(alloc(sizeof(FmKdb) * 17));
      auto* sdb = reinterpret_cast<FmSdb*>(alloc(sizeof(FmSdb) * 64));
      FmFdb f;
      INIT_QTAG_FDB(&f, kdb, sdb, scope);
      ASSERT_TRUE(FM_OPEN(&f, scope, FM_OPT_CREATE, 15, 15));
      uint8_t* t = alloc(44);
      uint32_t seq = 0;
      for (uint32_t rid : {13u, 10u, 12u}) {
        std::memset(t, ' ', 44);
        std::memcpy(t, "QAPORDERS", 9);
        rec::view<rec::U32>(t + 36).set(seq++);
        rec::view<rec::U32>(t + 40).set(rid);
        f.handle.get()->rec.set(t);
        f.handle.get()->rec_len = 44;
        ASSERT_TRUE(fm_write(f.handle.get()));
      }
      FM_CLOSE(f.handle.get(), 0);
    };
    uint32_t end = 0;
    FmArb* s = attach(pcf, scope, 0, false);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(invoked, 1);
    EXPECT_EQ(str(read_all(s, &end)), "R12 R14 R10 ");
    // Reuse if compatible: the criteria compared, the query process not
    // run again.
    FmArb* s2 = attach(pcf, scope, 1, false);
    ASSERT_NE(s2, nullptr);
    EXPECT_EQ(invoked, 1);
    EXPECT_EQ(str(read_all(s2, &end)), "R12 R14 R10 ");
    // Restored once: the file and its pending record are gone.
    PbSusp r;
    uint32_t st = 0;
    EXPECT_FALSE(pb_susp_read(id, nullptr, &r, &st, false));
    EXPECT_EQ(st, FM_ST_NOT_FOUND);
    EXPECT_FALSE(pb_pend_has(id));

    // A tagged query: the tagged records in tag order, by their key values,
    // and the tags taken.
    tag = true;
    FmArb* t = attach(pcf, scope, 2, true);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(invoked, 2);
    EXPECT_EQ(str(read_all(t, &end)), "R13 R10 R12 ");
    EXPECT_EQ(t->rid_len, 4);
    PbInfo info;
    ASSERT_TRUE(pb_get_info(t, &info));
    EXPECT_EQ(info.selected, 3u);
    FmArb* q = pb_open_qfi(scope, "QTAG", "QAP", "ORDERS");
    ASSERT_NE(q, nullptr);
    q->op = FM_OP_FIRST;
    fm_start(q);
    q->rec.set(alloc(1064));
    q->rec_len = 1064;
    q->op = 0;
    EXPECT_FALSE(fm_rdnxt(q));
    FM_CLOSE(q, 0);

    // Criteria for a process's query: run when nothing is pending, not
    // while its file waits.
    auto* b = reinterpret_cast<FmScbQuery*>(alloc(sizeof(FmScbQuery)));
    std::memset(static_cast<void*>(b), 0, sizeof *b);
    b->head.type = FM_SCB_PCF_QUERY;
    b->scope = uint32_t(scope);
    b->app.set("QAP");
    b->ver.set("01");
    b->name.set("ORDERS");
    b->reuse = 2;
    tag = false;
    pb_auto_setup(nullptr, &b->head);
    EXPECT_EQ(invoked, 3);
    EXPECT_TRUE(pb_pend_has(id));
    pb_auto_setup(nullptr, &b->head);
    EXPECT_EQ(invoked, 3);
    // With an active query and reuse 0 nothing runs.
    b->reuse = 0;
    ASSERT_TRUE(pb_pend_del(id));
    pb_auto_setup(nullptr, &b->head);
    EXPECT_EQ(invoked, 3);
    // pb_cleanup ends the active query.
    pb_cleanup(scope, "QAP", "ORDERS");
    PbCounts c;
    EXPECT_FALSE(pb_counts(scope, "QAP", "ORDERS", &c));
  });
  EXPECT_EQ(rc, 1);
}

// The other engine of the shared-file test: a process of its own over the
// same data directory. It deletes records 3 and 4 (4 carries the break
// between XXX and YYY), rewrites 5 (B 9), adds 7, holds 6, says "ready" on
// its standard output and keeps the hold until its standard input ends.
TEST(PbQueryPeer, ChangesTheFileWhileAnotherEngineReads) {
  const char* dir = getenv("QUVO_PB_PEER");
  if (!dir) GTEST_SKIP() << "run by PbQuery.AnotherEngineChangesTheFileUnderAStream";
  setenv("QUVOPATH", dir, 1);
  fms_init();
  int rc = mark(1, [&] {
    MmPool pool = mm_create_pool(" PBPEER ", com.depth, 0);
    auto* segs = static_cast<FmSdb*>(MM_ALLOC(pool, sizeof(FmSdb)));
    init_sdb_func(segs, 1, 0, 4, FM_SEG_BINARY, '+');
    auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
    INIT_KDB(kdb, 0, '+', FM_KEY_PRIMARY, segs, 1);
    FmFdb f;
    INIT_FDB(&f, FM_CLASS_DISK, kLen, 0, kdb, 1);
    f.app.set("QAP");
    f.ver.set("01");
    f.name.set("ORD");
    f.db.set("DB1");
    f.path_type = FM_PT_DATA;
    ASSERT_TRUE(FM_OPEN(&f, com.depth, FM_OPT_NO_SYSDIR, 15, 15));
    FmArb* h = f.handle.get();
    auto* r = static_cast<uint8_t*>(MM_ALLOC(pool, kLen));
    auto* k = static_cast<uint8_t*>(MM_ALLOC(pool, 4));
    auto read = [&](uint32_t id, uint16_t op) {
      rec::view<rec::U32>(k).set(id);
      h->key.set(k);
      h->key_len = 4;
      h->key_no = 0;
      h->rec.set(r);
      h->op = uint16_t(FM_OP_KEY | FM_OP_EQUAL | op);
      return fm_read(h);
    };
    for (uint32_t id : {3u, 4u}) {
      ASSERT_TRUE(read(id, FM_OP_HOLD));
      h->op = 0;
      ASSERT_TRUE(fm_del(h));
    }
    ASSERT_TRUE(read(5, FM_OP_HOLD));
    rec::view<rec::I32>(r + 8).set(9);
    h->op = 0;
    ASSERT_TRUE(fm_rewrite(h));
    std::memset(r, 0, kLen);
    rec::view<rec::U32>(r).set(7);
    std::memcpy(r + 4, "XXX", 3);
    h->op = 0;
    ASSERT_TRUE(fm_write(h));
    ASSERT_TRUE(read(6, FM_OP_HOLD));
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
  });
  EXPECT_EQ(rc, 1);
}

TEST_F(PbQuery, AnotherEngineChangesTheFileUnderAStream) {
  std::vector<NRec> recs = {{1, "XXX", 0, 0}, {2, "XXX", 1, 0}, {3, "XXX", 2, 0},
                            {4, "YYY", 1, 0}, {5, "YYY", 2, 0}, {6, "ZZZ", 0, 0}};
  int rc = mark(1, [&] {
    FmArb* pcf = native_pcf(com.depth, recs);
    ASSERT_NE(pcf, nullptr);
    criteria(com.depth, "", {}, {{"A", '+'}, {"B", '+'}});
    FmArb* s = attach(pcf, com.depth, 0, true);
    ASSERT_NE(s, nullptr);
    uint32_t end = 0;
    EXPECT_EQ(str(read_all(s, &end, 7)), "S0 S1 S2 R1 E2 S2 R2 ");
    // The other engine.
    int to[2], from[2];
    ASSERT_EQ(pipe(to), 0);
    ASSERT_EQ(pipe(from), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(to[0], 0);
      dup2(from[1], 1);
      close(to[1]);
      close(from[0]);
      setenv("QUVO_PB_PEER", dir.str().c_str(), 1);
      execl("/proc/self/exe", "test_process", "--gtest_filter=PbQueryPeer.ChangesTheFileWhileAnotherEngineReads",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to[0]);
    close(from[1]);
    std::string said;
    char c;
    while (said.find("ready\n") == std::string::npos && ::read(from[0], &c, 1) > 0) said += c;
    ASSERT_NE(said.find("ready\n"), std::string::npos) << said;
    // A reads on with hold: 3 and 4 are gone, their breaks folded into the
    // level 1 break before 5; 5 comes as rewritten, 7 not at all, 6 with
    // the other engine's hold.
    read_op = FM_OP_HOLD;
    EXPECT_EQ(str(read_all(s, &end, SIZE_MAX, false)), "E2 E1 S1 S2 R5 E2 E1 S1 S2 R6/200530 E2 E1 E0 ");
    EXPECT_EQ(end, FM_ST_EOF);
    EXPECT_EQ(b_of[5], 9);
    close(to[1]);
    int st = 0;
    waitpid(pid, &st, 0);
    std::string rest;
    while (::read(from[0], &c, 1) > 0) rest += c;
    close(from[0]);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << rest;
    EXPECT_NE(rest.find("[  PASSED  ] 1 test"), std::string::npos) << rest;
  });
  EXPECT_EQ(rc, 1);
}

// The break-level table of a report over a query stream: a grand total
// when the first sort line names a field, one entry per break line with
// its level count, the field's label (but the first entry's) and flags.
TEST_F(PbQuery, AReportOverAQueryStreamGetsTheBreakTableOfItsSortLines) {
  // R occurs 3 times, the third in the record's last byte.
  ASSERT_EQ(fx::write("ELEMENT", "QAP", "01",
                      {fx::rec("ELEMENT", {{"name", "R"}, {"kind", "1"}, {"occurs", "3"}, {"file", "ORD"},
                                           {"number", "92"}, {"ident_stamp", "2026-03-06T00:00:00"},
                                           {"offset", "13"}, {"length", "1"}, {"type", "1"}})}),
            1);
  int rc = mark(1, [&] {
    int scope = com.depth;
    FmArb* pcf = native_pcf(scope, {{1, "XXX", 0, 0}});
    ASSERT_NE(pcf, nullptr);
    criteria(scope, "", {}, {{"A", '+'}, {"B", '-'}, {"R", '+'}});
    // B is no break; R (its occurrence 3) counts 3 levels and has flags 70
    // and 73.
    FmArb* qs = pb_open_qfi(scope, "QSORT", "QAP", "ORDERS");
    ASSERT_NE(qs, nullptr);
    auto* q = reinterpret_cast<PbQsort*>(alloc(sizeof(PbQsort)));
    PROTO_FULL(qs, 0, reinterpret_cast<uint8_t*>(q));
    qs->op = FM_OP_FIRST;
    fm_start(qs);
    for (int i = 0; i < 3; ++i) {
      qs->op = FM_OP_HOLD;
      ASSERT_TRUE(fm_rdnxt(qs));
      if (i == 1) q->sorted[0] = '0';
      if (i == 2) q->occ = 3, q->flags70[0][0] = '1', q->flags70[3][0] = '1';
      qs->op = 0;
      ASSERT_TRUE(fm_rewrite(qs));
    }
    FM_CLOSE(qs, 0);
    std::vector<PbBreakEnt> t;
    ASSERT_TRUE(pb_break_table(scope, "QAP", "ORDERS", "01", &t));
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].levels, 0);
    EXPECT_TRUE(t[0].app.blank());
    EXPECT_EQ(t[1].field.str(), "A");
    EXPECT_EQ(t[1].levels, 1);
    EXPECT_EQ(t[2].field.str(), "R");
    EXPECT_EQ(t[2].levels, 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t[2].flags), 5), std::string("\1\0\1\0\0", 5))
        << "bytes 70, 71, 73, 72, 74";
    // Through the PCB: only when its file's stream runs the query.
    auto* pcb = reinterpret_cast<Pcb*>(alloc(sizeof(Pcb)));
    std::memset(static_cast<void*>(pcb), 0, sizeof *pcb);
    auto* b = reinterpret_cast<FmScbQuery*>(alloc(sizeof(FmScbQuery)));
    std::memset(static_cast<void*>(b), 0, sizeof *b);
    b->head.type = FM_SCB_PCF_QUERY;
    b->scope = uint32_t(scope);
    b->app.set("QAP");
    b->ver.set("01");
    b->name.set("ORDERS");
    pcb->query_scb.set(b);
    FmArb* plain = FM_ATTACH(pcf, static_cast<FmScb*>(nullptr), scope);
    pcb->pcf_stream.set(plain);
    bld_rng(pcb);
    EXPECT_EQ(pcb->break_count, 0u);
    FmArb* s = attach(pcf, scope, 0, true);
    ASSERT_NE(s, nullptr);
    pcb->pcf_stream.set(s);
    bld_rng(pcb);
    ASSERT_EQ(pcb->break_count, 3u);
    EXPECT_EQ(static_cast<PbBreakEnt*>(pcb->break_tbl.get())[2].levels, 3);
    pcb->query_scb.reset();
    bld_rng(pcb);
    EXPECT_EQ(pcb->break_count, 0u);
    EXPECT_FALSE(pcb->break_tbl);
  });
  EXPECT_EQ(rc, 1);
}

// A selection or sort line that would read past its field or its record,
// or names a field the dictionary lacks, or a field of another file or a
// work field (neither is in the query's records), fails the attach
// (200650) instead of reading bytes of something else.
TEST_F(PbQuery, LinesOutsideTheirFieldOrRecordFailTheAttach) {
  SysErrCapture se(SysErrAnswer::Continue);
  auto el = [](const char* name, const char* file, const char* work, const char* offset, const char* number) {
    return fx::rec("ELEMENT", {{"name", name}, {"kind", "1"}, {"occurs", "1"}, {"file", file}, {"work", work},
                               {"number", number}, {"ident_stamp", std::string("2026-03-1") + number[1] + "T00:00:00"}, {"offset", offset},
                               {"length", "4"}, {"type", "1"}});
  };
  ASSERT_EQ(fx::write("ELEMENT", "QAP", "01",
                      {el("X", "ORD", "0", "13", "90"), el("Y", "OTH", "0", "4", "91"), el("W", "", "1", "4", "92")}),
            3);
  int rc = mark(1, [&] {
    FmArb* pcf = native_pcf(com.depth, {{1, "ABC", 0, 0}});
    ASSERT_NE(pcf, nullptr);
    PbQslct l = make_line(1, true, 1, "ABC");
    criteria(com.depth, "1", {l}, {});
    FmArb* s = attach(pcf, com.depth, 2, false);
    ASSERT_NE(s, nullptr);
    fm_detach(s);
    for (const char* bad : {"occurrence 2", "X", "NOSUCH", "Y", "W"}) {
      PbQslct b = l;
      if (bad[0] == 'o') b.l_occ = 2;
      else b.l_field.set(bad);
      criteria(com.depth, "1", {b}, {});
      b.l_occ = 1;
      if (bad[0] == 'o') {
        // criteria() sets occurrence 1: put 2 back.
        FmArb* q = pb_open_qfi(com.depth, "QSLCT", "QAP", "ORDERS");
        auto* r = reinterpret_cast<PbQslct*>(alloc(sizeof(PbQslct)));
        PROTO_FULL(q, 0, reinterpret_cast<uint8_t*>(r));
        q->op = FM_OP_FIRST;
        fm_start(q);
        q->op = FM_OP_HOLD;
        ASSERT_TRUE(fm_rdnxt(q));
        r->l_occ = 2;
        q->op = 0;
        ASSERT_TRUE(fm_rewrite(q));
        FM_CLOSE(q, 0);
      }
      FmArb* t = attach(pcf, com.depth, 2, false);
      EXPECT_EQ(t, nullptr) << bad;
      if (t) fm_detach(t);
    }
    // So do sort fields: P ends with the record, X one byte past it, A
    // has no occurrence 2.
    criteria(com.depth, "1", {l}, {{"P", '+'}});
    FmArb* p = attach(pcf, com.depth, 2, false);
    ASSERT_NE(p, nullptr);
    uint32_t end = 0;
    EXPECT_EQ(str(read_all(p, &end)), "R1 ");
    fm_detach(p);
    criteria(com.depth, "1", {l}, {{"X", '+'}});
    FmArb* x = attach(pcf, com.depth, 2, false);
    EXPECT_EQ(x, nullptr) << "a sort field past the record's end";
    if (x) fm_detach(x);
    criteria(com.depth, "1", {l}, {{"A", '+'}}, 2);
    FmArb* a2 = attach(pcf, com.depth, 2, false);
    EXPECT_EQ(a2, nullptr) << "an occurrence the sort field does not have";
    if (a2) fm_detach(a2);
    for (const char* other : {"Y", "W"}) {
      criteria(com.depth, "1", {l}, {{other, '+'}});
      FmArb* o = attach(pcf, com.depth, 2, false);
      EXPECT_EQ(o, nullptr) << "a sort on " << other << ", a field not in the query's records";
      if (o) fm_detach(o);
    }
  });
  EXPECT_EQ(rc, 1);
}

// A short record of a file of variable records has no bytes past its end:
// its fields there read as zeros, not as what the record read before it
// left in the buffer. P = 1 holds for the full records only: record 2 ends
// before P, record 3 one byte short of P's end.
TEST_F(PbQuery, AShortRecordHasNoFieldPastItsEnd) {
  int rc = mark(1, [&] {
    FmArb* pcf = native_pcf(com.depth, {{1, "AAA", 0, 100}, {2, "AAA", 0, 100}, {3, "AAA", 0, 100}, {4, "AAA", 0, 100}},
                            {kLen, 12, 15, kLen});
    ASSERT_NE(pcf, nullptr);
    PbQslct l = make_line(1, true, 1, "1");
    l.l_field.set("P");
    criteria(com.depth, "1", {l}, {});
    FmArb* s = attach(pcf, com.depth, 2, false);
    ASSERT_NE(s, nullptr);
    uint32_t end = 0;
    EXPECT_EQ(str(read_all(s, &end)), "R1 R4 ");
    fm_detach(s);
  });
  EXPECT_EQ(rc, 1);
}

// A selection line on a token field takes a token's name, converted as the
// field converts what a user types: the records holding that token's
// number are chosen. K is a 2-byte token field over B's low half, so B
// 32768 holds -32768 there; a token numbered one past the storage (OVER,
// 32768) or an unknown name is a value the field does not take (102520)
// and fails the attach, never selecting a wrapped number.
TEST_F(PbQuery, TokenNamesSelectTheRecordsHoldingTheirNumbers) {
  SysErrCapture se(SysErrAnswer::Continue);
  ASSERT_EQ(fx::write("ELEMENT", "QAP", "01",
                      {fx::rec("ELEMENT", {{"name", "K"}, {"kind", "1"}, {"occurs", "1"}, {"file", "ORD"},
                                           {"number", "91"}, {"ident_stamp", "2026-03-05T00:00:00"},
                                           {"offset", "8"}, {"length", "2"}, {"type", "5"}, {"sign", "1"},
                                           {"digits", "5"}, {"token_mark", "6"}, {"domain", "QLEVEL"}})}),
            1);
  fx::Values tok[4] = {{{"number", "32767"}, {"text", "TOP"}}, {{"number", "-32768"}, {"text", "LOW"}},
                       {{"number", "5"}, {"text", "MID"}}, {{"number", "32768"}, {"text", "OVER"}}};
  std::vector<std::vector<uint8_t>> toks;
  for (fx::Values& v : tok) {
    v.push_back({"group", "QLEVEL"});
    toks.push_back(fx::rec("TOKEN", v));
  }
  ASSERT_EQ(fx::write("TOKEN", "QAP", "01", toks), 4);
  int rc = mark(1, [&] {
    FmArb* pcf = native_pcf(com.depth, {{1, "AAA", 32767, 0}, {2, "AAA", -32768, 0}, {3, "AAA", 5, 0},
                                        {4, "AAA", 32768, 0}, {5, "AAA", -1, 0}});
    ASSERT_NE(pcf, nullptr);
    for (auto [rel, value, want] : {std::tuple{1, "TOP", "R1 "}, std::tuple{1, "low", "R2 R4 "},
                                    std::tuple{3, "MID", "R1 "}, std::tuple{1, "5", "R3 "},
                                    std::tuple{1, "OVER", ""}, std::tuple{1, "NOSUCH", ""}}) {
      PbQslct l = make_line(1, true, uint8_t(rel), value);
      l.l_field.set("K");
      l.l_app.set("QAP");
      l.l_occ = 1;
      PbLineTest t;
      uint32_t st = 0, to = 0;
      bool known = *want != 0;
      EXPECT_EQ(pb_line_test(l, "01", &t, &st, &to), int(known)) << value;
      EXPECT_EQ(st, known ? 0u : 102520u) << value;
      criteria(com.depth, "1", {l}, {});
      FmArb* s = attach(pcf, com.depth, 2, false);
      if (!known) {
        EXPECT_EQ(s, nullptr) << value;
        if (s) fm_detach(s);
        continue;
      }
      ASSERT_NE(s, nullptr) << value;
      uint32_t end = 0;
      EXPECT_EQ(str(read_all(s, &end)), want) << value;
      fm_detach(s);
    }
  });
  EXPECT_EQ(rc, 1);
}
