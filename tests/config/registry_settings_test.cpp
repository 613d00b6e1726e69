// The registry values written for the sign-up program.
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "config_steps.h"

namespace {

// Every value the step may write, in the order it writes them.
const char *const kAllNames[] = {"MainDir",  "RegNoPrefix", "RegNo",    "HomePage",      "LocalURLPath", "Quorvel31Eudora",
                                 "SetupFee", "FreeHours",   "FreeDays", "SetupFeePrice", "MonthlyPrice", "Flags"};

class RegistryTest : public EngineTest {
 protected:
  void writeSetupIni(const std::string &quorvelSection) {
    std::string text = "[Other]\r\nRegNo=other\r\n[Quorvel]\r\n" + quorvelSection;
    writeWin(std::string(setupState.sourceDir) + "setup.ini", text);
  }

  std::map<std::string, std::string> readValues() {
    std::map<std::string, std::string> values;
    for (const char *name : kAllNames) {
      std::string value = quorvelValue(name);
      if (value != "(none)") values[name] = value;
    }
    return values;
  }
};

// The values written from setup.ini's [Quorvel] section ("-": no setup.ini)
// for a main directory: exactly these, besides MainDir and a Flags of 16,
// which every run writes; an earlier run's values stay unless written. The
// limits: texts cut to 63 and 255 characters, a local path of at most 275,
// and setup.ini's own path of at most 71 (over it nothing is read).
TEST_F(RegistryTest, ValuesFromSetupIni) {
  struct Case {
    const char *what;
    std::string setupIni;
    int hadEudora;
    std::map<std::string, std::string> values;
    std::string mainDir = "c:\\dunmere";
    std::string sourceDir = "c:\\src\\";
    const char *earlier = nullptr;  // setup.ini of a run before, for c:\old and with the Eudora mark
  };
  const std::string r63(63, 'r'), h255(255, 'h'), m15 = "c:\\" + std::string(12, 'm');  // + \www\ + h255: 275
  const std::string s62 = "c:\\" + std::string(58, 's') + "\\", s63 = "c:\\" + std::string(59, 's') + "\\";
  const Case cases[] = {
      {"RegNo as a prefix: yEs", "IsRegNoAPrefix=yEs\r\nRegNo=DN-\r\n", 0, {{"RegNoPrefix", "DN-"}}},
      {"y is not yes", "IsRegNoAPrefix=y\r\nRegNo=12345\r\n", 0, {{"RegNo", "12345"}}},
      {"yess is not yes", "IsRegNoAPrefix=yess\r\nRegNo=12345\r\n", 0, {{"RegNo", "12345"}}},
      {"RegNo empty: neither name", "IsRegNoAPrefix=yes\r\nRegNo=\r\n", 0, {}},
      {"HomePage and HDHomePage: the local path from HomePage", "HomePage=home.htm\r\nHDHomePage=local.htm\r\n", 0,
       {{"HomePage", "home.htm"}, {"LocalURLPath", "c:\\dunmere\\www\\home.htm"}}},
      {"HomePage without HDHomePage", "HomePage=home.htm\r\n", 0, {{"HomePage", "home.htm"}}},
      {"HDHomePage without HomePage", "HDHomePage=1\r\n", 0, {}},
      {"Eudora mark", "", 1, {{"Quorvel31Eudora", "TRUE"}}},
      {"no setup.ini at all", "-", 1, {{"Quorvel31Eudora", "TRUE"}}},
      {"the offer texts, copied as text",
       "SetupFee=yes\r\nFreeHours=10\r\nFreeDays=30\r\nSetupFeePrice=$0.00\r\nMonthlyPrice=%s 19.95%\r\n", 0,
       {{"SetupFee", "yes"}, {"FreeHours", "10"}, {"FreeDays", "30"}, {"SetupFeePrice", "$0.00"},
        {"MonthlyPrice", "%s 19.95%"}}},
      {"empty offer texts are not written", "SetupFee=\r\nFreeHours=\r\nMonthlyPrice=5\r\n", 0,
       {{"MonthlyPrice", "5"}}},
      {"an earlier run's values are kept or overwritten", "IsRegNoAPrefix=yes\r\nRegNo=DN-\r\nFreeHours=20\r\n", 0,
       {{"RegNo", "111"}, {"RegNoPrefix", "DN-"}, {"HomePage", "old.htm"}, {"LocalURLPath", "c:\\old\\www\\old.htm"},
        {"Quorvel31Eudora", "TRUE"}, {"SetupFee", "10"}, {"FreeHours", "20"}},
       "c:\\dunmere", "c:\\src\\", "RegNo=111\r\nHomePage=old.htm\r\nHDHomePage=1\r\nSetupFee=10\r\nFreeHours=5\r\n"},
      {"texts cut short; a local path of 276 characters is not written",
       "RegNo=" + r63 + "xyz\r\nHomePage=" + h255 + "xyz\r\nHDHomePage=1\r\nFreeDays=" + h255 + "!\r\n", 0,
       {{"RegNo", r63}, {"HomePage", h255}, {"FreeDays", h255}}, m15 + "m"},
      {"a local path of 275 characters", "HomePage=" + h255 + "\r\nHDHomePage=1\r\n", 0,
       {{"HomePage", h255}, {"LocalURLPath", m15 + "\\www\\" + h255}}, m15},
      {"setup.ini's path of 71 characters", "RegNo=12345\r\n", 0, {{"RegNo", "12345"}}, "c:\\dunmere", s62},
      {"setup.ini's path of 72 characters: nothing is read", "RegNo=12345\r\nHomePage=h.htm\r\n", 0, {},
       "c:\\dunmere", s63},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();  // an empty registry
    makeWinDir(c.sourceDir.substr(0, c.sourceDir.size() - 1));
    strcpy(setupState.sourceDir, c.sourceDir.c_str());
    if (c.earlier != nullptr) {
      writeSetupIni(c.earlier);
      setupState.hadEudora = 1;
      writeRegistrySettings("c:\\old");
    }
    if (c.setupIni != "-") writeSetupIni(c.setupIni);
    setupState.hadEudora = c.hadEudora;
    EXPECT_EQ(writeRegistrySettings(c.mainDir.c_str()), 1);
    std::map<std::string, std::string> expected = c.values;
    expected["MainDir"] = c.mainDir;
    expected["Flags"] = "dword:16";
    EXPECT_EQ(readValues(), expected);
    EXPECT_EQ(w32::openHandleCount(), 0);
  }
}

// With the registry failing at its nth call (or from then on), the values
// written before it show the order of the writes. A fresh registry has no
// key yet: the open fails, the create is call 2 (failing, nothing is written
// and no handle is left), the writes follow.
TEST_F(RegistryTest, WriteOrderAndFailures) {
  const char kFull[] =
      "IsRegNoAPrefix=no\r\nRegNo=1\r\nHomePage=h\r\nHDHomePage=1\r\nSetupFee=2\r\nFreeHours=3\r\nFreeDays=4\r\n"
      "SetupFeePrice=5\r\nMonthlyPrice=6\r\n";
  std::vector<std::string> order(std::begin(kAllNames), std::end(kAllNames));
  order.erase(order.begin() + 1);  // RegNoPrefix: kFull's RegNo is no prefix
  setupState.hadEudora = 1;
  strcpy(setupState.sourceDir, "c:\\src\\");
  const long create = 2;
  for (long failing = create; failing <= create + static_cast<long>(order.size()); ++failing) {
    for (bool persistent : {true, false}) {
      SCOPED_TRACE("registry call " + std::to_string(failing) + (persistent ? " and later fail" : " fails"));
      freshPrefix();
      makeWinDir("c:\\src");
      writeSetupIni(kFull);
      w32::armFault(w32::Fault::Registry, failing, persistent);
      EXPECT_EQ(writeRegistrySettings("c:\\dunmere"), 0);
      w32::clearFaults();
      EXPECT_EQ(w32::openHandleCount(), 0);
      std::map<std::string, std::string> values = readValues();
      long failed = failing - create - 1;  // the value whose write failed; -1: the create
      for (size_t i = 0; i < order.size(); ++i) {
        long at = static_cast<long>(i);
        bool written = failed >= 0 && (at < failed || (!persistent && at > failed));
        EXPECT_EQ(values.count(order[i]), written ? 1u : 0u) << order[i];
      }
    }
  }
}

}  // namespace
