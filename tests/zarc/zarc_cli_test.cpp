// zarc implode / explode end to end: the built program on real files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "implode_test_support.h"

namespace {

class ZarcCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zarc_cli_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // Runs zarc with `args`; returns the exit status, output in *out.
  int zarc(const std::string &args, std::string *out = nullptr) {
    std::string log = path("log");
    int status = std::system((std::string(ZARC_PATH) + " " + args + " >'" + log + "' 2>&1").c_str());
    if (out) *out = readText(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static std::string readText(const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  static Bytes readBytes(const std::string &p) {
    std::string s = readText(p);
    return Bytes(s.begin(), s.end());
  }
  static void writeBytes(const std::string &p, const Bytes &b) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
  }

  std::string dir_;
};

TEST_F(ZarcCli, ImplodeThenExplodeGivesTheSameBytes) {
  Bytes data = textBytes(150000, 2);
  Bytes noise = randomBytes(20000, 3);
  data.insert(data.end(), noise.begin(), noise.end());
  writeBytes(path("in"), data);
  const char *const options[] = {"", "--binary", "--ascii --dict 4", "--auto --dict 5", "--dict 6 --auto"};
  for (const char *opt : options) {
    SCOPED_TRACE(opt);
    std::string out;
    ASSERT_EQ(zarc(std::string("implode ") + opt + " " + path("in") + " " + path("in.z"), &out), 0) << out;
    Bytes stream = readBytes(path("in.z"));
    ASSERT_GE(stream.size(), 5u);
    EXPECT_LT(stream.size(), data.size());
    ASSERT_EQ(zarc("explode " + path("in.z") + " " + path("out"), &out), 0) << out;
    EXPECT_TRUE(readBytes(path("out")) == data);
  }
}

TEST_F(ZarcCli, ExplodeReportsTheDecoderResult) {
  Bytes data = textBytes(20000, 4);
  Bytes stream = encode(ImplodeMode::Ascii, 6, data);
  Bytes truncated(stream.begin(), stream.begin() + stream.size() / 2);
  struct Case {
    const char *name;
    Bytes input;
    int status;
    const char *message;
  } cases[] = {
      {"truncated", truncated, 4, "UnexpectedEnd"},
      {"dictionary 7", {0, 7, 0x82, 0x02, 0xFE, 0x01}, 1, "BadDictionarySize"},
      {"type 2", {2, 6, 0x82, 0x02, 0xFE, 0x01}, 2, "BadCompressionType"},
      {"four bytes", {0, 6, 0x01, 0xFF}, 3, "InputTooShort"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(path("bad.z"), c.input);
    std::string out;
    EXPECT_EQ(zarc("explode " + path("bad.z") + " " + path("out"), &out), c.status);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
  // The bytes decoded before the input ran out are written, and counted.
  writeBytes(path("bad.z"), truncated);
  std::string out;
  zarc("explode " + path("bad.z") + " " + path("out"), &out);
  Bytes partial = readBytes(path("out"));
  EXPECT_GT(partial.size(), 0u);
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), data.begin()));
  EXPECT_NE(out.find(std::to_string(partial.size()) + " bytes"), std::string::npos) << out;
}

TEST_F(ZarcCli, UsageAndFileErrorsHaveTheirOwnStatus) {
  writeBytes(path("in"), textBytes(100, 1));
  struct Case {
    std::string args;
    int status;
  } cases[] = {
      {"", 64},
      {"frobnicate a b", 64},
      {"implode " + path("in"), 64},
      {"implode --dict 7 " + path("in") + " " + path("o"), 64},
      {"implode --dict " , 64},
      {"implode --fast " + path("in") + " " + path("o"), 64},
      {"explode " + path("in"), 64},
      {"implode " + path("missing") + " " + path("o"), 65},
      {"explode " + path("missing") + " " + path("o"), 65},
      {"implode " + path("in") + " " + path("no/such/dir/o"), 65},
      {"explode " + path("in") + " " + path("no/such/dir/o"), 65},
  };
  for (const Case &c : cases) {
    std::string out;
    EXPECT_EQ(zarc(c.args, &out), c.status) << "zarc " << c.args << "\n" << out;
    EXPECT_FALSE(out.empty()) << "zarc " << c.args << " says nothing";
  }
  EXPECT_NE(access(path("o").c_str(), F_OK), 0) << "a failed run left its output file";
  std::string help;
  EXPECT_EQ(zarc("--help", &help), 0);
  for (const char *word : {"implode", "explode", "64", "65", "UnexpectedEnd"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

}  // namespace
