// The REGEDIT4 writer and reader. Neither recurses: a key tree is walked with a
// stack of its own, so no depth of the store runs the program out of stack.
#include "tools/regfile.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kv/plat.h"
#include "kvplatform.h"

namespace regfile {
namespace {

const char kHeader[] = "REGEDIT4";
const char kEol[] = "\r\n";
// Hex data is wrapped once a line reaches this many columns, as the platform's
// editor does; continuation lines start with two blanks.
const size_t kHexWrapColumn = 77;

struct Root {
  const char* name;
  const char* shortName;
  HKEY key;
};
const Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
};

// A name the file format cannot carry: a NUL ends it early, and a line break
// ends its line.
bool unwritable(const std::string& name) { return name.find_first_of(std::string("\0\r\n", 3)) != std::string::npos; }

// A key path as written: its root and the names below it, joined again with
// single backslashes.
struct KeyPath {
  const Root* root = nullptr;
  std::string below;
  std::string shown() const { return below.empty() ? root->name : std::string(root->name) + "\\" + below; }
};

// Reads "ROOT\name\name..."; one backslash at its end is allowed. Answers why
// the path is refused, or "".
std::string parseKeyPath(const std::string& text, KeyPath& out) {
  if (unwritable(text)) return "a key name holding a NUL, CR or LF";
  std::vector<std::string> names;
  for (size_t pos = 0;;) {
    size_t slash = text.find('\\', pos);
    names.push_back(text.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos));
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  if (names.size() > 1 && names.back().empty()) names.pop_back();
  out.root = nullptr;
  for (const Root& r : kRoots)
    if (strcasecmp(names[0].c_str(), r.name) == 0 || strcasecmp(names[0].c_str(), r.shortName) == 0) out.root = &r;
  if (!out.root) return "not a known root";
  if (names.size() - 1 > kMaxDepth) return "more than " + std::to_string(kMaxDepth) + " levels below its root";
  out.below.clear();
  for (size_t i = 1; i < names.size(); ++i) {
    if (names[i].empty()) return "an empty key name";
    if (names[i].size() > kMaxKeyName) return "a key name longer than " + std::to_string(kMaxKeyName) + " characters";
    out.below += (i > 1 ? "\\" : "") + names[i];
  }
  return std::string();
}

// A key path as a message shows it: up to a name the file cannot carry, and
// not without end.
std::string shownAsWritten(const std::string& text) {
  const size_t kShown = 80;
  size_t cut = std::min(text.find_first_of(std::string("\0\r\n", 3)), kShown);
  return cut >= text.size() ? text : text.substr(0, cut) + "...";
}

std::string describe(LSTATUS st) {
  if (st == ERROR_REGISTRY_CORRUPT) return "the registry store " + storePath() + " is damaged";
  return "error " + std::to_string(st);
}

// ---- export ----------------------------------------------------------------------

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A REG_SZ that can be written as a quoted string and read back the same: one
// terminator at its end, none before it, and no line break.
bool isPlainString(const std::string& data) {
  return !data.empty() && data.back() == '\0' && data.find_first_of(std::string("\r\n\0", 3)) == data.size() - 1;
}

void appendHex(std::string& line, DWORD type, const std::string& data) {
  char prefix[16];
  snprintf(prefix, sizeof prefix, type == REG_BINARY ? "hex:" : "hex(%x):", type);
  line += prefix;
  size_t column = line.size();
  for (size_t i = 0; i < data.size(); ++i) {
    char digits[4];
    snprintf(digits, sizeof digits, "%02x", (unsigned char)data[i]);
    line += digits;
    if (i + 1 == data.size()) break;
    line += ',';
    column += 3;
    if (column >= kHexWrapColumn) {
      line += "\\";
      line += kEol;
      line += "  ";
      column = 2;
    }
  }
}

std::string valueLine(const std::string& name, DWORD type, const std::string& data) {
  std::string line = name.empty() ? "@=" : quoted(name) + "=";
  if (type == REG_SZ && isPlainString(data)) {
    line += quoted(data.substr(0, data.size() - 1));
  } else if (type == REG_DWORD && data.size() == 4) {
    DWORD v;
    memcpy(&v, data.data(), 4);
    char text[16];
    snprintf(text, sizeof text, "dword:%08x", v);
    line += text;
  } else {
    appendHex(line, type, data);
  }
  return line + kEol;
}

// A key being written: its open handle, its path as shown, and its subkeys,
// of which those before `next` are written already.
struct Frame {
  HKEY key = nullptr;
  std::string path;
  std::vector<std::string> subkeys;
  size_t next = 0;
};

class Exporter {
 public:
  explicit Exporter(const Sink& write) : write_(write) {}
  ~Exporter() {
    for (Frame& f : stack_) RegCloseKey(f.key);
  }

