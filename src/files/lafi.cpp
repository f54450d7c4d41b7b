// The message catalogue's files: see lafi.h.
#include "files/lafi.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/mm.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

// A queue record: the LaQueueRec head, then the text.
constexpr int kHead = int(sizeof(LaQueueRec));

// The open catalogue and the running number of the queue files.
struct Files {
  FmArb* file = nullptr;      // the catalogue: the MESSAGE file or its memory copy
  bool memory = false;        // the file is the memory copy of the sources
  MmPool pool = 0;
  uint32_t queue_no = 0;
} g_fi;

MmPool la_pool() {
  if (!g_fi.pool) g_fi.pool = mm_create_pool(" LA_POOL   ", com.base_scope, 0);
  return g_fi.pool;
}

// Whether the catalogue's handle no longer reaches the catalogue: closed, or
// its block now serves another file (the file manager started again).
bool catalogue_gone(FmArb* f) {
  if (!fm_is_handle(f) || f->state.get() == FM_HS_CLOSED || !f->file) return true;
  FmFdb want;
  la_msg_fdb(&want, FM_CLASS_DISK);
  const FmFdb& have = f->file.get()->fdb;
  return !(have.app == want.app.view()) || !(have.name == want.name.view());
}

bool cat_is_open() { return g_fi.file && !catalogue_gone(g_fi.file); }

void cat_close() {
  if (cat_is_open()) FM_CLOSE(g_fi.file, g_fi.memory ? FM_CL_SCRATCH : 0);
  g_fi.file = nullptr;
  g_fi.memory = false;
}

// Opens the catalogue: the data directory's MESSAGE file, else a memory
// copy of the sources. The status is the data directory's open's.
int cat_open(uint32_t* status, int* os_err) {
  g_fi.file = nullptr;
  g_fi.memory = false;
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  if (FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR, 1, 15)) {
    g_fi.file = fdb.handle.get();
    return 1;
  }
  *status = fdb.status;
  *os_err = fdb.os_err;
  la_msg_fdb(&fdb, FM_CLASS_MEMORY);
  FM_SCRATCH(&fdb, 0);  // a copy left by an earlier catalogue
  la_msg_fdb(&fdb, FM_CLASS_MEMORY);
  if (!FM_CREATE(&fdb, com.base_scope, 0, 0, 0, 15)) return 0;
  FmArb* f = fdb.handle.get();
  std::string error;
  if (la_load_messages(f, la_source_dir(), &error) <= 0) {
    FM_CLOSE(f, FM_CL_SCRATCH);
    return 0;
  }
  g_fi.file = f;
  g_fi.memory = true;
  return 1;
}

// Reads the message of a language; 1 with the record, or 0 with the status.
int cat_read(std::string_view lang, uint32_t msg, LaMsgRec* out, uint32_t* status, int* os_err) {
  FmArb* f = g_fi.file;
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(la_pool(), sizeof(LaMsgRec)));
  LaMsgRec& r = rec::view<LaMsgRec>(buf);
  r.lang.set(lang);
  r.number = msg;
  PROTO_FULL(f, 0, buf);
  f->op = FM_OP_EQUAL;
  int ok = fm_read(f);
  if (ok) std::memcpy(out, buf, sizeof *out);
  *status = ok ? 0 : f->status.get();
  *os_err = ok ? 0 : f->os_err.get();
  mm_free(buf);
  return ok;
}

std::string trimmed(const char* t, size_t n) {
  while (n > 0 && (t[n - 1] == ' ' || t[n - 1] == 0)) --n;
  return std::string(t, n);
}

FmArb* queue_create(int reclen, int scope) {
  MmPool pool = la_pool();
  auto* segs = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), 2));
  auto* kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
  init_sdb_func(&segs[0], 1, offsetof(LaQueueRec, key), sizeof(LaQueueRec::key), FM_SEG_BINARY, '+');
  init_sdb_func(&segs[1], 2, offsetof(LaQueueRec, severity), sizeof(LaQueueRec::severity), FM_SEG_BINARY, '+');
  INIT_KDB(kdb, 0, '+', 9, segs, 2);
  FmFdb fdb;
  INIT_FDB(&fdb, FM_CLASS_MEMORY, reclen + kHead, 1, kdb, 1);
  char name[9];
  std::snprintf(name, sizeof name, "%08X", unsigned(++g_fi.queue_no));
  INIT_LA_PATH(&fdb, "00", name, FM_PT_DATA);
  fdb.db.set(" LM");
  int ok = reclen >= 0 && reclen + kHead <= int(FM_MAX_REC) && FM_CREATE(&fdb, scope, 0, 0, 0, 15);
  mm_free(kdb);
  mm_free(segs);
  return ok ? fdb.handle.get() : nullptr;
}

