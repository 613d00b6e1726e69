// The progress rule, the bounded text helpers, and the retry prompt's two
// races (the prompts' texts and answers are the scenarios' to check).
#include <string.h>

#include <string>

#include "bounded_text.h"
#include "engine_fixture.h"
#include "transfer_prompts.h"

namespace {

using ProgressTest = EngineTest;

struct Advance {
  uint32_t n;
  int posts;             // WM_SETUP_PROGRESS messages this call posts
  uint32_t nextPercent;  // afterwards
};

struct ProgressCase {
  const char *what;
  uint32_t total;
  std::vector<Advance> steps;
};

TEST_F(ProgressTest, AdvanceRule) {
  const ProgressCase cases[] = {
      {"first bytes post at once, then one per 15,000", 1500000,
       {{14999, 1, 1}, {1, 1, 2}, {14999, 0, 2}, {1, 1, 3}}},
      {"advance by 0 posts only once the mark is reached", 1500000,
       {{0, 1, 1}, {0, 0, 1}, {15000, 1, 2}, {0, 0, 2}, {14999, 0, 2}, {1, 1, 3}, {0, 0, 3}}},
      {"a jump over several percentages posts once", 1500000, {{45000, 1, 4}, {1, 0, 4}, {60000, 1, 8}}},
      {"past the total the percentages go on", 1500000, {{1500000, 1, 101}, {15000, 1, 102}}},
      {"a total of exactly 100 counts one byte per percent", 100, {{1, 1, 2}, {1, 1, 3}, {0, 0, 3}}},
      {"a total under 100 shows no progress", 99, {{0, 0, 0}, {50, 0, 0}, {1000000, 0, 0}}},
      {"a total of 0 shows no progress", 0, {{1, 0, 0}}},
  };
  for (const ProgressCase &c : cases) {
    setupProgress(c.total);
    takeProgressPosts();
    uint32_t done = 0;
    for (size_t i = 0; i < c.steps.size(); i++) {
      advanceProgress(c.steps[i].n);
      done += c.steps[i].n;
      EXPECT_EQ(takeProgressPosts(), c.steps[i].posts) << c.what << ", step " << i;
      EXPECT_EQ(progressMeter.nextPercent.load(), c.steps[i].nextPercent) << c.what << ", step " << i;
      EXPECT_EQ(progressMeter.bytesDone.load(), done) << c.what << ", step " << i;
    }
  }
}

TEST(BoundedText, RefusesRatherThanOverruns) {
  struct Case {
    const char *first;
    const char *second;
    size_t size;
    int fits;
    const char *result;
  };
  const Case cases[] = {
      {"c:\\dunmere", "\\quorvel\\", 20, 1, "c:\\dunmere\\quorvel\\"},
      {"abc", "def", 7, 1, "abcdef"},
      {"abc", "def", 6, 0, "abcde"},
      {"abc", "", 4, 1, "abc"},
      {"abcd", "", 4, 0, "abc"},
      {"", "", 1, 1, ""},
  };
  for (const Case &c : cases) {
    char buffer[32];
    memset(buffer, 'J', sizeof buffer);  // junk: a missing terminator shows
    EXPECT_EQ(textJoin(buffer, c.size, c.first, c.second), c.fits) << c.first << c.second;
    EXPECT_STREQ(buffer, c.result);
    EXPECT_EQ(buffer[c.size], 'J') << "written past the buffer";

    memset(buffer, 'J', sizeof buffer);
    EXPECT_EQ(textCopy(buffer, c.size, c.first), strlen(c.first) < c.size ? 1 : 0);
    int appended = textAppend(buffer, c.size, c.second);
    EXPECT_EQ(appended && strlen(c.first) < c.size, c.fits) << c.first << c.second;
    EXPECT_STREQ(buffer, c.result);
    EXPECT_EQ(buffer[c.size], 'J') << "written past the buffer";
  }
}

using PromptTest = EngineTest;

// A cancel that arrives while Retry is being answered is kept: the prompt
// never clears the flag.
TEST_F(PromptTest, RetryNeverClearsACancel) {
  setupState.cancelRequested = 1;
  strcpy(setupState.sourceDir, "c:\\src\\");
  w32::setAnswers("message \"*\" Retry\n");
  EXPECT_EQ(handleTransferResult(dialog, TransferResult::SourceMissing), 0);
  EXPECT_EQ(setupState.cancelRequested.load(), 1);
}

// A box that cannot be shown (the answer file has nothing for it) stops the
// run instead of repeating a failing transfer unasked.
TEST_F(PromptTest, ABoxThatCannotBeShownStopsTheRun) {
  strcpy(setupState.failingPath, "c:\\x");
  EXPECT_EQ(handleTransferResult(dialog, TransferResult::CannotWrite), 1);
  EXPECT_EQ(setupState.cancelRequested.load(), 1);
  EXPECT_NE(w32::scriptError(), "");
}

}  // namespace
