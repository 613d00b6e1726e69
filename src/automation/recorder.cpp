// The answer-file recorder (recorder.h).
#include "recorder.h"

#include <algorithm>
#include <iterator>

#include "lines.h"

namespace qva {

void Recorder::dialogShown(const void *dialog, int id) {
  Open o;
  o.line = add("dialog " + std::to_string(id));
  o.id = id;
  dialogs_[dialog] = o;
  write();
}

void Recorder::step(const void *dialog, const std::string &text) {
  auto it = dialogs_.find(dialog);
  if (it == dialogs_.end()) return;
  it->second.steps.push_back(text);
  it->second.exhausted = false;
  it->second.line->answer = "dialog " + std::to_string(it->second.id);
  for (const std::string &s : it->second.steps) it->second.line->answer += " " + s;
  write();
}

void Recorder::idle(const void *dialog) {
  auto it = dialogs_.find(dialog);
  if (it == dialogs_.end() || it->second.steps.empty() || it->second.exhausted) return;
  it->second.exhausted = true;
  it->second.exhaustedAt = std::prev(lines_.end());
}

void Recorder::dialogClosed(const void *dialog) {
  auto it = dialogs_.find(dialog);
  if (it == dialogs_.end()) return;
  Open &o = it->second;
  if (o.steps.empty()) {
    o.line->answer = "dialog " + std::to_string(o.id) + " wait";
  } else if (o.exhausted) {
    Line l;
    l.answer = "dialog " + std::to_string(o.id) + " wait";
    lines_.insert(std::next(o.exhaustedAt), l);
  }
  dialogs_.erase(it);
  write();
}

void Recorder::boxAnswered(std::list<Line>::iterator line, const std::string &text, int button) {
  line->answer = "message " + quote(text) + " " + buttonName(button);
  write();
}

void Recorder::action(const std::string &text, const std::list<Line>::iterator *openBox) {
  if (openBox) {
    (*openBox)->actions.push_back(text);
  } else {
    pending_.push_back(text);
  }
  write();
}

void Recorder::dialogAction(const void *dialog, const std::string &text) {
  auto it = dialogs_.find(dialog);
  if (it == dialogs_.end()) return action(text, nullptr);
  it->second.line->actions.push_back(text);
  write();
}

std::list<Recorder::Line>::iterator Recorder::add(const std::string &answer) {
  Line l;
  l.actions.swap(pending_);
  l.answer = answer;
  lines_.push_back(l);
  return std::prev(lines_.end());
}

void Recorder::write() {
  std::string out = heading_;
  for (const Line &l : lines_) {
    if (l.answer.empty()) continue;
    for (const std::string &a : l.actions) out += a + "\n";
    bool noSteps = std::count(l.answer.begin(), l.answer.end(), ' ') == 1 && l.answer.compare(0, 7, "dialog ") == 0;
    out += noSteps ? l.answer + " wait\n" : l.answer + "\n";
  }
  writer_(out);
}

}  // namespace qva
