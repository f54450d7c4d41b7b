// Kept handles: see fmkept.h for the contract.
#include "files/fmkept.h"

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "files/brf.h"
#include "files/unixio.h"

namespace {

uint64_t g_round = 1;

// The watches' epoch, looked at once a round (fresh: now).
uint64_t g_epoch = 0;
uint64_t g_epoch_round = 0;
uint64_t epoch(bool fresh) {
  if (fresh || g_epoch_round != g_round || !g_epoch) {
    g_epoch = uio_watch_epoch();
    g_epoch_round = g_round;
  }
  return g_epoch;
}

// A directory's status, taken once a round.
struct DirSeen {
  std::string dir;
  uint64_t round;
  bool ok;
  struct stat st;
};
std::vector<DirSeen>& dirs_seen() {
  static std::vector<DirSeen> v;
  return v;
}
const DirSeen* dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash ? slash : 1);
  for (DirSeen& d : dirs_seen())
    if (d.dir == dir) {
      if (d.round != g_round) {
        d.round = g_round;
        d.ok = ::stat(dir.c_str(), &d.st) == 0;
      }
      return &d;
    }
  DirSeen d{dir, g_round, false, {}};
  d.ok = ::stat(dir.c_str(), &d.st) == 0;
  dirs_seen().push_back(d);
  return &dirs_seen().back();
}

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Watches the name and takes the epoch, before the file is looked up.
void watch(FmKept* k) {
  k->watched = uio_watch(k->path, k->bytes || k->mapped) && (!k->mapped || uio_watch(brf_index_path(k->path), true));
  if (k->watched) k->epoch = epoch(true);
}

// A mapped native file's index is no shorter than seen before (the largest
// size seen kept).
bool index_grown(FmKept* k) {
  struct stat st;
  if (::lstat(brf_index_path(k->path).c_str(), &st) != 0 || int64_t(st.st_size) < k->index_size) return false;
  k->index_size = int64_t(st.st_size);
  return true;
}

void ident_of(FmArb* h, uint8_t* out) {
  const FmFdb& d = h->file.get()->fdb;
  std::memcpy(out, d.name.data(), 8);
  std::memcpy(out + 8, d.app.data(), 3);
  std::memcpy(out + 11, d.ver.data(), 2);
}

}  // namespace

void fm_kept_new_round() { ++g_round; }

bool fm_kept_open(const FmKept& k) {
  if (!k.h || !fm_is_handle(k.h)) return false;
  uint8_t id[sizeof k.ident];
  ident_of(k.h, id);
  return std::memcmp(id, k.ident, sizeof id) == 0;
}

bool fm_kept_take(FmKept* k, FmArb* h, bool bytes) {
  *k = FmKept{};
  k->bytes = bytes;
  FmFileId id;
  // A handle of another back end stays as it is.
  bool kept = fm_handlers(h->file->fns) == &brf_handlers && fm_keep(h, &id);
  k->mapped = kept;
  FmFdb where = h->file.get()->fdb;
  if (!fm_os_path(&where, &k->path)) return false;
  watch(k);
  struct stat st;
  if (::lstat(k->path.c_str(), &st) != 0) return false;
  if (bytes && st.st_mtim.tv_sec + 2 >= std::time(nullptr)) return false;
  k->size = int64_t(st.st_size);
  k->mtime = st.st_mtim;
  if (kept && !index_grown(k)) return false;
  k->dev = kept ? id.dev : uint64_t(st.st_dev);
  k->ino = kept ? id.ino : uint64_t(st.st_ino);
  // A file put in its place since the open: looked up again at the next use.
  if (k->dev != uint64_t(st.st_dev) || k->ino != uint64_t(st.st_ino)) k->watched = false;
  k->h = h;
  ident_of(h, k->ident);
  return true;
}

bool fm_kept_fresh(FmKept* k) {
  if (!fm_kept_open(*k)) return false;
  if (k->watched && k->epoch == epoch(false)) return true;
  const DirSeen* d = k->watched || k->bytes ? nullptr : dir_of(k->path);
  if (d && d->ok && k->dir_known && same_time(d->st.st_mtim, k->dir_mtime) && uint64_t(d->st.st_dev) == k->dir_dev &&
      uint64_t(d->st.st_ino) == k->dir_ino)
    return true;
  watch(k);
  struct stat st;
  if (::lstat(k->path.c_str(), &st) != 0 || uint64_t(st.st_dev) != k->dev || uint64_t(st.st_ino) != k->ino)
    return false;
  if (k->bytes && (int64_t(st.st_size) != k->size || !same_time(st.st_mtim, k->mtime))) return false;
  // A native file grows, never shrinks in place: one cut short would fault
  // the reads of its mapping.
  if (k->mapped && (int64_t(st.st_size) < k->size || !index_grown(k))) return false;
  if (k->mapped) k->size = int64_t(st.st_size);
  if (k->watched || k->bytes) return true;
  if (!d) d = dir_of(k->path);
  k->dir_known = d->ok && d->st.st_mtim.tv_sec + 2 < std::time(nullptr);
  if (k->dir_known) {
    k->dir_mtime = d->st.st_mtim;
    k->dir_dev = uint64_t(d->st.st_dev);
    k->dir_ino = uint64_t(d->st.st_ino);
  }
  return true;
}

void fm_kept_close(FmKept* k) {
  if (fm_kept_open(*k)) FM_CLOSE(k->h, 0);
  k->h = nullptr;
}