  // The key and its subtree, each key before its subkeys, subkeys in the
  // order the registry lists them.
  bool run(HKEY parent, const std::string& below, const std::string& shownPath) {
    if (!enter(parent, below, shownPath)) return false;
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      if (top.next == top.subkeys.size()) {
        RegCloseKey(top.key);
        stack_.pop_back();
        continue;
      }
      std::string name = top.subkeys[top.next++];
      if (!enter(top.key, name, top.path + "\\" + name)) return false;
    }
    return true;
  }

  std::string error;

 private:
  bool fail(const std::string& message) {
    if (error.empty()) error = message;
    return false;
  }

  // Opens a key, writes its section and lists its subkeys onto the stack.
  bool enter(HKEY parent, const std::string& below, const std::string& path) {
    Frame frame;
    frame.path = path;
    LSTATUS st = RegOpenKeyExA(parent, below.c_str(), 0, KEY_READ, &frame.key);
    if (st != ERROR_SUCCESS) return fail("cannot open " + path + ": " + describe(st));
    stack_.push_back(frame);
    return writeValues(frame.key, path) && listSubkeys(stack_.back());
  }

  bool writeValues(HKEY key, const std::string& path) {
    DWORD maxName = 0, maxData = 0;
    LSTATUS st = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                  &maxData, nullptr, nullptr);
    if (st != ERROR_SUCCESS) return fail("cannot read " + path + ": " + describe(st));
    std::string text = "[" + path + "]" + kEol;
    std::vector<char> name(maxName + 1);
    std::vector<BYTE> data(maxData + 1);
    for (DWORD i = 0;; ++i) {
      DWORD cchName = (DWORD)name.size(), cbData = (DWORD)data.size(), type = 0;
      st = RegEnumValueA(key, i, name.data(), &cchName, nullptr, &type, data.data(), &cbData);
      if (st == ERROR_NO_MORE_ITEMS) break;
      if (st != ERROR_SUCCESS) return fail("cannot read a value of " + path + ": " + describe(st));
      std::string valueName(name.data(), cchName);
      if (unwritable(valueName)) return fail("value name with a line break in " + path);
      text += valueLine(valueName, type, std::string(reinterpret_cast<char*>(data.data()), cbData));
    }
    text += kEol;
    return write_(text) || fail("cannot write the file");
  }

  bool listSubkeys(Frame& f) {
    for (DWORD i = 0;; ++i) {
      char subkey[kMaxKeyName + 1];
      DWORD cch = sizeof subkey;
      LSTATUS st = RegEnumKeyExA(f.key, i, subkey, &cch, nullptr, nullptr, nullptr, nullptr);
      if (st == ERROR_NO_MORE_ITEMS) return true;
      if (st != ERROR_SUCCESS) return fail("cannot list the subkeys of " + f.path + ": " + describe(st));
      if (unwritable(subkey)) return fail("key name with a line break below " + f.path);
      f.subkeys.push_back(subkey);
    }
  }

  const Sink& write_;
  std::vector<Frame> stack_;
};

// ---- import ----------------------------------------------------------------------

