// A bootstrapped data directory with one application of readable source
// added, for the benchmarks that drive the real engine. The program defines
// QUVOGEN_BINARY, QUVO_ENGINE and QUVO_DATA_APPS.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace benchworld {

inline int sh(const std::string& cmd) {
  int st = std::system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// $TMPDIR/quvo-bench-<tag>-<pid>/var, bootstrapped, with the application
// `app` of the source folder `apps` added; `error` says why when not.
// The directory goes when the world does.
struct World {
  std::string root, var, error;
  World(const char* tag, const char* apps, const char* app) {
    const char* tmp = std::getenv("TMPDIR");
    root = std::string(tmp && *tmp ? tmp : "/tmp") + "/quvo-bench-" + tag + "-" + std::to_string(getpid());
    var = root + "/var";
    std::filesystem::create_directories(var);
    std::string boot = root + "/boot", log = " >>" + root + "/setup.log 2>&1";
    if (sh(std::string(QUVOGEN_BINARY) + " " + QUVO_DATA_APPS + " " + apps + " " + boot + log) != 0 ||
        sh(env() + QUVO_ENGINE + " -b" + log) != 0 ||
        sh(env() + "QUVO_BOOT_SRC=" + boot + " QUVO_BOOT_AP=" + app + " " + QUVO_ENGINE + " -b" + log) != 0)
      error = "setup failed (" + root + "/setup.log)";
  }
  ~World() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // The engine's environment for this directory, ahead of a command.
  std::string env() const { return "env QUVOPATH=" + var + " TERM=dumb "; }
  // Runs a Subroutine of the application in database db, its output
  // dropped; its exit status.
  int run(const char* db, const char* app, const std::string& proc) const {
    return sh(env() + QUVO_ENGINE + " -d " + db + " -a " + app + " -t Subroutine -p " + proc + " >/dev/null 2>&1");
  }
};

}  // namespace benchworld
