// The profile API: GetProfileStringA, WriteProfileStringA (WIN.INI in the
// Windows directory), GetPrivateProfileStringA, WritePrivateProfileStringA.
//
// The file is read on every call and kept as its lines; a write changes only
// the lines it must and writes the file back whole (a temporary file renamed
// over it).  Lines of a profile file:
//   [name]        a section header (name between '[' and the last ']')
//   name=value    an entry; name and value trimmed of blanks
//   name          an entry without a value (listed, but reads as missing)
//   ;text         a comment; blank lines are kept as they are
// Lines before the first header belong to no section.  Names compare
// without regard to ASCII case, after trimming.  A section name that occurs
// more than once is one section: lookups take the first match in file order.
#include "w32_internal.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

using namespace w32int;

namespace {

std::mutex profileMutex; // one profile call at a time in this process

bool isBlank(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u == ' ' || u == '\t' || u == '\r' || u == '\n' || u == '\v' || u == '\f' || u == 0x1A;
}

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

enum class Kind { Blank, Comment, Header, Entry };

struct Line {
  std::string text; // without its line end
  std::string eol;  // "\r\n", "\n" or "" (the last line of a file without one)
  Kind kind = Kind::Blank;
  std::string name;  // header or entry name, trimmed
  std::string value; // entry value, trimmed
  bool hasValue = false;
};

void classify(Line *l) {
  std::string t = trim(l->text);
  l->name.clear();
  l->value.clear();
  l->hasValue = false;
  if (t.empty()) {
    l->kind = Kind::Blank;
  } else if (t[0] == ';') {
    l->kind = Kind::Comment;
  } else if (t[0] == '[' && t.rfind(']') != std::string::npos && t.rfind(']') > 0) {
    l->kind = Kind::Header;
    l->name = trim(t.substr(1, t.rfind(']') - 1));
  } else {
    l->kind = Kind::Entry;
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
      l->name = t;
    } else {
      l->name = trim(t.substr(0, eq));
      l->value = trim(t.substr(eq + 1));
      l->hasValue = true;
    }
  }
}

struct Profile {
  std::vector<Line> lines;
  bool exists = false;
};

Profile parse(const std::string &bytes, bool exists) {
  Profile p;
  p.exists = exists;
  size_t i = 0;
  while (i < bytes.size()) {
    size_t nl = bytes.find('\n', i);
    Line l;
    if (nl == std::string::npos) {
      l.text = bytes.substr(i);
      i = bytes.size();
    } else {
      size_t end = nl;
      if (end > i && bytes[end - 1] == '\r') --end;
      l.text = bytes.substr(i, end - i);
      l.eol = bytes.substr(end, nl + 1 - end);
      i = nl + 1;
    }
    classify(&l);
    p.lines.push_back(std::move(l));
  }
  return p;
}

std::string serialise(const Profile &p) {
  std::string out;
  for (const Line &l : p.lines) out += l.text + l.eol;
  return out;
}

