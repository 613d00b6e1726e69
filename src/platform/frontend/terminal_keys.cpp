// What the keys do in the terminal front end: message boxes, dialogs and
// the edit field.
#include "terminal_internal.h"

#include <algorithm>

namespace w32fe {
namespace term {

// A box button's label, with the mnemonic Windows gives it.
const char *boxLabel(int id) {
  switch (id) {
  case IDOK: return "OK";
  case IDCANCEL: return "Cancel";
  case IDABORT: return "&Abort";
  case IDRETRY: return "&Retry";
  case IDIGNORE: return "&Ignore";
  case IDYES: return "&Yes";
  case IDNO: return "&No";
  default: return "?";
  }
}

bool TerminalFrontEnd::focusable(const ControlInfo &c) {
  return (isEdit(c) || isButton(c)) && (c.style & WS_TABSTOP) && !(c.style & WS_DISABLED);
}

void TerminalFrontEnd::key(int ch, bool alt) {
  if (ch == KEY_RESIZE) {
    resize();
    return;
  }
  if (ch == KEY_F(2) && !media_.prompt) {
    if (media_.open) {
      media_.open = false;
    } else {
      openMedia();
    }
    return;
  }
  if (media_.open) {
    mediaKey(ch);
    return;
  }
  if (!boxes_.empty()) {
    boxKey(*boxes_.back(), ch, alt);
    return;
  }
  if (!dialogs_.empty()) dialogKey(*dialogs_.back(), ch, alt);
}

void TerminalFrontEnd::answer(Box &b, int id) {
  b.done = true;
  b.answer = id;
  boxes_.erase(std::remove_if(boxes_.begin(), boxes_.end(), [&](const std::shared_ptr<Box> &x) { return x.get() == &b; }),
               boxes_.end());
  cv_.notify_all();
}

void TerminalFrontEnd::boxKey(Box &b, int ch, bool alt) {
  int n = static_cast<int>(b.ids.size());
  if (ch == '\t' || ch == KEY_RIGHT || ch == KEY_DOWN) {
    b.focus = (b.focus + 1) % n;
  } else if (ch == KEY_BTAB || ch == KEY_LEFT || ch == KEY_UP) {
    b.focus = (b.focus + n - 1) % n;
  } else if (isEnter(ch) || ch == ' ') {
    answer(b, b.ids[static_cast<size_t>(b.focus)]);
  } else if ((ch == 27 && !alt) || ch == KEY_F(4)) {
    if (b.escape) answer(b, b.escape);
  } else if (ch > 32 && ch < 127) {
    for (int id : b.ids) {
      int accel;
      std::string label = term::stripAmpersands(boxLabel(id), &accel);
      if (accel >= 0 && tolower(label[static_cast<size_t>(accel)]) == tolower(ch)) {
        answer(b, id);
        return;
      }
    }
  }
}

void TerminalFrontEnd::queue(Shown &s, UserAction::Kind kind, int control) {
  // The dialog gets the typed texts before the command that may read them.
  for (size_t i = 0; i < s.edits.size(); ++i) {
    if (!s.edits[i].dirty) continue;
    s.edits[i].dirty = false;
    UserAction a;
    a.kind = UserAction::SetEditText;
    a.control = s.info.controls[i].id;
    a.text = s.edits[i].text;
    queue_.push_back({s.info.hwnd, a});
  }
  UserAction a;
  a.kind = kind;
  a.control = control;
  queue_.push_back({s.info.hwnd, a});
  wake();
}

void TerminalFrontEnd::moveFocus(Shown &s, int dir, bool buttonsOnly) {
  int n = static_cast<int>(s.info.controls.size());
  if (n == 0) return;
  int f = s.focus < 0 ? 0 : s.focus;
  for (int k = 1; k <= n; ++k) {
    int i = ((f + dir * k) % n + n) % n;
    const ControlInfo &c = s.info.controls[static_cast<size_t>(i)];
    if (focusable(c) && (!buttonsOnly || isButton(c))) {
      s.focus = i;
      if (isEdit(c)) s.edits[static_cast<size_t>(i)].selected = true;
      return;
    }
  }
}

void TerminalFrontEnd::dialogKey(Shown &s, int ch, bool alt) {
  const ControlInfo *f = s.focus >= 0 ? &s.info.controls[static_cast<size_t>(s.focus)] : nullptr;
  bool inEdit = f && isEdit(*f);
  if (ch == '\t') return moveFocus(s, 1, false);
  if (ch == KEY_BTAB) return moveFocus(s, -1, false);
  if (ch == 27 && !alt) return queue(s, UserAction::Escape, IDCANCEL);
  if (ch == KEY_F(4)) return queue(s, UserAction::Close, IDCANCEL);
  if (isEnter(ch)) {
    if (f && isButton(*f)) return queue(s, UserAction::Press, f->id);
    for (const ControlInfo &c : s.info.controls) {
      if (isDefault(c) && !(c.style & WS_DISABLED)) return queue(s, UserAction::Press, c.id);
    }
    return;
  }
  if (!inEdit && (ch == KEY_LEFT || ch == KEY_UP)) return moveFocus(s, -1, true);
  if (!inEdit && (ch == KEY_RIGHT || ch == KEY_DOWN)) return moveFocus(s, 1, true);
  if (ch == ' ' && f && isButton(*f)) return queue(s, UserAction::Press, f->id);
  if (ch > 32 && ch < 127 && (alt || !inEdit)) {
    for (size_t i = 0; i < s.info.controls.size(); ++i) {
      const ControlInfo &c = s.info.controls[i];
      int accel;
      std::string label = term::stripAmpersands(c.text, &accel);
      if (isButton(c) && accel >= 0 && !(c.style & WS_DISABLED) &&
          tolower(label[static_cast<size_t>(accel)]) == tolower(ch)) {
        s.focus = static_cast<int>(i);
        return queue(s, UserAction::Press, c.id);
      }
    }
    if (alt || !inEdit) return;
  }
  if (!inEdit) return;
  editKey(s, ch);
  fitScroll(s, static_cast<size_t>(s.focus));
}

// The field scrolls so that the cursor stays inside it.
void TerminalFrontEnd::fitScroll(Shown &s, size_t i) {
  if (i >= s.edits.size() || i >= s.layout.controls.size()) return;
  EditState &e = s.edits[i];
  size_t width = static_cast<size_t>(std::max(1, s.layout.controls[i].cols - 2));
  if (e.cursor < e.scroll) e.scroll = e.cursor;
  if (e.cursor >= e.scroll + width) e.scroll = e.cursor - width + 1;
}

void TerminalFrontEnd::editKey(Shown &s, int ch) {
  const ControlInfo *f = &s.info.controls[static_cast<size_t>(s.focus)];
  EditState &e = s.edits[static_cast<size_t>(s.focus)];
  size_t limit = f->editLimit > 0 ? static_cast<size_t>(f->editLimit) : 30000;
  // With all of the text selected, typing replaces it and Backspace or
  // Delete removes it; a cursor key ends the selection at its start or end.
  bool printable = ch >= 32 && ch < 127;
  if (e.selected && (printable || ch == KEY_BACKSPACE || ch == 127 || ch == 8 || ch == KEY_DC)) {
    e.selected = false;
    e.text.clear();
    e.cursor = 0;
    e.dirty = true;
    if (!printable) return;
  } else if (e.selected && (ch == KEY_LEFT || ch == KEY_RIGHT)) {
    e.selected = false;
    e.cursor = ch == KEY_LEFT ? 0 : e.text.size();
    return;
  } else if (ch == KEY_HOME || ch == KEY_END || ch == 1 || ch == 5) {
    e.selected = false;
  }
  if (ch >= 32 && ch < 127) {
    if (e.text.size() < limit) {
      e.text.insert(e.cursor++, 1, static_cast<char>(ch));
      e.dirty = true;
    } else {
      beep();
    }
  } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
    if (e.cursor > 0) {
      e.text.erase(--e.cursor, 1);
      e.dirty = true;
    }
  } else if (ch == KEY_DC) {
    if (e.cursor < e.text.size()) {
      e.text.erase(e.cursor, 1);
      e.dirty = true;
    }
  } else if (ch == KEY_LEFT) {
    if (e.cursor > 0) --e.cursor;
  } else if (ch == KEY_RIGHT) {
    if (e.cursor < e.text.size()) ++e.cursor;
  } else if (ch == KEY_HOME || ch == 1) {
    e.cursor = 0;
  } else if (ch == KEY_END || ch == 5) {
    e.cursor = e.text.size();
  }
}

}  // namespace term
}  // namespace w32fe