int queue_add(FmArb* queue, uint32_t msg, uint32_t key, const std::vector<std::string>& params) {
  if (!fm_is_handle(queue) || queue->state.get() == FM_HS_CLOSED || !queue->file) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "la_add_msg() - bad arg");
    os_sys_err("LA", __LINE__);
    return 0;
  }
  int severity = 0;
  std::string text;
  if (msg == 0) {
    // The text already in the handle's record buffer, no more of it than
    // the buffer holds (its record length; 0: the file's).
    const uint8_t* cur = queue->rec.get();
    const size_t given = queue->rec_len ? queue->rec_len.get() : queue->file->fdb.rec_len.get();
    if (cur && given >= size_t(kHead)) {
      const LaQueueRec& q = rec::view<LaQueueRec>(cur);
      text = trimmed(reinterpret_cast<const char*>(cur) + kHead, std::min<size_t>(q.length, given - kHead));
      severity = q.severity;
    }
  } else {
    text = la_labelled(msg, &severity);
  }
  text = la_substitute(text, params);
  size_t max = queue->file->fdb.rec_len > kHead ? size_t(queue->file->fdb.rec_len - kHead) : 0;
  if (text.size() > max) text.resize(max);
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(la_pool(), kHead + (max ? max : 1)));
  LaQueueRec& r = rec::view<LaQueueRec>(buf);
  r.key = key;
  r.severity = uint16_t(severity);
  r.length = uint16_t(text.size());
  std::memcpy(buf + kHead, text.data(), text.size());
  Ref<uint8_t> saved = queue->rec;
  uint16_t saved_len = queue->rec_len;
  queue->rec.set(buf);
  queue->rec_len = uint16_t(kHead + text.size());
  queue->op = 0;
  int ok = fm_write(queue);
  queue->rec = saved;
  queue->rec_len = saved_len;
  mm_free(buf);
  if (!ok) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "la_add_msg() - fm_write failed");
    os_sys_err("LA", __LINE__);
    return 0;
  }
  return 1;
}

}  // namespace

std::vector<LaQueued> la_queue_read(FmArb* queue) {
  std::vector<LaQueued> out;
  if (!queue || !fm_is_handle(queue)) return out;
  FmArb* s = FM_ATTACH(queue, nullptr, com.depth);
  if (!s) return out;
  s->key_no = 0;
  s->op = FM_OP_FIRST;
  fm_start(s);
  s->op = FM_OP_FAST;
  while (uint8_t* r = fm_rdnxt_fast(s, 0)) {
    const LaQueueRec& h = rec::view<LaQueueRec>(r);
    size_t len = s->len_read > kHead ? size_t(s->len_read - kHead) : 0;
    len = std::min<size_t>(len, h.length);
    out.push_back(LaQueued{h.key, h.severity, std::string(reinterpret_cast<char*>(r) + kHead, len)});
  }
  s->op = 0;
  fm_detach(s);
  return out;
}

const LaFiles la_files = {cat_open, cat_is_open, cat_read, cat_close, queue_create, queue_add};

// ========================================================== the catalogue --

void la_msg_fdb(FmFdb* fdb, int fclass) {
  MmPool pool = la_pool();
  // The descriptors are copied by the open; they live in the pool for good.
  static FmKdb* kdb = nullptr;
  if (!kdb) {
    auto* segs = static_cast<FmSdb*>(MM_ALLOC_ARRAY(pool, sizeof(FmSdb), 2));
    kdb = static_cast<FmKdb*>(MM_ALLOC(pool, sizeof(FmKdb)));
    init_sdb_func(&segs[0], 1, offsetof(LaMsgRec, lang), sizeof(LaMsgRec::lang), FM_SEG_ALPHA, '+');
    init_sdb_func(&segs[1], 2, offsetof(LaMsgRec, number), sizeof(LaMsgRec::number), FM_SEG_BINARY, '+');
    INIT_KDB(kdb, 0, '+', 8, segs, 2);
  }
  INIT_FDB(fdb, fclass, int(sizeof(LaMsgRec)), 0, kdb, 1);
  INIT_LA_PATH(fdb, "00", "MESSAGE", FM_PT_DATA);
}