// Deletes a key and everything below it, deepest keys first; a missing key is
// already deleted. Never a root: `below` names a key under it.
LSTATUS deleteTree(HKEY root, const std::string& below) {
  if (below.empty()) return ERROR_ACCESS_DENIED;
  struct Open {
    HKEY parent, key;
    std::string name;
  };
  std::vector<Open> stack;
  HKEY key = nullptr;
  LSTATUS st = RegOpenKeyExA(root, below.c_str(), 0, KEY_READ, &key);
  if (st == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (st != ERROR_SUCCESS) return st;
  stack.push_back({root, key, below});
  // The first subkey of the deepest open key is opened in turn until a key
  // without subkeys is reached; that one goes, and its parent is listed again.
  while (st == ERROR_SUCCESS && !stack.empty()) {
    Open& top = stack.back();
    char subkey[kMaxKeyName + 1];
    DWORD cch = sizeof subkey;
    st = RegEnumKeyExA(top.key, 0, subkey, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_SUCCESS) {
      HKEY child = nullptr;
      st = RegOpenKeyExA(top.key, subkey, 0, KEY_READ, &child);
      if (st == ERROR_SUCCESS) stack.push_back({top.key, child, subkey});
    } else if (st == ERROR_NO_MORE_ITEMS) {
      Open done = top;
      stack.pop_back();
      RegCloseKey(done.key);
      st = RegDeleteKeyA(done.parent, done.name.c_str());
    }
  }
  for (Open& o : stack) RegCloseKey(o.key);
  return st;
}

// Reads a quoted string at text[pos] (the opening quote), unescaping \\ and \".
bool readQuoted(const std::string& text, size_t& pos, std::string& out) {
  out.clear();
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= text.size() || (text[pos] != '\\' && text[pos] != '"')) return false;
      c = text[pos];
    }
    out += c;
  }
  return false;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool onlyBlanks(const std::string& text, size_t from) {
  return text.find_first_not_of(" \t", from) == std::string::npos;
}

// "xx,xx,..." with optional blanks, possibly empty.
bool readHexBytes(const std::string& text, size_t pos, std::string& out) {
  out.clear();
  for (;;) {
    pos = text.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return true;
    if (pos + 1 >= text.size() || hexDigit(text[pos]) < 0 || hexDigit(text[pos + 1]) < 0) return false;
    out += (char)(hexDigit(text[pos]) * 16 + hexDigit(text[pos + 1]));
    pos = text.find_first_not_of(" \t", pos + 2);
    if (pos == std::string::npos) return true;
    if (text[pos] != ',') return false;
    ++pos;
  }
}

// Parses the data after '=': a string, dword:, hex: or hex(N):.
bool readData(const std::string& text, size_t pos, DWORD& type, std::string& data) {
  if (text[pos] == '"') {
    type = REG_SZ;
    if (!readQuoted(text, pos, data) || !onlyBlanks(text, pos)) return false;
    data += '\0';
    return true;
  }
  if (text.compare(pos, 6, "dword:") == 0) {
    std::string digits = text.substr(pos + 6);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t')) digits.pop_back();
    if (digits.empty() || digits.size() > 8) return false;
    DWORD v = 0;
    for (char c : digits) {
      if (hexDigit(c) < 0) return false;
      v = v * 16 + (DWORD)hexDigit(c);
    }
    type = REG_DWORD;
    data.assign(reinterpret_cast<const char*>(&v), 4);
    return true;
  }
  if (text.compare(pos, 4, "hex:") == 0) {
    type = REG_BINARY;
    return readHexBytes(text, pos + 4, data);
  }
  if (text.compare(pos, 4, "hex(") == 0) {
    size_t close = text.find("):", pos);
    if (close == std::string::npos || close == pos + 4) return false;
    if (close - (pos + 4) > 8) return false;
    type = 0;
    for (size_t i = pos + 4; i < close; ++i) {
      if (hexDigit(text[i]) < 0) return false;
      type = type * 16 + (DWORD)hexDigit(text[i]);
    }
    return readHexBytes(text, close + 2, data);
  }
  return false;
}

class Importer {
 public:
  Importer(const std::string& fileName, const std::function<void(const std::string&)>& report)
      : fileName_(fileName), report_(report) {}
  ~Importer() { closeKey(); }

  // Carries out every line it can; answers the number of lines that failed.
  int run(const std::vector<std::string>& lines, const std::vector<int>& numbers) {
    if (lines.empty() || lines[0] != kHeader) {
      report(numbers.empty() ? 1 : numbers[0], "not a REGEDIT4 file");
      return failures_;
    }
    for (size_t i = 1; i < lines.size(); ++i) line(lines[i], numbers[i]);
    return failures_;
  }

