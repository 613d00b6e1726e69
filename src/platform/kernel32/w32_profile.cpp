// The profile API: GetProfileStringA, WriteProfileStringA (WIN.INI in the
// Windows directory), GetPrivateProfileStringA, WritePrivateProfileStringA.
//
// The file is read on every call, in one pass, and never split into lines: a
// call finds section headers by their brackets and looks at the lines of the
// section it names only.  A write changes only the bytes it must and writes
// the file back whole (a temporary file renamed over it).  Lines of a
// profile file:
//   [name]        a section header (name between '[' and the last ']')
//   name=value    an entry; name and value trimmed of blanks
//   name          an entry without a value (listed, but reads as missing)
//   ;text         a comment; blank lines are kept as they are
// Lines before the first header belong to no section.  Names compare
// without regard to ASCII case, after trimming.  A section name that occurs
// more than once is one section: lookups take the first match in file order.
#include "machine/w32_core.h"
#include "machine/w32_prefix.h"
#include "machine/w32_path.h"
#include "machine/w32_script.h"
#include "w32_fsops.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <unordered_set>

using namespace w32int;

namespace {

std::mutex profileMutex; // one profile call at a time in this process

using View = std::string_view;

bool isBlank(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u == ' ' || u == '\t' || u == '\r' || u == '\n' || u == '\v' || u == '\f' || u == 0x1A;
}

View trim(View s) {
  size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}


std::string folded(View s) {
  std::string out(s);
  for (char &c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

enum class Kind { Blank, Comment, Header, Entry };

// One line of the file, found where it lies: the file is never split into
// lines, so a large file costs its own size and one pass per call.
struct Line {
  size_t start = 0;   // first byte of the text
  size_t textEnd = 0; // end of the text (before CR LF or LF)
  size_t end = 0;     // after the line end
  Kind kind = Kind::Blank;
  View name;  // header or entry name, trimmed
  View value; // entry value, trimmed
  bool hasValue = false;
};

// The lines of a profile, one after the other; or only its section
// headers, found by their '[' without looking at the lines between (a large
// file's many entries cost one memchr pass then).
class Lines {
public:
  explicit Lines(const std::string &bytes) : bytes_(bytes) {}
  bool next(Line *l) {
    if (pos_ >= bytes_.size()) return false;
    take(pos_, l);
    return true;
  }
  bool nextHeader(Line *l) {
    const char *base = bytes_.data();
    while (pos_ < bytes_.size()) {
      const void *open = memchr(base + pos_, '[', bytes_.size() - pos_);
      if (!open) break;
      size_t at = static_cast<size_t>(static_cast<const char *>(open) - base);
      size_t start = at;
      while (start > pos_ && base[start - 1] != '\n' && isBlank(base[start - 1])) --start;
      bool lineStart = start == 0 || base[start - 1] == '\n';
      if (!lineStart) {
        pos_ = at + 1; // a '[' inside a line
        continue;
      }
      take(start, l);
      if (l->kind == Kind::Header) return true;
    }
    pos_ = bytes_.size();
    return false;
  }

private:
  void take(size_t start, Line *l) {
    const char *base = bytes_.data();
    const void *nl = memchr(base + start, '\n', bytes_.size() - start);
    l->start = start;
    if (!nl) {
      l->textEnd = l->end = bytes_.size();
    } else {
      size_t at = static_cast<size_t>(static_cast<const char *>(nl) - base);
      l->textEnd = at > start && base[at - 1] == '\r' ? at - 1 : at;
      l->end = at + 1;
    }
    pos_ = l->end;
    classify(View(base + l->start, l->textEnd - l->start), l);
  }
  static void classify(View text, Line *l) {
    View t = trim(text);
    l->name = View();
    l->value = View();
    l->hasValue = false;
    if (t.empty()) {
      l->kind = Kind::Blank;
    } else if (t[0] == ';') {
      l->kind = Kind::Comment;
    } else if (t[0] == '[' && t.rfind(']') != View::npos && t.rfind(']') > 0) {
      l->kind = Kind::Header;
      l->name = trim(t.substr(1, t.rfind(']') - 1));
    } else {
      l->kind = Kind::Entry;
      size_t eq = t.find('=');
      if (eq == View::npos) {
        l->name = t;
      } else {
        l->name = trim(t.substr(0, eq));
        l->value = trim(t.substr(eq + 1));
        l->hasValue = true;
      }
    }
  }
  const std::string &bytes_;
  size_t pos_ = 0;
};

struct Profile {
  std::string bytes;
  bool exists = false;
};

// Profile files are read only when they are regular files of at most the
// registry's size: a FIFO or a device would hang the reader or fill the
// memory, and a larger file is refused whole.
constexpr off_t kProfileCap = kPrefixFileCap;

// Reads the file behind a profile name.  False with *err when the name
// cannot be mapped or the file cannot be read (a link that leaves the
// drive, not a regular file, over the cap); a missing file is an empty
// profile.
bool load(const char *fileName, ResolvedPath *r, Profile *p, DWORD *err) {
  *p = Profile();
  if (!profileHostPath(fileName, r, err)) return false;
  if (!r->exists) return true;
  if (r->escapes) {
    *err = ERROR_ACCESS_DENIED;
    return false;
  }
  struct stat st;
  if (stat(r->host.c_str(), &st) != 0) return true;
  if (S_ISDIR(st.st_mode)) return true; // a directory reads as a missing file, as on Windows
  int fd = openFileInDrive(*r, O_RDONLY, 0);
  if (fd < 0) {
    *err = errno == ENOENT ? ERROR_FILE_NOT_FOUND : errnoToWin(errno);
    return errno == ENOENT;
  }
  int e = readPrefixFd(fd, &p->bytes);
  close(fd);
  if (e != 0) {
    *err = e == EFBIG ? ERROR_FILE_TOO_LARGE : errnoToWin(e);
    p->bytes.clear();
    return false;
  }
  p->exists = true;
  return true;
}

// Calls f(header, line) for every line of every section named section (the
// header line itself too, with line.kind Header); f returns false to stop.
template <typename F> void forEachInSection(const std::string &bytes, View section, F f) {
  Lines lines(bytes);
  Line l;
  bool header = lines.nextHeader(&l);
  while (header) {
    if (!equalsNoCase(l.name, section)) {
      header = lines.nextHeader(&l);
      continue;
    }
    if (!f(l)) return;
    header = false;
    while (lines.next(&l)) {
      if (l.kind == Kind::Header) {
        header = true;
        break;
      }
      if (!f(l)) return;
    }
  }
}

// The first entry with that name in a section of that name.
bool findEntry(const std::string &bytes, View section, View key, Line *found) {
  bool ok = false;
  forEachInSection(bytes, section, [&](const Line &l) {
    if (l.kind == Kind::Entry && equalsNoCase(l.name, key)) {
      *found = l;
      ok = true;
      return false;
    }
    return true;
  });
  return ok;
}

// Copies one text: at most size - 1 characters and a terminator.
DWORD copyText(const std::string &s, LPSTR out, DWORD size) {
  size_t n = std::min<size_t>(s.size(), size - 1);
  memcpy(out, s.data(), n);
  out[n] = 0;
  return static_cast<DWORD>(n);
}

// Copies a list of names, each with its terminator, and a final terminator.
// The result counts the names' characters and terminators, not the final
// one.  A list that does not fit is cut: the last name that fits in part is
// cut short and followed by two terminators, and the result is size - 2.
DWORD copyList(const std::vector<std::string> &names, LPSTR out, DWORD size) {
  if (size == 1) {
    out[0] = 0;
    return 0;
  }
  size_t room = size - 1; // what the names may use, leaving the final terminator
  char *p = out;
  for (const std::string &n : names) {
    size_t need = n.size() + 1;
    if (need > room) {
      if (room > 0) {
        memcpy(p, n.data(), room - 1);
        p += room - 1;
        *p++ = 0;
      }
      *p = 0;
      return size - 2;
    }
    memcpy(p, n.c_str(), need);
    p += need;
    room -= need;
  }
  *p = 0;
  return static_cast<DWORD>(p - out);
}

// A value in matching single or double quotes loses them.
std::string unquote(const std::string &v) {
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) return v.substr(1, v.size() - 2);
  return v;
}

// The default loses its trailing blanks (spaces only), as in Win32.
std::string trimDefault(LPCSTR def) {
  std::string d = def ? def : "";
  while (!d.empty() && d.back() == ' ') d.pop_back();
  return d;
}

// The names of a list, each once (ignoring case), in the order first met.
class NameList {
public:
  void add(View name) {
    if (name.empty() || !seen_.insert(folded(name)).second) return;
    names_.emplace_back(name);
  }
  const std::vector<std::string> &names() const { return names_; }

private:
  std::unordered_set<std::string> seen_;
  std::vector<std::string> names_;
};

// What a failed or refused profile call tells the run's record.
void noteProfile(const char *call, LPCSTR fileName, LPCSTR section, LPCSTR key, DWORD error) {
  std::string what = std::string("file=") + quoteText(fileName ? fileName : "");
  if (section) what += " section=" + quoteText(section);
  if (key) what += " key=" + quoteText(key);
  noteFailedStep("profile", call, what, error);
}

DWORD getString(const char *call, LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size, LPCSTR fileName) {
  ensureInit();
  bool failed = faultHit(w32::Fault::Profile);
  if (!out || size == 0) return 0;
  std::lock_guard<std::mutex> lock(profileMutex);
  Profile p;
  ResolvedPath r;
  DWORD err = 0;
  if (failed) {
    setError(ERROR_ACCESS_DENIED); // read as an unreadable file: nothing found
    noteProfile(call, fileName, section, key, ERROR_ACCESS_DENIED);
  } else if (!load(fileName, &r, &p, &err)) {
    setError(err);
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) noteProfile(call, fileName, section, key, err);
  } else if (!p.exists) {
    setError(ERROR_FILE_NOT_FOUND);
  }

  if (!section) { // the names of all sections
    NameList names;
    Lines lines(p.bytes);
    Line l;
    while (lines.nextHeader(&l)) names.add(l.name);
    return copyList(names.names(), out, size);
  }
  View sec = trim(section);
  if (!key) { // the names of the section's keys, or the default
    NameList names;
    forEachInSection(p.bytes, sec, [&](const Line &l) {
      if (l.kind == Kind::Entry) names.add(l.name);
      return true;
    });
    if (!names.names().empty()) return copyList(names.names(), out, size);
    return copyText(trimDefault(def), out, size);
  }
  Line l;
  if (findEntry(p.bytes, sec, trim(key), &l) && l.hasValue) return copyText(unquote(std::string(l.value)), out, size);
  return copyText(trimDefault(def), out, size);
}

// The file with the ranges [from, to) of the old bytes left out.
std::string without(const std::string &bytes, const std::vector<std::pair<size_t, size_t>> &cuts) {
  std::string out;
  out.reserve(bytes.size());
  size_t at = 0;
  for (const auto &c : cuts) {
    out.append(bytes, at, c.first - at);
    at = c.second;
  }
  out.append(bytes, at, std::string::npos);
  return out;
}

// The new bytes of a write, or false when it changes nothing.
bool edit(const std::string &bytes, LPCSTR section, LPCSTR key, LPCSTR value, std::string *out) {
  View sec = trim(section);
  std::vector<std::pair<size_t, size_t>> cuts;
  if (!key) { // delete every section of that name, header to next header
    size_t from = 0;
    bool dropping = false;
    Lines lines(bytes);
    Line l;
    while (lines.nextHeader(&l)) {
      bool match = equalsNoCase(l.name, sec);
      if (dropping && !match) cuts.emplace_back(from, l.start);
      if (!dropping && match) from = l.start;
      dropping = match;
    }
    if (dropping) cuts.emplace_back(from, bytes.size());
    if (cuts.empty()) return false;
    *out = without(bytes, cuts);
    return true;
  }
  View k = trim(key);
  if (!value) { // delete the key wherever the section has it
    forEachInSection(bytes, sec, [&](const Line &l) {
      if (l.kind == Kind::Entry && equalsNoCase(l.name, k)) cuts.emplace_back(l.start, l.end);
      return true;
    });
    if (cuts.empty()) return false;
    *out = without(bytes, cuts);
    return true;
  }
  Line l;
  if (findEntry(bytes, sec, k, &l)) {
    if (l.hasValue && l.value == value) return false; // the same value again changes nothing
    *out = bytes.substr(0, l.start);
    out->append(l.name);
    out->append("=").append(value).append("\r\n");
    out->append(bytes, l.end, std::string::npos);
    return true;
  }
  // A new entry goes after the first section's last line that is not
  // blank; a new section at the end of the file.
  std::string entry = std::string(k) + "=" + value + "\r\n";
  bool found = false;
  size_t after = 0;
  bool afterHasEol = true;
  forEachInSection(bytes, sec, [&](const Line &line) {
    if (line.kind == Kind::Header && found) return false;
    found = true;
    if (line.kind != Kind::Blank) {
      after = line.end;
      afterHasEol = line.end > line.textEnd;
    }
    return true;
  });
  if (found) {
    *out = bytes.substr(0, after);
    if (!afterHasEol) out->append("\r\n");
    out->append(entry);
    out->append(bytes, after, std::string::npos);
    return true;
  }
  *out = bytes;
  if (!out->empty() && out->back() != '\n') out->append("\r\n");
  out->append("[").append(sec).append("]\r\n").append(entry);
  return true;
}

BOOL writeString(const char *call, LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
  ensureInit();
  auto fail = [&](DWORD error) {
    setError(error);
    noteProfile(call, fileName, section, key, error);
    return FALSE;
  };
  if (faultHit(w32::Fault::Profile)) return fail(ERROR_ACCESS_DENIED);
  if (!section) {
    if (!key && !value) return TRUE; // "flush the cache": there is none
    return fail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(profileMutex);
  Profile p;
  ResolvedPath r;
  DWORD err = 0;
  if (!load(fileName, &r, &p, &err)) return fail(err);
  if (r.components.empty() || !r.parentExists) return fail(ERROR_PATH_NOT_FOUND);
  struct stat st;
  if (r.exists && stat(r.host.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)))
    return fail(ERROR_ACCESS_DENIED);
  std::string bytes;
  if (!edit(p.bytes, section, key, value, &bytes)) return TRUE;
  p.bytes.clear();
  p.bytes.shrink_to_fit(); // the old and the new file are not both kept longer than needed
  if (bytes.size() > static_cast<size_t>(kProfileCap)) return fail(ERROR_FILE_TOO_LARGE);
  if (r.readOnly) return fail(ERROR_WRITE_PROTECT);
  if (!replaceFileInDrive(r, bytes)) return fail(errnoToWin(errno));
  return TRUE;
}

} // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size,
                                                 LPCSTR fileName) {
  return getString("GetPrivateProfileStringA", section, key, def, out, size, fileName);
}

extern "C" BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
  return writeString("WritePrivateProfileStringA", section, key, value, fileName);
}

extern "C" DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size) {
  return getString("GetProfileStringA", section, key, def, out, size, "win.ini");
}

extern "C" BOOL WINAPI WriteProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value) {
  return writeString("WriteProfileStringA", section, key, value, "win.ini");
}