int la_load_messages(FmArb* file, const std::string& dir, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> sources;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().extension() == ".txt") sources.push_back(e.path());
  if (ec || sources.empty()) {
    if (error) *error = dir + ": no message sources";
    return -1;
  }
  std::sort(sources.begin(), sources.end());
  auto* buf = static_cast<uint8_t*>(MM_ALLOC(la_pool(), sizeof(LaMsgRec)));
  int count = 0;
  for (const fs::path& p : sources) {
    std::string lang = p.stem().string();
    std::transform(lang.begin(), lang.end(), lang.begin(), [](char c) { return char(std::toupper(uint8_t(c))); });
    if (lang.size() > 3) {
      if (error) *error = p.string() + ": a language id has at most 3 characters";
      mm_free(buf);
      return -1;
    }
    std::vector<LaSourceMsg> msgs;
    if (!la_read_source(p.string(), &msgs, error)) {
      mm_free(buf);
      return -1;
    }
    for (const LaSourceMsg& m : msgs) {
      LaMsgRec& r = rec::view<LaMsgRec>(buf);
      std::memset(buf, 0, sizeof r);
      r.lang.set(lang);
      r.number = m.number;
      PROTO_FULL(file, 0, buf);
      file->op = uint16_t(FM_OP_EQUAL | FM_OP_HOLD);
      bool exists = fm_read(file);
      std::memset(buf, 0, sizeof r);
      r.lang.set(lang);
      r.number = m.number;
      r.severity = uint8_t(m.severity);
      r.origin = uint8_t(m.origin);
      r.length = uint16_t(m.text.size());
      std::memset(r.text.data(), ' ', 256);
      std::memcpy(r.text.data(), m.text.data(), m.text.size());
      file->op = 0;
      file->rec_len = 0;
      if (!(exists ? fm_rewrite(file) : fm_write(file))) {
        if (error)
          *error = p.string() + ":" + std::to_string(m.line) + ": MESSAGE write failed, status " +
                   std::to_string(file->status.get());
        mm_free(buf);
        return -1;
      }
      ++count;
    }
  }
  mm_free(buf);
  return count;
}

int la_install_messages(std::string* error) {
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  if (!FM_OPEN(&fdb, com.base_scope, FM_OPT_NO_SYSDIR | FM_OPT_CREATE, 0, 0)) {
    if (error) {
      *error = "the MESSAGE file of 0LA cannot be opened or created, status " + std::to_string(fdb.status.get());
      if (fdb.status.get() == 200650 && !la_cur_sys_err().empty()) *error += " (" + la_cur_sys_err() + ")";
    }
    return 0;
  }
  FmArb* f = fdb.handle.get();
  int n = la_load_messages(f, la_source_dir(), error);
  FM_CLOSE(f, 0);
  la_reset();
  if (n == 0 && error) *error = la_source_dir() + ": the message sources hold no message";
  return n > 0 ? 1 : 0;
}

// ============================================================ start-up --
namespace {

int (*g_next_bootstrap)() = nullptr;

// The message step of the set-up of a data directory (`quvo -b`), then the
// bootstrap steps registered before it. While the engine has no native
// record files the data directory cannot hold a MESSAGE file; the engine
// then reads the sources, and the step says so without failing the others.
int la_bootstrap() {
  std::string error;
  if (la_install_messages(&error)) {
    std::printf("messages: loaded into %s\n", os_data_dir());
  } else if (error.find("no back end") != std::string::npos) {
    std::printf("messages: native record files are not built yet; the engine reads %s\n",
                la_source_dir().c_str());
  } else {
    std::fprintf(stderr, "quvo: messages: %s\n", error.c_str());
    return kExitInitFailed;
  }
  std::fflush(stdout);
  return g_next_bootstrap ? g_next_bootstrap() : kExitNormal;
}

int cv_init_step() {
  cv_init();
  return 1;
}

}  // namespace

void la_register() {
  fm_serve_foundation();
  os_set_init(OsInit::Cv, cv_init_step);
  if (os_hooks.bootstrap != la_bootstrap) {
    g_next_bootstrap = os_hooks.bootstrap;
    os_hooks.bootstrap = la_bootstrap;
  }
}
