// Layers call downward only: no source of a layer includes a header of a
// layer above it, and the foundation's services that reach higher layers
// through hooks answer soundly while those hooks are not set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "files/fm.h"
#include "files/fmcat.h"
#include "files/lafi.h"
#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/macros.h"
#include "foundation/mm.h"
#include "foundation/ssunix.h"
#include "support/syserr.h"

namespace fs = std::filesystem;

namespace {

// The layers, lowest first (ARCHITECTURE.md).
const std::vector<std::string> kLayers = {"foundation", "files",     "screen",     "process",
                                          "language",   "executors", "dictionary", "design"};

int layer_of(const std::string& folder) {
  auto it = std::find(kLayers.begin(), kLayers.end(), folder);
  return it == kLayers.end() ? -1 : int(it - kLayers.begin());
}

// The layer of a path below src/ ("files/fm.h"), or -1 outside the layers.
int layer_of_path(const fs::path& rel) {
  if (rel.empty() || rel.begin() == rel.end()) return -1;
  auto first = rel.begin();
  if (std::next(first) == rel.end()) return -1;  // a file of src/ itself (main.cpp)
  return layer_of(first->string());
}

}  // namespace

TEST(Layers, NoSourceIncludesAHeaderOfAHigherLayer) {
  const fs::path src = fs::path(QUVO_SOURCE_DIR) / "src";
  std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
  int files = 0, includes = 0;
  std::vector<std::string> faults;
  for (const auto& e : fs::recursive_directory_iterator(src)) {
    std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
    const fs::path rel = e.path().lexically_relative(src);
    const int own = layer_of_path(rel);
    if (own < 0) continue;  // the program entry and anything outside the layers
    ++files;
    std::ifstream in(e.path());
    std::string line;
    for (int no = 1; std::getline(in, line); ++no) {
      std::smatch m;
      if (!std::regex_search(line, m, include)) continue;
      ++includes;
      // "layer/x.h" from src/, or a path relative to the including file.
      fs::path target = fs::path(m[1].str()).lexically_normal();
      fs::path beside = (e.path().parent_path() / m[1].str()).lexically_normal();
      if (fs::exists(beside)) target = beside.lexically_relative(src);
      const int to = layer_of_path(target);
      if (to > own)
        faults.push_back("src/" + rel.generic_string() + ":" + std::to_string(no) + ": the " + kLayers[size_t(own)] +
                         " layer includes \"" + m[1].str() + "\" of the higher " + kLayers[size_t(to)] +
                         " layer; reach it through a hook");
    }
  }
  EXPECT_GT(files, 100);
  EXPECT_GT(includes, 200);
  std::string all;
  for (const std::string& f : faults) all += f + "\n";
  EXPECT_TRUE(faults.empty()) << all;
}

// Every folder of src/ is a layer of the list, so that none escapes the scan.
TEST(Layers, EveryFolderOfTheSourcesIsALayer) {
  for (const auto& e : fs::directory_iterator(fs::path(QUVO_SOURCE_DIR) / "src"))
    if (e.is_directory()) {
      EXPECT_GE(layer_of(e.path().filename().string()), 0) << e.path();
    }
}

