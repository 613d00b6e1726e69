// The terminal front end's media menu: a removable drive pointed at
// another directory, ejected, or slowed, as w32prefix drive does.
#include "terminal_internal.h"
#include "machine/w32_prefix.h"
#include "machine/w32_path.h"
#include "machine/w32_script.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

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
  std::string drive = std::string(1, letter) + ":";  // as answer files write it
  std::string named = std::string(1, static_cast<char>(toupper(letter))) + ":";  // as the list shows it
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
          media_.message = named + " now holds " + dir;
          if (recorder_) recorder_->action("insert " + drive + " " + quoteText(dir), openBoxLine());
        }
      } else {
        char *end = nullptr;
        long v = in == "-" ? 0 : strtol(in.c_str(), &end, 10);
        if (in.empty() || (end && *end) || v < 0) {
          media_.message = "a speed is a number of bytes a second (0 or -: full speed)";
        } else {
          setDriveSpeedInternal(letter, static_cast<unsigned long>(v));
          media_.message = named + " reads " + (v ? std::to_string(v) + " bytes a second" : "at full speed");
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
      if (media_.inputSelected) media_.input.clear();
      if (!media_.input.empty()) media_.input.pop_back();
    } else if (ch >= 32 && ch < 127) {
      if (media_.inputSelected) media_.input.clear();
      media_.input += static_cast<char>(ch);
    }
    media_.inputSelected = false;
    return;
  }
  int n = static_cast<int>(media_.letters.size());
  if (ch == KEY_UP) media_.selected = (media_.selected + n - 1) % n;
  if (ch == KEY_DOWN) media_.selected = (media_.selected + 1) % n;
  if (ch == 27) media_.open = false;
  if (ch == 'i' || ch == 'I') {
    media_.prompt = 'i';
    media_.inputSelected = false;
    // An empty drive offers the directory it held before it was ejected.
    media_.input = driveHostRoot(letter);
    if (media_.input.empty()) media_.input = lastDir_[letter];
    media_.message.clear();
  }
  if (ch == 's' || ch == 'S') {
    media_.prompt = 's';
    media_.input = std::to_string(driveSpeed(letter));
    media_.inputSelected = true;  // typing replaces it
    media_.message.clear();
  }
  if (ch == 'e' || ch == 'E') {
    std::string held = driveHostRoot(letter);
    if (!held.empty()) lastDir_[letter] = held;
    mapDriveInternal(letter, "");
    media_.message = named + " is empty";
    if (recorder_) recorder_->action("eject " + drive, openBoxLine());
  }
}

// A path cut to n cells at its start, so its last components show.
static std::string pathTail(const std::string &path, size_t n) {
  if (path.size() <= n) return path;
  return n <= 3 ? path.substr(path.size() - n) : "..." + path.substr(path.size() - (n - 3));
}

void TerminalFrontEnd::drawMedia(const Media &media, int *cursorRow, int *cursorCol) {
  int cols = std::min(COLS, 76);
  int inner = std::max(1, cols - 4);
  // Each drive's line keeps its letter and speed; a directory too long
  // for the line loses its start.
  std::vector<std::string> rows;
  for (size_t i = 0; i < media.letters.size(); ++i) {
    char l = media.letters[i];
    std::string dir = driveHostRoot(l);
    unsigned long speed = driveSpeed(l);
    std::string head = std::string(static_cast<int>(i) == media.selected ? "> " : "  ") +
                       static_cast<char>(toupper(l)) + ":  ";
    std::string tail = speed ? "  [" + std::to_string(speed) + " B/s]" : "";
    size_t room = static_cast<size_t>(std::max(4, inner - static_cast<int>(head.size() + tail.size())));
    rows.push_back(head + (dir.empty() ? "(empty)" : pathTail(dir, room)) + tail);
  }
  // The keys, broken between items onto as many lines as they need.
  std::vector<std::string> hint(1);
  for (const char *item : {"Up/Down drive", "I insert", "E eject", "S speed", "Esc/F2 close"}) {
    std::string &last = hint.back();
    if (!last.empty() && static_cast<int>(last.size() + 2 + strlen(item)) > inner) hint.emplace_back();
    hint.back() += (hint.back().empty() ? "" : "  ") + std::string(item);
  }
  std::vector<std::string> said = media.prompt ? std::vector<std::string>(1) : term::wrapText(media.message, inner);
  if (said.empty()) said.emplace_back();
  int height = static_cast<int>(rows.size() + said.size() + hint.size()) + 5;
  int col = (COLS - cols) / 2, row = std::max(0, (LINES - 1 - height) / 2);
  attr_t body = colour_ ? attrOf(kDialog) : A_NORMAL;
  frame(row, col, height, cols, "Media (removable drives)", body);
  for (size_t i = 0; i < rows.size(); ++i) {
    put(row + 2 + static_cast<int>(i), col + 2, rows[i], body | (static_cast<int>(i) == media.selected ? A_REVERSE : 0),
        inner);
    hits_.push_back({row + 2 + static_cast<int>(i), col + 2, inner, Hit::MediaEntry, nullptr, static_cast<int>(i), 0});
  }
  int y = row + 2 + static_cast<int>(rows.size()) + 1;
  if (media.prompt) {
    std::string label = media.prompt == 'i' ? "Directory: " : "Bytes a second (0: full speed): ";
    if (inner - static_cast<int>(label.size()) < 12) label = media.prompt == 'i' ? "Dir: " : "Speed: ";
    int width = std::max(2, inner - static_cast<int>(label.size()));
    std::string shown = media.input.size() > static_cast<size_t>(width - 1)
                            ? media.input.substr(media.input.size() - static_cast<size_t>(width - 1))
                            : media.input;
    put(y, col + 2, label, body);
    attr_t ea = colour_ ? attrOf(kEdit) : A_UNDERLINE;
    fill(y, col + 2 + static_cast<int>(label.size()), width, ea);
    // A value offered selected is replaced by what is typed.
    put(y, col + 2 + static_cast<int>(label.size()), shown, media.inputSelected ? ea | A_REVERSE : ea);
    *cursorRow = y;
    *cursorCol = col + 2 + static_cast<int>(label.size() + shown.size());
  } else {
    for (size_t k = 0; k < said.size(); ++k) put(y + static_cast<int>(k), col + 2, said[k], body, inner);
  }
  for (size_t k = 0; k < hint.size(); ++k) {
    put(row + height - 1 - static_cast<int>(hint.size() - k), col + 2, hint[k], body, inner);
  }
}

}  // namespace term
}  // namespace w32fe
