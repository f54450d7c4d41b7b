// Engine-in-tmux tests of application "ABC" 00: a bootstrapped data
// directory to which the application was added, with user "ABU" working in
// its database "DB1"; runs of the real engine there.
#pragma once

#include <string>

#include "process/pl_fixture.h"
#include "support/tmux.h"

class AbcRun : public ::testing::Test {
 protected:
  // tag names the temporary directory and the tmux servers.
  explicit AbcRun(std::string tag) : tag_(std::move(tag)) {}

  std::string root, data;

  void SetUp() override {
    using namespace pltest;
    ASSERT_EQ(tmuxrun::make_engine_dir("quvo-" + tag_ + "run", &root, &data), 0);
    Engine e;
    e.dir = data;
    e.start(false);
    ASSERT_EQ(fx::write("APPL", nullptr, nullptr, {fx::appl("ABC", "00")}), 1);
    ASSERT_EQ(fx::write("PARAM", "ABC", "00", {fx::param("MENU")}), 1);
    auto u = fx::user("ABU");
    rec::view<DUser>(u.data()).db.set("DB1");
    ASSERT_EQ(fx::write("USER", nullptr, nullptr, {u}), 1);
    fx::Rec db = fx::rec("DATABASE", {{"id", "DB1"}, {"app", "ABC"}, {"ver", "00"}});
    ASSERT_EQ(fx::write("DATABASE", nullptr, nullptr, {db}), 1);
    e.stop(false);
  }
  void TearDown() override { tmuxrun::sh("rm -rf " + tmuxrun::q(root)); }

  using Result = tmuxrun::EngineResult;
  // The engine with `args` and the settings `env`, run to its end.
  Result run_abc(const std::string& env, const std::string& args) {
    std::string name = "quvo-" + tag_ + "-" + std::to_string(getpid()) + "-" + std::to_string(seq_++);
    return tmuxrun::run_engine(root, data, name, env, args);
  }

 private:
  std::string tag_;
  static inline int seq_ = 0;
};