 private:
  void report(int number, const std::string& message) {
    report_(fileName_ + ":" + std::to_string(number) + ": " + message);
    ++failures_;
  }

  void closeKey() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

  void line(const std::string& text, int number) {
    if (text.empty() || text[0] == ';') return;
    if (text[0] == '[') return section(text, number);
    if (text[0] == '"' || text[0] == '@') return value(text, number);
    report(number, "not a key, a value or a comment");
  }

  // A refused section leaves no key open, so its values are refused too.
  void section(const std::string& text, int number) {
    closeKey();
    size_t close = text.rfind(']');
    if (close == std::string::npos || !onlyBlanks(text, close + 1)) return report(number, "unterminated key name");
    bool remove = text[1] == '-';
    std::string written = text.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
    KeyPath path;
    std::string why = parseKeyPath(written, path);
    if (!why.empty()) return report(number, shownAsWritten(written) + ": " + why);
    if (remove && path.below.empty()) return report(number, "cannot delete " + path.shown() + ": a root key stays");
    LSTATUS st = remove ? deleteTree(path.root->key, path.below)
                        : RegCreateKeyExA(path.root->key, path.below.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                          &key_, nullptr);
    if (st != ERROR_SUCCESS)
      report(number, std::string(remove ? "cannot delete " : "cannot create ") + path.shown() + ": " + describe(st));
  }

  void value(const std::string& text, int number) {
    if (!key_) return report(number, "a value outside a key");
    size_t pos = 0;
    std::string name;
    if (text[0] == '@') {
      pos = 1;
    } else if (!readQuoted(text, pos, name)) {
      return report(number, "bad value name");
    }
    if (unwritable(name)) return report(number, "a value name holding a NUL, CR or LF");
    if (pos >= text.size() || text[pos] != '=' || pos + 1 >= text.size()) return report(number, "no '=' and data");
    ++pos;
    if (text[pos] == '-' && onlyBlanks(text, pos + 1)) {
      LSTATUS st = RegDeleteValueA(key_, name.c_str());
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) report(number, "cannot delete value: " + describe(st));
      return;
    }
    DWORD type;
    std::string data;
    if (!readData(text, pos, type, data)) return report(number, "bad value data");
    LSTATUS st =
        RegSetValueExA(key_, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()), (DWORD)data.size());
    if (st != ERROR_SUCCESS) report(number, "cannot set value: " + describe(st));
  }

  std::string fileName_;
  const std::function<void(const std::string&)>& report_;
  HKEY key_ = nullptr;
  int failures_ = 0;
};

// The file's logical lines and the number each starts on: line ends are CRLF or
// LF, and a line ending in '\' goes on, without leading blanks, on the next.
void splitLines(const std::string& text, std::vector<std::string>& lines, std::vector<int>& numbers) {
  bool continued = false;
  int number = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (continued) {
      size_t start = line.find_first_not_of(" \t");
      lines.back() += start == std::string::npos ? std::string() : line.substr(start);
    } else {
      lines.push_back(line);
      numbers.push_back(number);
    }
    std::string& last = lines.back();
    continued = !last.empty() && last[0] != '[' && last.back() == '\\';
    if (continued) last.pop_back();
  }
}

}  // namespace

std::string storePath() {
  char path[4096];
  return platRegistryStorePath(path, sizeof path) ? path : platMachineRoot();
}

bool exportTree(const std::string& keyPath, const Sink& write, std::string& error) {
  KeyPath path;
  std::string why = parseKeyPath(keyPath, path);
  if (!why.empty()) {
    error = shownAsWritten(keyPath) + ": " + why;
    return false;
  }
  Exporter exporter(write);
  if (!write(std::string(kHeader) + kEol + kEol)) {
    error = "cannot write the file";
    return false;
  }
  bool ok = exporter.run(path.root->key, path.below, path.shown());
  if (!ok) error = exporter.error;
  return ok;
}

int importText(const std::string& text, const std::string& fileName,
               const std::function<void(const std::string&)>& report) {
  std::vector<std::string> lines;
  std::vector<int> numbers;
  splitLines(text, lines, numbers);
  return Importer(fileName, report).run(lines, numbers);
}

}  // namespace regfile
