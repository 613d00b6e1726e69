// The terminal front end's media menu: a removable drive pointed at
// another directory, ejected, or slowed, as w32prefix drive does.
#include "terminal_internal.h"

#include <sys/stat.h>

#include <algorithm>

namespace w32fe {
namespace term {

void TerminalFrontEnd::openMedia() {
  media_ = Media();
  media_.open = true;
  for (char l = 'a'; l <= 'y'; ++l) {
    if (l == 'c') continue;
    if (l == 'a' || l == 'd' || !driveHostRoot(l).empty()) media_.letters.push_back(l);
  }
}

const std::list<Recorder::Line>::iterator *TerminalFrontEnd::openBoxLine() {
  for (auto it = boxes_.rbegin(); it != boxes_.rend(); ++it) {
    if ((*it)->recorded) return &(*it)->recordLine;
  }
  return nullptr;
}

void TerminalFrontEnd::mediaKey(int ch) {
  char letter = media_.letters[static_cast<size_t>(media_.selected)];
  std::string drive = std::string(1, letter) + ":";
  if (media_.prompt) {
    if (isEnter(ch)) {
      std::string in = media_.input;
      if (media_.prompt == 'i') {
        std::string dir = absolutePath(in);
        struct stat st;
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
          media_.message = "no such directory: " + dir;
        } else {
          mapDriveInternal(letter, dir);
          media_.message = drive + " now holds " + dir;
          if (recorder_) recorder_->action("insert " + drive + " " + quoteText(dir), openBoxLine());
        }
      } else {
        char *end = nullptr;
        long v = in == "-" ? 0 : strtol(in.c_str(), &end, 10);
        if (in.empty() || (end && *end) || v < 0) {
          media_.message = "a speed is a number of bytes a second (0 or -: full speed)";
        } else {
          setDriveSpeedInternal(letter, static_cast<unsigned long>(v));
          media_.message = drive + " reads " + (v ? std::to_string(v) + " bytes a second" : "at full speed");
          std::string dir = driveHostRoot(letter);
          if (recorder_ && !dir.empty()) {
            recorder_->action("insert " + drive + " " + quoteText(dir) + " speed " + std::to_string(v), openBoxLine());
          }
        }
      }
      media_.prompt = 0;
    } else if (ch == 27) {
      media_.prompt = 0;
    } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
      if (!media_.input.empty()) media_.input.pop_back();
    } else if (ch >= 32 && ch < 127) {
      media_.input += static_cast<char>(ch);
    }
    return;
  }
  int n = static_cast<int>(media_.letters.size());
  if (ch == KEY_UP) media_.selected = (media_.selected + n - 1) % n;
  if (ch == KEY_DOWN) media_.selected = (media_.selected + 1) % n;
  if (ch == 27) media_.open = false;
  if (ch == 'i' || ch == 'I') {
    media_.prompt = 'i';
    // An empty drive offers the directory it held before it was ejected.
    media_.input = driveHostRoot(letter);
    if (media_.input.empty()) media_.input = lastDir_[letter];
    media_.message.clear();
  }
  if (ch == 's' || ch == 'S') {
    media_.prompt = 's';
    media_.input = std::to_string(driveSpeed(letter));
    media_.message.clear();
  }
  if (ch == 'e' || ch == 'E') {
    std::string held = driveHostRoot(letter);
    if (!held.empty()) lastDir_[letter] = held;
    mapDriveInternal(letter, "");
    media_.message = drive + " is empty";
    if (recorder_) recorder_->action("eject " + drive, openBoxLine());
  }
}

void TerminalFrontEnd::drawMedia(const Media &media, int *cursorRow, int *cursorCol) {
  std::vector<std::string> rows;
  for (size_t i = 0; i < media.letters.size(); ++i) {
    char l = media.letters[i];
    std::string dir = driveHostRoot(l);
    unsigned long speed = driveSpeed(l);
    std::string line = std::string(static_cast<int>(i) == media.selected ? "> " : "  ") +
                       static_cast<char>(toupper(l)) + ":  " + (dir.empty() ? "(empty)" : dir);
    if (speed) line += "  [" + std::to_string(speed) + " B/s]";
    rows.push_back(line);
  }
  int cols = std::min(COLS, 76);
  int height = static_cast<int>(rows.size()) + 7;
  int col = (COLS - cols) / 2, row = std::max(0, (LINES - 1 - height) / 2);
  attr_t body = colour_ ? attrOf(kDialog) : A_NORMAL;
  frame(row, col, height, cols, "Media (removable drives)", body);
  for (size_t i = 0; i < rows.size(); ++i) {
    put(row + 2 + static_cast<int>(i), col + 2, rows[i], body | (static_cast<int>(i) == media.selected ? A_REVERSE : 0),
        cols - 4);
    hits_.push_back({row + 2 + static_cast<int>(i), col + 2, cols - 4, Hit::MediaEntry, nullptr, static_cast<int>(i), 0});
  }
  int y = row + 2 + static_cast<int>(rows.size()) + 1;
  if (media.prompt) {
    std::string label = media.prompt == 'i' ? "Directory: " : "Bytes a second (0: full speed): ";
    int width = cols - 4 - static_cast<int>(label.size());
    std::string shown = media.input.size() > static_cast<size_t>(width - 1)
                            ? media.input.substr(media.input.size() - static_cast<size_t>(width - 1))
                            : media.input;
    put(y, col + 2, label, body);
    attr_t ea = colour_ ? attrOf(kEdit) : A_UNDERLINE;
    fill(y, col + 2 + static_cast<int>(label.size()), width, ea);
    put(y, col + 2 + static_cast<int>(label.size()), shown, ea);
    *cursorRow = y;
    *cursorCol = col + 2 + static_cast<int>(label.size() + shown.size());
  } else {
    put(y, col + 2, media.message, body, cols - 4);
  }
  put(row + height - 2, col + 2, "Up/Down drive  I insert  E eject  S speed  Esc/F2 close", body, cols - 4);
}

}  // namespace term
}  // namespace w32fe
