// The terminal front end's layout of the four wizard dialogs, taken as the
// dialog manager hands them over (the welcome bitmap included), checked
// against their templates at 80x24 and at a larger screen.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/terminal_frontend.h"
#include "resource.h"
#include "w32_test.h"
#include "wizard.h"

namespace {

using w32fe::term::Cells;

// Shows nothing: keeps what it was given and ends the dialog at once.
class Capture : public w32fe::FrontEnd {
 public:
  int cols = 80, rows = 24;
  w32fe::DialogInfo shown;
  const char *name() const override { return "capture"; }
  void screenSize(int *cx, int *cy) override {
    *cx = cols * 6;
    *cy = (rows - 1) * 13;
  }
  bool showDialog(const w32fe::DialogInfo &d) override {
    shown = d;
    return true;
  }
  void controlChanged(const w32fe::DialogInfo &, const w32fe::ControlInfo &) override {}
  int nextAction(const w32fe::DialogInfo &, w32fe::UserAction *, DWORD *) override { return -1; }
  void closeDialog(const w32fe::DialogInfo &, INT_PTR) override {}
  int messageBox(HWND, const std::string &, const std::string &, UINT) override { return 0; }
};

std::vector<std::string> words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool overlap(const Cells &a, const Cells &b) {
  return a.col < b.col + b.cols && b.col < a.col + a.cols && a.row < b.row + b.rows && b.row < a.row + a.rows;
}

TEST(TerminalLayout, WizardDialogsKeepTheirTemplates) {
  std::string prefix = ::testing::TempDir() + "terminal_layout_prefix";
  w32::resetForTest(prefix);
  InitCommonControls();  // the progress bar's class, as the program's start-up registers it
  Capture capture;
  w32fe::setCurrent(&capture);
  struct Dialog {
    int id;
    DLGPROC proc;
  };
  const Dialog dialogs[] = {{IDD_WELCOME, welcomeDialogProc},
                            {IDD_INTRO, introDialogProc},
                            {IDD_DIRECTORY, directoryDialogProc},
                            {IDD_PROGRESS, progressDialogProc}};
  for (int size = 0; size < 2; ++size) {
    capture.cols = size ? 132 : 80;
    capture.rows = size ? 43 : 24;
    for (const Dialog &dlg : dialogs) {
      SCOPED_TRACE("dialog " + std::to_string(dlg.id) + " at " + std::to_string(capture.cols) + "x" +
                   std::to_string(capture.rows));
      capture.shown = w32fe::DialogInfo();
      DialogBoxParamA(nullptr, MAKEINTRESOURCEA(dlg.id), nullptr, dlg.proc, 0);
      const w32fe::DialogInfo &d = capture.shown;
      ASSERT_EQ(d.id, dlg.id);
      w32fe::term::Layout l = w32fe::term::layoutDialog(d);
      EXPECT_TRUE(l.problems.empty()) << l.problems.front();
      ASSERT_EQ(l.controls.size(), d.controls.size());

      // The frame lies on the screen above the bottom line, centred.
      Cells f = w32fe::term::placeDialog(d, l, capture.cols, capture.rows - 1, capture.cols, capture.rows);
      EXPECT_GE(f.col, 0);
      EXPECT_GE(f.row, 0);
      EXPECT_LE(f.col + f.cols, capture.cols);
      EXPECT_LE(f.row + f.rows, capture.rows - 1);
      EXPECT_LE(std::abs(2 * f.col + f.cols - capture.cols), 1);
      EXPECT_LE(std::abs(2 * f.row + f.rows - (capture.rows - 1)), 1);

      for (size_t i = 0; i < d.controls.size(); ++i) {
        const w32fe::ControlInfo &c = d.controls[i];
        const Cells &r = l.controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + " (" + c.text.substr(0, 24) + ")");
        EXPECT_GE(r.col, 0);
        EXPECT_GE(r.row, 0);
        EXPECT_LE(r.col + r.cols, l.cols);
        EXPECT_LE(r.row + r.rows, l.rows);
        for (size_t j = 0; j < i; ++j) {
          EXPECT_FALSE(overlap(r, l.controls[j])) << "covers control " << j;
          // What lies above or left of another in the template still does.
          const RECT &a = d.controls[j].dlu, &b = c.dlu;
          if (a.bottom <= b.top) {
            EXPECT_LE(l.controls[j].row, r.row) << "control " << j << " was above";
          }
          // A gap of a line between them in the template stays a blank row.
          if (a.bottom + 8 <= b.top && a.left < b.right && b.left < a.right) {
            EXPECT_GT(r.row, l.controls[j].row + l.controls[j].rows) << "no blank row below control " << j;
          }
          if (b.bottom <= a.top) {
            EXPECT_LE(r.row, l.controls[j].row) << "control " << j << " was below";
          }
          if (a.top == b.top && a.right <= b.left) {
            EXPECT_LE(l.controls[j].col + l.controls[j].cols, r.col) << "control " << j << " was left";
          }
        }
        // Starts within a cell of where the template puts it.
        EXPECT_LE(std::abs(r.col - static_cast<int>(c.dlu.left) / 4), 1);
        int accel;
        std::string label = w32fe::term::stripAmpersands(c.text, &accel);
        if (c.className == "STATIC" && !c.bitmap) {
          std::vector<std::string> lines = w32fe::term::wrapText(label, r.cols);
          EXPECT_LE(static_cast<int>(lines.size()), r.rows) << "text cut off";
          std::string joined;
          for (const std::string &line : lines) {
            EXPECT_LE(static_cast<int>(line.size()), r.cols) << line;
            joined += line + " ";
          }
          EXPECT_EQ(words(joined), words(label));
        }
        if (c.className == "BUTTON") {
          EXPECT_GE(r.cols, static_cast<int>(label.size()) + 4) << "label cut off";
        }
      }
    }
  }
  w32fe::setCurrent(nullptr);
}

TEST(TerminalLayout, WrapBreaksAtBlanksAndCutsOnlyOverlongWords) {
  using w32fe::term::wrapText;
  EXPECT_EQ(wrapText("Here's what you need:", 21), std::vector<std::string>{"Here's what you need:"});
  EXPECT_EQ(wrapText("Here's what you need:", 20), (std::vector<std::string>{"Here's what you", "need:"}));
  EXPECT_EQ(wrapText("a\nb  c\nd  e  f", 5), (std::vector<std::string>{"a", "b  c", "d e f"}));  // columns kept if they fit
  EXPECT_EQ(wrapText("c:\\dunmere\\quorvel x", 8), (std::vector<std::string>{"c:\\dunme", "re\\quorv", "el x"}));
  int accel;
  EXPECT_EQ(w32fe::term::stripAmpersands("< &Back", &accel), "< Back");
  EXPECT_EQ(accel, 2);
  EXPECT_EQ(w32fe::term::stripAmpersands("R&&D", &accel), "R&D");
  EXPECT_EQ(accel, -1);
}

}  // namespace