// Without the file manager's services the foundation answers as it does
// without the file manager: no catalogue, no queue files, no TOKEN files, no
// paths, no memory-file records; never a crash. Putting them back restores
// every one.
TEST(Layers, FoundationWithoutTheFileManagersHooks) {
  MmPool pool = mm_create_pool(nullptr, com.base_scope, 0);
  la_reset();
  ASSERT_EQ(la_text(200170), "Duplicate key");
  la_set_files(nullptr);
  cv_set_token_files(nullptr);
  ss_set_os_path(nullptr);
  macros_set_record(nullptr);
  struct PutBack {
    ~PutBack() { fm_serve_foundation(); }
  } put_back;
  SysErrCapture cap(SysErrAnswer::Continue);

  // Messages: not on file, with the status of no catalogue.
  EXPECT_EQ(la_text(200170), "");
  char buf[60];
  LaText t{sizeof buf, buf};
  int sev = 0;
  int n = la_xlate(200170, &t, &sev);
  EXPECT_EQ(std::string(buf, size_t(n)), "Unable to translate message: 200170 (200340,0)");
  EXPECT_EQ(sev, 3);
  EXPECT_EQ(la_get_str(buf, sizeof buf, 200170), nullptr);
  la_reset();

  // Queue files: the system errors of a failed create and of a bad queue.
  EXPECT_EQ(la_create_fi(79, com.base_scope), nullptr);
  EXPECT_EQ(cap.last(), "la_create_fi() - create failed");
  int dummy = 0;
  EXPECT_EQ(la_add_msg(3, reinterpret_cast<FmArb*>(&dummy), 300210u, 0u), 0);
  EXPECT_EQ(cap.last(), "la_add_msg() - bad arg");

  // Tokens: the TOKEN file cannot be opened.
  size_t before = cap.count();
  EXPECT_EQ(cv_load_token("ZZQ", "01", 0, "NOGROUP"), 0);
  EXPECT_EQ(cap.count(), before + 1);
  EXPECT_EQ(cap.last().rfind("cv_load_token() - Bad TOKEN file open", 0), 0u) << cap.last();
  cv_close_token();

  // Paths: none, the descriptor left as it was.
  FmFdb fdb;
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  fdb.status = 7;
  EXPECT_EQ(ss_bld_path(&fdb).len, 0);
  EXPECT_EQ(fdb.status.get(), 7u);

  // Relocation: records are not found, the common block and no code still are.
  FmFdb inst_fdb;
  INIT_INST_FDB(&inst_fdb);
  ASSERT_EQ(FM_CREATE(&inst_fdb, com.base_scope, 0, FM_OPT_BASE, 15, 15), 1);
  FmArb* inst = inst_fdb.handle.get();
  auto* rec = static_cast<uint8_t*>(MM_ALLOC(pool, 16));
  std::memset(rec, 'a', 16);
  inst->rec.set(rec);
  inst->rec_len = 16;
  inst->op = 0;
  ASSERT_EQ(fm_write(inst), 1);
  auto* op = static_cast<uint8_t*>(MM_ALLOC(pool, 4));
  rec::view<CodeRef>(op).block = 1;
  rec::view<CodeRef>(op).offset = 2;
  EXPECT_EQ(INST_RLOC(op, inst), 0);
  EXPECT_EQ(rec::view<Ref<uint8_t>>(op).get(), nullptr);
  rec::view<CodeRef>(op).block = kNoCode;
  EXPECT_EQ(INST_RLOC(op, inst), 1);
  rec::view<rec::U32>(op) = uint32_t(kComCnstBase);
  EXPECT_EQ(CNST_RLOC(inst, op), 1);
  EXPECT_NE(rec::view<Ref<uint8_t>>(op).get(), nullptr);

  // Back: every service as before.
  fm_serve_foundation();
  EXPECT_EQ(la_text(200170), "Duplicate key");
  rec::view<CodeRef>(op).block = 1;
  rec::view<CodeRef>(op).offset = 2;
  EXPECT_EQ(INST_RLOC(op, inst), 1);
  EXPECT_EQ(rec::view<Ref<uint8_t>>(op).get(), MADDR(inst, 1) + 2);
  const char* old = std::getenv("QUVOPATH");
  std::string saved = old ? old : "";
  setenv("QUVOPATH", "/tmp", 1);
  la_msg_fdb(&fdb, FM_CLASS_DISK);
  EXPECT_GT(ss_bld_path(&fdb).len, 0);
  if (old) setenv("QUVOPATH", saved.c_str(), 1);
  else unsetenv("QUVOPATH");
  FM_CLOSE(inst, FM_CL_SCRATCH);
  mm_destroy_pool(pool);
}
