// Reading a resource script: a lexer that also carries out the few
// preprocessor lines we allow, then a recursive-descent parser over its
// tokens.  Names that a #define gives a number become number tokens as they
// are read, as the preprocessor would replace them.
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "rc_names.h"
#include "rc_script.h"

namespace rcgen {
namespace {

// Implicit styles, as the resource compiler gives them.
const uint32_t kWsChild = styleValue("WS_CHILD"), kWsVisible = styleValue("WS_VISIBLE");
const uint32_t kWsGroup = styleValue("WS_GROUP"), kWsTabStop = styleValue("WS_TABSTOP");
const uint32_t kWsBorder = styleValue("WS_BORDER"), kWsCaption = styleValue("WS_CAPTION");
const uint32_t kWsPopup = styleValue("WS_POPUP"), kWsSysMenu = styleValue("WS_SYSMENU");
const uint32_t kDsSetFont = styleValue("DS_SETFONT");

enum class Kind { Name, Number, String, Punct, End };

struct Token {
  Kind kind = Kind::End;
  std::string text;   // a name or punctuation as written; a string's value
  int64_t value = 0;  // a number's value
  int line = 0;
};

std::string describe(const Token &t) {
  switch (t.kind) {
    case Kind::End: return "the end of the file";
    case Kind::String: return "a string";
    default: return "'" + t.text + "'";
  }
}

std::string directoryOf(const std::string &path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A file named in the script 'from': relative to its directory.
std::string nextTo(const std::string &from, const std::string &name) {
  return !name.empty() && name[0] == '/' ? name : directoryOf(from) + name;
}

bool readFile(const std::string &path, std::string *out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return false;
  *out = s.str();
  return true;
}

using Macros = std::map<std::string, int64_t>;

class Parser;

class Lexer {
 public:
  // 'definesOnly': an included header, where only preprocessor lines,
  // comments and blank lines may appear.
  Lexer(const std::string &path, Macros &macros, std::vector<std::string> &inputs, bool definesOnly, int depth)
      : path_(path), macros_(macros), inputs_(inputs), definesOnly_(definesOnly), depth_(depth) {}

  void load(const std::string &from, int fromLine) {
    if (!readFile(path_, &src_)) throw ScriptError(from, fromLine, "cannot read " + path_);
    inputs_.push_back(path_);
  }

  // All tokens of the file (preprocessor lines carried out), ending with End.
  std::vector<Token> tokens() {
    std::vector<Token> out;
    for (;;) {
      Token t = next(false);
      if (t.kind == Kind::Punct && t.text == "#") {
        if (!directiveAllowed_) fail(t.line, "'#' must start a line");
        directive(t.line);
        continue;
      }
      if (definesOnly_ && t.kind != Kind::End) fail(t.line, "only #define lines may appear in an included file, found " + describe(t));
      out.push_back(t);
      if (t.kind == Kind::End) return out;
    }
  }

  [[noreturn]] void fail(int line, const std::string &what) const { throw ScriptError(path_, line, what); }

 private:
  int peekChar(size_t ahead = 0) const { return pos_ + ahead < src_.size() ? static_cast<unsigned char>(src_[pos_ + ahead]) : -1; }

  // Skips blanks and comments; with 'inLine', stops at the end of the line.
  void skipSpace(bool inLine) {
    for (;;) {
      int c = peekChar();
      if (c == '\n') {
        if (inLine) return;
        line_++;
        pos_++;
        directiveAllowed_ = true;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        pos_++;
      } else if (c == '/' && peekChar(1) == '/') {
        while (peekChar() != -1 && peekChar() != '\n') pos_++;
      } else if (c == '/' && peekChar(1) == '*') {
        int startLine = line_;
        pos_ += 2;
        while (!(peekChar() == '*' && peekChar(1) == '/')) {
          if (peekChar() == -1) fail(startLine, "comment not closed");
          if (peekChar() == '\n') line_++;
          pos_++;
        }
        pos_ += 2;
      } else {
        return;
      }
    }
  }

  static bool isNameChar(int c) { return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

  Token next(bool inLine) {
    skipSpace(inLine);
    Token t;
    t.line = line_;
    int c = peekChar();
    if (c == -1 || c == '\n') return t;  // End
    bool atLineStart = directiveAllowed_;
    directiveAllowed_ = false;
    if (c == '#') {
      directiveAllowed_ = atLineStart;  // read by tokens()
      pos_++;
      t.kind = Kind::Punct;
      t.text = "#";
      return t;
    }
    if (isNameChar(c) && !(c >= '0' && c <= '9')) {
      size_t start = pos_;
      while (isNameChar(peekChar())) pos_++;
      t.text = src_.substr(start, pos_ - start);
      auto macro = macros_.find(t.text);
      if (macro != macros_.end()) {
        t.kind = Kind::Number;
        t.value = macro->second;
      } else {
        t.kind = Kind::Name;
      }
      return t;
    }
    if (c >= '0' && c <= '9') return number(t);
    if (c == '"') return string(t);
    if (std::string(",|(){}-").find(static_cast<char>(c)) != std::string::npos) {
      pos_++;
      t.kind = Kind::Punct;
      t.text = std::string(1, static_cast<char>(c));
      return t;
    }
    fail(line_, std::string("unexpected character '") + static_cast<char>(c) + "'");
  }

  Token number(Token &t) {
    size_t start = pos_;
    int base = 10;
    if (peekChar() == '0' && (peekChar(1) == 'x' || peekChar(1) == 'X')) {
      base = 16;
      pos_ += 2;
    }
    size_t digits = pos_;
    while (isNameChar(peekChar())) pos_++;
    t.text = src_.substr(start, pos_ - start);
    uint64_t value = 0;
    for (size_t i = digits; i < pos_; i++) {
      int c = src_[i], d = -1;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
      if (d < 0) fail(t.line, "malformed number '" + t.text + "'");
      value = value * base + d;
      if (value > 0xFFFFFFFFu) fail(t.line, "number '" + t.text + "' does not fit in 32 bits");
    }
    if (digits == pos_) fail(t.line, "malformed number '" + t.text + "'");
    t.kind = Kind::Number;
    t.value = static_cast<int64_t>(value);
    return t;
  }

  // "" stands for a quote; \\ \" \n \t are the escapes.
  Token string(Token &t) {
    pos_++;
    t.kind = Kind::String;
    for (;;) {
      int c = peekChar();
      if (c == -1 || c == '\n') fail(t.line, "string not closed on its line");
      pos_++;
      if (c == '"') {
        if (peekChar() != '"') return t;
        pos_++;
        t.text += '"';
      } else if (c == '\\') {
        int e = peekChar();
        pos_++;
        if (e == '\\' || e == '"') t.text += static_cast<char>(e);
        else if (e == 'n') t.text += '\n';
        else if (e == 't') t.text += '\t';
        else fail(t.line, std::string("unknown escape '\\") + static_cast<char>(e) + "' in a string");
      } else {
        t.text += static_cast<char>(c);
      }
    }
  }

  void directive(int line);

  std::string path_;
  Macros &macros_;
  std::vector<std::string> &inputs_;
  bool definesOnly_;
  int depth_;
  std::string src_;
  size_t pos_ = 0;
  int line_ = 1;
  bool directiveAllowed_ = true;  // nothing but blanks since the line began
};

// The parser works on one file's tokens; errors name that file.
class Parser {
 public:
  Parser(std::vector<Token> tokens, const Lexer &lexer, const std::string &path)
      : tokens_(std::move(tokens)), lexer_(lexer), path_(path) {}

  void parseScript(Script &script) {
    while (peek().kind != Kind::End) {
      const Token &first = peek();
      if (isName(first, "STRINGTABLE")) {
        advance();
        stringTable(script);
        continue;
      }
      Token name = advance();
      if (name.kind != Kind::Name && name.kind != Kind::Number) fail(name, "expected a resource name, found " + describe(name));
      Token type = advance();
      if (isName(type, "DIALOG") || isName(type, "DIALOGEX")) {
        dialog(script, name, type.text == "DIALOGEX");
      } else if (isName(type, "BITMAP")) {
        bitmap(script, name);
      } else if (type.kind == Kind::Name) {
        fail(type, "unsupported statement '" + name.text + " " + type.text + "'");
      } else {
        fail(type, "expected DIALOG, DIALOGEX or BITMAP after '" + name.text + "', found " + describe(type));
      }
    }
  }

  // A #define's value: the whole of the token list.
  int64_t wholeExpression() {
    int64_t value = expression();
    if (peek().kind != Kind::End) fail(peek(), "unexpected " + describe(peek()) + " in a #define");
    return value;
  }

 private:
  const Token &peek() const { return tokens_[at_]; }
  Token advance() {
    Token t = tokens_[at_];
    if (at_ + 1 < tokens_.size()) at_++;
    return t;
  }
  static bool isName(const Token &t, const char *name) { return t.kind == Kind::Name && t.text == name; }
  static bool isPunct(const Token &t, const char *p) { return t.kind == Kind::Punct && t.text == p; }
  [[noreturn]] void fail(const Token &t, const std::string &what) const { lexer_.fail(t.line, what); }

  void expect(const char *punct) {
    Token t = advance();
    if (!isPunct(t, punct)) fail(t, std::string("expected '") + punct + "', found " + describe(t));
  }
  std::string quoted(const char *what) {
    Token t = advance();
    if (t.kind != Kind::String) fail(t, std::string("expected ") + what + " in double quotes, found " + describe(t));
    return t.text;
  }

  // term: number | style name | '-' term | '(' expression ')'
  int64_t term() {
    Token t = advance();
    if (t.kind == Kind::Number) return t.value;
    if (isPunct(t, "-")) return -term();
    if (isPunct(t, "(")) {
      int64_t value = expression();
      expect(")");
      return value;
    }
    if (t.kind == Kind::Name) {
      bool found = false;
      uint32_t value = styleValue(t.text, &found);
      if (found) return value;
      fail(t, "unknown name '" + t.text + "'");
    }
    fail(t, "expected a number, found " + describe(t));
  }

  // expression: term ('|' term)*
  int64_t expression() {
    int64_t value = term();
    while (isPunct(peek(), "|")) {
      advance();
      value |= term();
    }
    return value;
  }

  int bounded(int64_t low, int64_t high, const char *what) {
    const Token &t = peek();
    int64_t value = expression();
    if (value < low || value > high) fail(t, std::string(what) + " " + std::to_string(value) + " is out of range");
    return static_cast<int>(value);
  }
  int coordinate() { return bounded(-32768, 32767, "coordinate"); }

  // A style: terms joined by '|' set their bits in 'value', NOT clears them,
  // left to right, so that NOT takes away an implicit style.
  uint32_t style(uint32_t value) {
    for (;;) {
      if (isName(peek(), "NOT")) {
        advance();
        value &= ~static_cast<uint32_t>(term());
      } else {
        value |= static_cast<uint32_t>(term());
      }
      if (!isPunct(peek(), "|")) return value;
      advance();
    }
  }

  bool comma() {
    if (!isPunct(peek(), ",")) return false;
    advance();
    return true;
  }

  void rectangle(int *x, int *y, int *cx, int *cy) {
    *x = coordinate();
    expect(",");
    *y = coordinate();
    expect(",");
    *cx = coordinate();
    expect(",");
    *cy = coordinate();
  }

  void dialog(Script &script, const Token &name, bool extended) {
    Dialog d;
    if (name.kind != Kind::Number) fail(name, "dialog '" + name.text + "' needs a number (or a #define that gives one)");
    if (name.value < 1 || name.value > 65535) fail(name, "dialog number " + std::to_string(name.value) + " is out of range");
    d.id = static_cast<int>(name.value);
    for (const Dialog &other : script.dialogs) {
      if (other.id == d.id) fail(name, "dialog " + std::to_string(d.id) + " is defined twice");
    }
    rectangle(&d.x, &d.y, &d.cx, &d.cy);
    if (extended && comma()) expression();  // help identifier, not kept
    bool styled = false, captioned = false;
    for (;;) {
      Token t = advance();
      if (isName(t, "STYLE")) {
        d.style = style(0);
        styled = true;
      } else if (isName(t, "EXSTYLE")) {
        d.exStyle = style(0);
      } else if (isName(t, "CAPTION")) {
        d.caption = quoted("the caption");
        captioned = true;
      } else if (isName(t, "FONT")) {
        d.fontSize = bounded(1, 32767, "font size");
        expect(",");
        d.fontName = quoted("the font name");
        for (int extra = 0; extra < 3 && comma(); extra++) expression();  // weight, italic, charset
      } else if (isName(t, "BEGIN") || isPunct(t, "{")) {
        controls(d, isPunct(t, "{") ? "}" : "END");
        break;
      } else {
        fail(t, "unsupported in a dialog: " + describe(t));
      }
    }
    if (!styled) d.style = kWsPopup | kWsBorder | kWsSysMenu;
    if (captioned) d.style |= kWsCaption;
    if (!d.fontName.empty()) d.style |= kDsSetFont;
    script.dialogs.push_back(d);
  }

  void controls(Dialog &d, const char *close) {
    for (;;) {
      Token t = advance();
      if ((t.kind == Kind::Name && t.text == close) || (t.kind == Kind::Punct && t.text == close)) return;
      if (t.kind != Kind::Name) fail(t, "expected a control or " + std::string(close) + ", found " + describe(t));
      Control c;
      uint32_t implicit = kWsChild | kWsVisible;
      const std::string &k = t.text;
      if (k == "LTEXT" || k == "CTEXT" || k == "RTEXT") {
        c.className = "STATIC";
        implicit |= styleValue(k == "LTEXT" ? "SS_LEFT" : k == "CTEXT" ? "SS_CENTER" : "SS_RIGHT") | kWsGroup;
      } else if (k == "PUSHBUTTON" || k == "DEFPUSHBUTTON") {
        c.className = "BUTTON";
        implicit |= styleValue(k == "PUSHBUTTON" ? "BS_PUSHBUTTON" : "BS_DEFPUSHBUTTON") | kWsTabStop;
      } else if (k == "EDITTEXT") {
        c.className = "EDIT";
        implicit |= styleValue("ES_LEFT") | kWsBorder | kWsTabStop;
      } else if (k != "CONTROL") {
        fail(t, "unsupported control '" + k + "'");
      }
      if (k != "EDITTEXT") {
        c.text = quoted("the control's text");
        expect(",");
      }
      c.id = bounded(-32768, 65535, "control identifier");
      expect(",");
      if (k == "CONTROL") {
        Token cls = advance();
        if (cls.kind == Kind::String) c.className = cls.text;
        else if (isName(cls, "BUTTON") || isName(cls, "EDIT") || isName(cls, "STATIC")) c.className = cls.text;
        else fail(cls, "expected a class name, found " + describe(cls));
        expect(",");
        c.style = style(implicit);
        expect(",");
        rectangle(&c.x, &c.y, &c.cx, &c.cy);
        if (comma()) c.exStyle = style(0);
      } else {
        rectangle(&c.x, &c.y, &c.cx, &c.cy);
        c.style = comma() ? style(implicit) : implicit;
        if (comma()) c.exStyle = style(0);
      }
      d.controls.push_back(c);
    }
  }

  void stringTable(Script &script) {
    Token open = advance();
    if (!isName(open, "BEGIN") && !isPunct(open, "{")) fail(open, "expected BEGIN after STRINGTABLE, found " + describe(open));
    const char *close = isPunct(open, "{") ? "}" : "END";
    for (;;) {
      const Token &t = peek();
      if ((t.kind == Kind::Name || t.kind == Kind::Punct) && t.text == close) {
        advance();
        return;
      }
      StringEntry s;
      s.id = static_cast<unsigned>(bounded(0, 65535, "string identifier"));
      for (const StringEntry &other : script.strings) {
        if (other.id == s.id) fail(t, "string " + std::to_string(s.id) + " is defined twice");
      }
      comma();
      s.text = quoted("the string");
      script.strings.push_back(s);
    }
  }

  void bitmap(Script &script, const Token &name) {
    if (name.kind != Kind::Name) fail(name, "a bitmap needs a name, not a number");
    for (const Bitmap &other : script.bitmaps) {
      if (other.name == name.text) fail(name, "bitmap " + name.text + " is defined twice");
    }
    Token file = peek();
    Bitmap b;
    b.name = name.text;
    b.path = nextTo(path_, quoted("the file name"));
    std::string bytes;
    if (!readFile(b.path, &bytes)) fail(file, "cannot read " + b.path);
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') fail(file, b.path + " is not a BMP file");
    b.bytes.assign(bytes.begin(), bytes.end());
    script.inputs.push_back(b.path);
    // The picture in words, when a file of its name ending in .txt lies
    // beside it (bmpgen writes one with the welcome picture).
    std::string::size_type dot = b.path.rfind('.');
    if (dot == std::string::npos || b.path.find('/', dot) != std::string::npos) dot = b.path.size();
    std::string words = b.path.substr(0, dot) + ".txt";
    if (words != b.path && access(words.c_str(), F_OK) == 0) {
      if (!readFile(words, &b.words)) fail(file, "cannot read " + words);
      b.hasWords = true;
      script.inputs.push_back(words);
    }
    script.bitmaps.push_back(b);
  }

  std::vector<Token> tokens_;
  size_t at_ = 0;
  const Lexer &lexer_;
  std::string path_;
};

void Lexer::directive(int line) {
  Token name = next(true);
  if (name.kind != Kind::Name) fail(line, "expected a directive after '#', found " + describe(name));
  const std::string &d = name.text;
  if (d == "include") {
    skipSpace(true);
    int open = peekChar();
    char close = open == '<' ? '>' : '"';
    if (open != '<' && open != '"') fail(line, "expected \"file\" or <file> after #include");
    size_t start = ++pos_;
    while (peekChar() != close) {
      if (peekChar() == -1 || peekChar() == '\n') fail(line, "#include file name not closed");
      pos_++;
    }
    std::string file = src_.substr(start, pos_ - start);
    pos_++;
    Token rest = next(true);
    if (rest.kind != Kind::End) fail(line, "unexpected " + describe(rest) + " after #include");
    if (open == '<') return;  // system headers: the names we need are built in
    if (depth_ >= 8) fail(line, "#include nested too deeply");
    Lexer header(nextTo(path_, file), macros_, inputs_, true, depth_ + 1);
    header.load(path_, line);
    header.tokens();
  } else if (d == "define") {
    Token macro = next(true);  // a name already defined comes back as a number
    bool isName = !macro.text.empty() && !(macro.text[0] >= '0' && macro.text[0] <= '9');
    if (macro.kind == Kind::Punct || macro.kind == Kind::String || !isName) fail(line, "expected a name after #define, found " + describe(macro));
    if (peekChar() == '(') fail(line, "#define " + macro.text + "(...): macros with parameters are not supported");
    std::vector<Token> value;
    for (Token t = next(true); t.kind != Kind::End; t = next(true)) value.push_back(t);
    if (value.empty()) fail(line, "#define " + macro.text + " without a value is not supported");
    value.push_back(Token{Kind::End, "", 0, line});
    int64_t number = Parser(value, *this, path_).wholeExpression();
    auto known = macros_.find(macro.text);
    if (known != macros_.end() && known->second != number) fail(line, macro.text + " is defined again with another value");
    macros_[macro.text] = number;
  } else if (d == "if" || d == "ifdef" || d == "ifndef" || d == "elif" || d == "else" || d == "endif") {
    fail(line, "#" + d + ": conditional lines (#if, #ifdef) are not supported");
  } else {
    fail(line, "unsupported directive #" + d);
  }
}

}  // namespace

Script parseScript(const std::string &path) {
  Script script;
  Macros macros;
  Lexer lexer(path, macros, script.inputs, false, 0);
  lexer.load(path, 0);
  Parser parser(lexer.tokens(), lexer, path);
  parser.parseScript(script);
  return script;
}

}  // namespace rcgen
