// Test helpers of the generator: a copy of the applications' sources to
// spoil, a run of the quvogen binary, and the files of a directory tree.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace gent {

namespace fs = std::filesystem;

struct TmpDir {
  fs::path path;
  TmpDir() {
    char tmpl[] = "/tmp/quvogen-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TmpDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

inline std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

inline void append(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary | std::ios::app) << text;
}

// Every regular file under root: relative path -> bytes.
inline std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  if (!fs::exists(root)) return out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = slurp(e.path());
  return out;
}

struct QgRun {
  int status = -1;
  std::string err;
};

// Runs quvogen SRC OUT; standard error captured.
inline QgRun quvogen(const fs::path& src, const fs::path& out) {
  QgRun r;
  fs::path errf = out.parent_path() / "quvogen.err";
  std::string cmd = std::string(QUVOGEN_BINARY) + " '" + src.string() + "' '" + out.string() + "' 2>'" +
                    errf.string() + "' >/dev/null";
  int st = std::system(cmd.c_str());
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  r.err = slurp(errf);
  return r;
}

// A copy of data/apps to spoil.
inline fs::path copy_sources(const fs::path& dir) {
  fs::path src = dir / "apps";
  fs::copy(QUVO_DATA_APPS, src, fs::copy_options::recursive);
  return src;
}

}  // namespace gent
