// The transcript's lines (lines.h).
#include "lines.h"

#include <cstdio>

namespace qva {

const char *resultText(int code) {
  switch (code) {
  case kResultInstalled: return "installed";
  case kResultCancelled: return "cancelled";
  case kResultUsage: return "answer file or usage error";
  case kResultWithErrors: return "installed with errors";
  case kResultNotStarted: return "not started";
  case kResultHungUp: return "hung up";
  case kResultInterrupted: return "interrupted";
  case kResultTerminated: return "terminated";
  default: return "unknown";
  }
}

std::string quote(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '"': out += "\\\""; break;
    case '\r': out += "\\r"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    default:
      if (u < 32 || u >= 127) {
        char buf[8];
        snprintf(buf, sizeof buf, "\\x%02X", u);
        out += buf;
      } else {
        out += c;
      }
    }
  }
  return out + "\"";
}

const char *iconName(unsigned type) {
  switch (type & kMbIconMask) {
  case kMbIconError: return "MB_ICONERROR";
  case kMbIconQuestion: return "MB_ICONQUESTION";
  case kMbIconWarning: return "MB_ICONWARNING";
  case kMbIconInformation: return "MB_ICONINFORMATION";
  case 0: return "none";
  default: return "unknown";
  }
}

const char *buttonsName(unsigned type) {
  switch (type & kMbTypeMask) {
  case kMbOk: return "MB_OK";
  case kMbOkCancel: return "MB_OKCANCEL";
  case kMbAbortRetryIgnore: return "MB_ABORTRETRYIGNORE";
  case kMbYesNoCancel: return "MB_YESNOCANCEL";
  case kMbYesNo: return "MB_YESNO";
  case kMbRetryCancel: return "MB_RETRYCANCEL";
  default: return "unknown";
  }
}

const char *buttonName(int id) {
  static const char *const names[] = {"none", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};
  return id >= kIdOk && id <= kIdNo ? names[id] : names[0];
}

void boxButtons(unsigned type, std::vector<int> *ids, int *escape) {
  switch (type & kMbTypeMask) {
  case kMbOkCancel: *ids = {kIdOk, kIdCancel}; *escape = kIdCancel; break;
  case kMbAbortRetryIgnore: *ids = {kIdAbort, kIdRetry, kIdIgnore}; *escape = 0; break;
  case kMbYesNoCancel: *ids = {kIdYes, kIdNo, kIdCancel}; *escape = kIdCancel; break;
  case kMbYesNo: *ids = {kIdYes, kIdNo}; *escape = 0; break;
  case kMbRetryCancel: *ids = {kIdRetry, kIdCancel}; *escape = kIdCancel; break;
  default: *ids = {kIdOk}; *escape = kIdOk; break;
  }
}

namespace {
std::string edits(const std::vector<EditField> &fields) {
  std::string out;
  for (const EditField &f : fields) out += " edit" + std::to_string(f.id) + "=" + quote(f.text);
  return out;
}
}  // namespace

std::string messageLine(const std::string &caption, const std::string &text, unsigned type) {
  return "message caption=" + quote(caption) + " text=" + quote(text) + " icon=" + iconName(type) +
         " buttons=" + buttonsName(type);
}

std::string dialogShowLine(int id, const std::string &caption, const std::vector<EditField> &fields) {
  return "dialog id=" + std::to_string(id) + " event=show caption=" + quote(caption) + edits(fields);
}

std::string dialogPressLine(int id, int control, const std::vector<EditField> &fields) {
  return "dialog id=" + std::to_string(id) + " event=press control=" + std::to_string(control) + edits(fields);
}

std::string dialogEndLine(int id) { return "dialog id=" + std::to_string(id) + " event=end"; }

std::string dialogEvent(int id, const std::string &caption) {
  return "dialog id=" + std::to_string(id) + " caption=" + quote(caption);
}

std::string progressLine(int pos) { return "progress pos=" + std::to_string(pos); }
std::string statusLine(const std::string &text) { return "status text=" + quote(text); }
std::string execLine(const std::string &commandLine) { return "exec cmdline=" + quote(commandLine); }
std::string waitLine(const std::string &text) { return "wait text=" + quote(text); }
std::string errorLine(const std::string &text) { return "error text=" + quote(text); }

std::string resultLine(int code) { return "result code=" + std::to_string(code) + " text=" + quote(resultText(code)); }

std::string failedLine(const char *kind, const char *call, const std::string &what, unsigned long error,
                       const std::string &why) {
  return std::string("failed kind=") + kind + " call=" + call + " " + what + " error=" + std::to_string(error) +
         " text=" + quote(why);
}

}  // namespace qva
