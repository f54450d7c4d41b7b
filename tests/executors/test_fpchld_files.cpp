// The runtime application's work files as its processes see them: the
// ELEMENT offsets that the generator makes of data/apps/0LA are those of
// the engine's declarations, field by field.
#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>

#include "executors/fpchld.h"
#include "files/dictrec.h"
#include "foundation/cv.h"
#include "gen.h"
#include "process/pl_fixture.h"

namespace {

std::string trim(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

TEST(ChldFiles, TheWorkFilesOfTheRuntimeApplicationAreTheEnginesDeclarations) {
  char tmpl[] = "/tmp/quvo-chld-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::vector<qg::GenFile> made;
  qg::Errors errs;
  bool ok = qg::generate(std::string(QUVO_DATA_APPS), std::string(tmpl) + "/boot", &errs, &made);
  std::filesystem::remove_all(tmpl);
  ASSERT_TRUE(ok) << errs.str();
  // file -> element -> (offset, length x occurs)
  std::map<std::string, std::map<std::string, std::pair<int, int>>> got;
  for (const qg::GenFile& g : made) {
    if (g.name != "ELEMENT") continue;
    for (const auto& r : g.records) {
      const DElem& e = rec::view<DElem>(r.data());
      if (e.work == '1') continue;
      got[trim(e.file.view())][trim(e.name.view())] = {int(e.offset), int(e.length) * int(e.occurs ? e.occurs : 1)};
    }
  }
  using Want = std::map<std::string, std::pair<int, int>>;
#define AT(T, f) std::pair<int, int>(int(offsetof(T, f)), int(sizeof(T::f)))
  const Want entry{{"ENTRY AUTO READNEXT", AT(FpEntry, auto_readnext)}, {"ENTRY EXACT KEY", AT(FpEntry, exact_key)},
                   {"ENTRY CARRY", AT(FpEntry, carry)},                 {"ENTRY CHOICE", AT(FpEntry, choice)},
                   {"ENTRY PATH", AT(FpEntry, path)},                   {"ENTRY KEY NO", AT(FpEntry, key_no)},
                   {"ENTRY SPARE 1", AT(FpEntry, b531)},                {"ENTRY RESTRUCT STAT1", AT(FpEntry, restruct_stat1)},
                   {"ENTRY RESTRUCT STAT2", AT(FpEntry, restruct_stat2)}, {"ENTRY SPARE 2", AT(FpEntry, b892)}};
  const Want help{{"HELP KIND", AT(FpHelp, kind)},           {"HELP ITEM NO", AT(FpHelp, item_no)},
                  {"HELP OCC LOW", AT(FpHelp, occ_low)},     {"HELP MARKER", AT(FpHelp, marker)},
                  {"HELP FIELD", AT(FpHelp, field)},         {"HELP SPARE 1", AT(FpHelp, b35)},
                  {"HELP ENTRY LEVEL", AT(FpHelp, entry_level)}, {"HELP OPTIONAL", AT(FpHelp, optional)},
                  {"HELP NEXT", AT(FpHelp, next)},           {"HELP DISPLAY", AT(FpHelp, display)},
                  {"HELP REDISPLAY", AT(FpHelp, redisplay)}, {"HELP ZERO", AT(FpHelp, zero)},
                  {"HELP SPARE 2", AT(FpHelp, b1305)},       {"HELP USE2", AT(FpHelp, use2)},
                  {"HELP SPARE 3", AT(FpHelp, b1307)},       {"HELP INPUT", AT(FpHelp, input)},
                  {"HELP USE2 ONE", AT(FpHelp, use2_one)},   {"HELP PCF FIELD", AT(FpHelp, pcf_fld)},
                  {"HELP SEQ INCR", AT(FpHelp, seq_incr)},   {"HELP SIGNED", AT(FpHelp, is_signed)},
                  {"HELP DATE FORMAT", AT(FpHelp, date_fmt)}, {"HELP MASK", AT(FpHelp, mask)},
                  {"HELP SPARE 4", AT(FpHelp, b1378)},       {"HELP LOOKUP APP", AT(FpHelp, lk_app)},
                  {"HELP LOOKUP FILE", AT(FpHelp, lk_file)}, {"HELP SPARE 5", AT(FpHelp, b1390)},
                  {"HELP LOOKUP DB", AT(FpHelp, lk_db)},     {"HELP SPARE 6", AT(FpHelp, b1412)},
                  {"HELP LOOKUP EXACT", AT(FpHelp, lk_exact)}, {"HELP LOOKUP FAIL", AT(FpHelp, lk_fail)},
                  {"HELP SPARE 7", AT(FpHelp, b1415)},       {"HELP SECURITY", AT(FpHelp, words)}};
  const Want helpopt{{"HELPOPT OPTION", AT(FpHelpOpt, option)}, {"HELPOPT APP", AT(FpHelpOpt, app)},
                     {"HELPOPT TYPE", AT(FpHelpOpt, type)},     {"HELPOPT NAME", AT(FpHelpOpt, name)}};
  const Want error{{"ERROR_HEAD", AT(ErrDisplay, head)}, {"ERROR_MSG_FLAG", AT(ErrDisplay, msg_flag)},
                   {"ERROR_MSG_TEXT", AT(ErrDisplay, msg_text)}, {"ERROR_TAIL", AT(ErrDisplay, tail)}};
  const Want cmplerr{{"CMPLERR_APP", AT(DCmplErr, app)},   {"CMPLERR_PROC_NAME", AT(DCmplErr, proc_name)},
                     {"CMPLERR_SEQ", AT(DCmplErr, seq)},   {"CMPLERR_MSG", AT(DCmplErr, msg)},
                     {"CMPLERR_NAME", AT(DCmplErr, name)}, {"CMPLERR_STMT_TEXT", AT(DCmplErr, stmt_text)}};
#undef AT
  EXPECT_EQ(got["ENTRY"], entry);
  EXPECT_EQ(got["HELP"], help);
  EXPECT_EQ(got["HELPOPT"], helpopt);
  EXPECT_EQ(got["ERROR"], error);
  for (const auto& [name, at] : cmplerr) EXPECT_EQ(got["CMPLERR"][name], at) << name;
}

}  // namespace