// Reads the file behind a profile name.  False (with *err) when the name
// cannot be mapped; a missing file is an empty profile.
bool load(const char *fileName, ResolvedPath *r, Profile *p, DWORD *err) {
  if (!profileHostPath(fileName, r, err)) return false;
  std::ifstream in(r->host, std::ios::binary);
  struct stat st;
  if (!r->exists || !in || stat(r->host.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    *p = Profile();
    return true;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  *p = parse(ss.str(), true);
  return true;
}

// The lines [first, end) of every section with that name.
template <typename F> void forEachSection(const Profile &p, const std::string &section, F f) {
  for (size_t i = 0; i < p.lines.size(); ++i) {
    if (p.lines[i].kind != Kind::Header || !equalsNoCase(p.lines[i].name, section)) continue;
    size_t end = i + 1;
    while (end < p.lines.size() && p.lines[end].kind != Kind::Header) ++end;
    f(i, end);
    i = end - 1;
  }
}

// Index of the first entry with that name in a section of that name, or -1.
long findEntry(const Profile &p, const std::string &section, const std::string &key) {
  long found = -1;
  forEachSection(p, section, [&](size_t header, size_t end) {
    for (size_t j = header + 1; j < end && found < 0; ++j) {
      if (p.lines[j].kind == Kind::Entry && equalsNoCase(p.lines[j].name, key)) found = static_cast<long>(j);
    }
  });
  return found;
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

DWORD getString(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size, LPCSTR fileName) {
  ensureInit();
  bool failed = faultHit(w32::Fault::Profile);
  if (!out || size == 0) return 0;
  std::lock_guard<std::mutex> lock(profileMutex);
  Profile p;
  ResolvedPath r;
  DWORD err = 0;
  if (failed) {
    setError(ERROR_ACCESS_DENIED); // read as an unreadable file: nothing found
  } else if (!load(fileName, &r, &p, &err)) {
    setError(err);
  } else if (!p.exists) {
    setError(ERROR_FILE_NOT_FOUND);
  }

  if (!section) { // the names of all sections
    std::vector<std::string> names;
    for (const Line &l : p.lines) {
      if (l.kind != Kind::Header || l.name.empty()) continue;
      bool seen = false;
      for (const std::string &n : names) seen = seen || equalsNoCase(n, l.name);
      if (!seen) names.push_back(l.name);
    }
    return copyList(names, out, size);
  }
  std::string sec = trim(section);
  if (!key) { // the names of the section's keys, or the default
    std::vector<std::string> names;
    forEachSection(p, sec, [&](size_t header, size_t end) {
      for (size_t j = header + 1; j < end; ++j) {
        if (p.lines[j].kind != Kind::Entry || p.lines[j].name.empty()) continue;
        bool seen = false;
        for (const std::string &n : names) seen = seen || equalsNoCase(n, p.lines[j].name);
        if (!seen) names.push_back(p.lines[j].name);
      }
    });
    if (!names.empty()) return copyList(names, out, size);
    return copyText(trimDefault(def), out, size);
  }
  long i = findEntry(p, sec, trim(key));
  if (i >= 0 && p.lines[static_cast<size_t>(i)].hasValue) {
    return copyText(unquote(p.lines[static_cast<size_t>(i)].value), out, size);
  }
  return copyText(trimDefault(def), out, size);
}

BOOL writeString(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
  ensureInit();
  if (faultHit(w32::Fault::Profile)) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!section) {
    if (!key && !value) return TRUE; // "flush the cache": there is none
    setError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(profileMutex);
  Profile p;
  ResolvedPath r;
  DWORD err = 0;
  if (!load(fileName, &r, &p, &err)) {
    setError(err);
    return FALSE;
  }
  if (r.components.empty() || !r.parentExists) {
    setError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct stat st;
  if (r.exists && stat(r.host.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR))) {
    setError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::string sec = trim(section);
  bool changed = false;

  if (!key) { // delete every section of that name, header to next header
    std::vector<Line> kept;
    bool dropping = false;
    for (Line &l : p.lines) {
      if (l.kind == Kind::Header) dropping = equalsNoCase(l.name, sec);
      if (dropping) {
        changed = true;
      } else {
        kept.push_back(std::move(l));
      }
    }
    p.lines.swap(kept);
  } else if (!value) { // delete the key wherever the section has it
    std::string k = trim(key);
    std::vector<bool> drop(p.lines.size(), false);
    forEachSection(p, sec, [&](size_t header, size_t end) {
      for (size_t j = header + 1; j < end; ++j) {
        if (p.lines[j].kind == Kind::Entry && equalsNoCase(p.lines[j].name, k)) drop[j] = true;
      }
    });
    std::vector<Line> kept;
    for (size_t j = 0; j < p.lines.size(); ++j) {
      if (drop[j]) {
        changed = true;
      } else {
        kept.push_back(std::move(p.lines[j]));
      }
    }
    p.lines.swap(kept);
  } else {
    std::string k = trim(key);
    long i = findEntry(p, sec, k);
    if (i >= 0) {
      Line &l = p.lines[static_cast<size_t>(i)];
      std::string text = l.name + "=" + value;
      if (!l.hasValue || l.value != value) { // the same value again changes nothing
        l.text = text;
        l.eol = "\r\n";
        classify(&l);
        changed = true;
      }
    } else {
      Line entry;
      entry.text = k + "=" + value;
      entry.eol = "\r\n";
      classify(&entry);
      long insertAt = -1;
      forEachSection(p, sec, [&](size_t header, size_t end) {
        if (insertAt >= 0) return;
        // After the section's last line that is not blank.
        size_t last = header;
        for (size_t j = header + 1; j < end; ++j) {
          if (p.lines[j].kind != Kind::Blank) last = j;
        }
        insertAt = static_cast<long>(last) + 1;
      });
      if (insertAt >= 0) {
        Line &before = p.lines[static_cast<size_t>(insertAt) - 1];
        if (before.eol.empty()) before.eol = "\r\n";
        p.lines.insert(p.lines.begin() + insertAt, entry);
      } else { // a new section at the end of the file
        if (!p.lines.empty() && p.lines.back().eol.empty()) p.lines.back().eol = "\r\n";
        Line header;
        header.text = "[" + sec + "]";
        header.eol = "\r\n";
        classify(&header);
        p.lines.push_back(header);
        p.lines.push_back(entry);
      }
      changed = true;
    }
  }

  if (!changed) return TRUE;
  if (!replaceHostFile(r.host, serialise(p))) {
    setError(errnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

} // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size,
                                                 LPCSTR fileName) {
  return getString(section, key, def, out, size, fileName);
}

extern "C" BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
  return writeString(section, key, value, fileName);
}

extern "C" DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size) {
  return getString(section, key, def, out, size, "win.ini");
}

extern "C" BOOL WINAPI WriteProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value) {
  return writeString(section, key, value, "win.ini");
}
