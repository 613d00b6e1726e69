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
  if (ch == KEY_MOUSE) {
    mouse();
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
      if (isEdit(c)) selectAll(s.edits[static_cast<size_t>(i)]);
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
  // A field without horizontal auto-scroll takes characters only while
  // they fit in it, as on Windows; the cursor keeps a cell of its own.
  if (!(f->style & ES_AUTOHSCROLL) && static_cast<size_t>(s.focus) < s.layout.controls.size()) {
    limit = std::min(limit, static_cast<size_t>(std::max(1, s.layout.controls[static_cast<size_t>(s.focus)].cols - 3)));
  }
  size_t from = std::min(e.anchor, e.cursor), to = std::max(e.anchor, e.cursor);
  bool printable = ch >= 32 && ch < 127;
  bool erase = ch == KEY_BACKSPACE || ch == 127 || ch == 8 || ch == KEY_DC;
  if (ch == KEY_SHOME || ch == KEY_SEND) {
    // Shift+Home and Shift+End select from the cursor (or the selection's
    // anchor) to the start or the end.
    if (!e.selected) e.anchor = e.cursor;
    e.cursor = ch == KEY_SHOME ? 0 : e.text.size();
    e.selected = e.anchor != e.cursor;
    return;
  }
  if (e.selected && from < to && (printable || erase)) {
    // Typing replaces the selection; Backspace or Delete removes it.
    e.text.erase(from, to - from);
    e.cursor = from;
    e.selected = false;
    e.dirty = true;
    if (!printable) return;
  } else if (e.selected && (ch == KEY_LEFT || ch == KEY_RIGHT)) {
    // A cursor key ends the selection at its start or end.
    e.selected = false;
    e.cursor = ch == KEY_LEFT ? from : to;
    return;
  }
  e.selected = false;
  if (printable) {
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

void TerminalFrontEnd::selectAll(EditState &e) {
  e.selected = true;
  e.anchor = 0;
  e.cursor = e.text.size();
}

// ---- The mouse ----

// The first button: a button presses when the mouse is let go over the one
// it went down on; the edit field takes the focus, and the cursor where the
// mouse went down; a message box's buttons likewise; the media menu's
// entries are chosen.
void TerminalFrontEnd::mouse() {
  MEVENT ev;
  if (getmouse(&ev) != OK) return;
  bool down = ev.bstate & BUTTON1_PRESSED, up = ev.bstate & BUTTON1_RELEASED, clicked = ev.bstate & BUTTON1_CLICKED;
  const Hit *hit = nullptr;
  for (const Hit &h : hits_) {
    if (ev.y == h.row && ev.x >= h.col && ev.x < h.col + h.cols) hit = &h;
  }
  // A release whose press went unreported (one read can merge the two)
  // counts where it happens.
  if (up && !down && !havePress_ && hit) click(*hit, ev.x, false);
  if (down || clicked) {
    pressed_ = hit ? *hit : Hit{-1, -1, 0, Hit::MediaEntry, nullptr, -1, 0};
    havePress_ = true;
    if (hit) click(*hit, ev.x, false);
  }
  // The same control as went down (its frame may have moved with the focus).
  bool same = hit && (!havePress_ || (pressed_.kind == hit->kind && pressed_.dialog == hit->dialog &&
                                      pressed_.index == hit->index && pressed_.tag == hit->tag));
  if (hit && (clicked || (up && same))) click(*hit, ev.x, true);
  if (up || clicked) havePress_ = false;
}

void TerminalFrontEnd::click(const Hit &h, int x, bool release) {
  if (h.kind == Hit::MediaEntry) {
    if (media_.open && !media_.prompt && h.index < static_cast<int>(media_.letters.size())) media_.selected = h.index;
    return;
  }
  if (h.kind == Hit::BoxButton) {
    if (boxes_.empty() || boxes_.back()->serial != h.tag) return;
    Box &b = *boxes_.back();
    if (h.index < static_cast<int>(b.ids.size())) {
      b.focus = h.index;
      if (release) answer(b, b.ids[static_cast<size_t>(h.index)]);
    }
    return;
  }
  if (dialogs_.empty() || dialogs_.back()->info.hwnd != h.dialog) return;
  Shown &s = *dialogs_.back();
  if (h.index >= static_cast<int>(s.info.controls.size())) return;
  const ControlInfo &c = s.info.controls[static_cast<size_t>(h.index)];
  if (!focusable(c)) return;
  if (isButton(c)) {
    s.focus = h.index;
    if (release) queue(s, UserAction::Press, c.id);
  } else if (!release) {
    s.focus = h.index;
    EditState &e = s.edits[static_cast<size_t>(h.index)];
    e.selected = false;
    e.cursor = std::min(e.text.size(), e.scroll + static_cast<size_t>(std::max(0, x - static_cast<int>(h.tag))));
  }
}

}  // namespace term
}  // namespace w32fe
