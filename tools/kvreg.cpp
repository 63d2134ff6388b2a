// kvreg: the machine's registry as text. "export" writes a key and everything
// below it in the platform's registry file format (REGEDIT4); "import" carries
// out such a file: keys to create, values to set, and [-KEY] and "name"=-
// deletions. Every value survives the round trip byte for byte.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "kv/plat.h"
#include "kvplatform.h"

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

// Splits "ROOT\sub\key" into its root and the path below it.
bool splitKeyPath(const std::string& text, const Root*& root, std::string& below) {
  size_t slash = text.find('\\');
  std::string first = text.substr(0, slash);
  below = slash == std::string::npos ? std::string() : text.substr(slash + 1);
  for (const Root& r : kRoots) {
    if (strcasecmp(first.c_str(), r.name) == 0 || strcasecmp(first.c_str(), r.shortName) == 0) {
      root = &r;
      return true;
    }
  }
  return false;
}

std::string joinPath(const std::string& a, const std::string& b) { return b.empty() ? a : a + "\\" + b; }

std::string storePath() {
  char path[4096];
  return platRegistryStorePath(path, sizeof path) ? path : platMachineRoot();
}

std::string describe(LSTATUS st) {
  if (st == ERROR_REGISTRY_CORRUPT) return "the registry store " + storePath() + " is damaged";
  return "error " + std::to_string(st);
}

// Tells, before anything is read or written, that the registry store is
// damaged; true then.
bool storeDamaged() {
  if (RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_REGISTRY_CORRUPT)
    return false;
  fprintf(stderr,
          "kvreg: the registry store is damaged: %s\n"
          "kvreg: nothing was read or written. \"kvmachine renew-registry\" puts the damaged store aside\n"
          "kvreg: (beside it) and starts a new, empty one.\n",
          storePath().c_str());
  return true;
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

class Exporter {
 public:
  explicit Exporter(FILE* out) : out_(out) {}

  bool exportKey(HKEY parent, const std::string& below, const std::string& shownPath) {
    HKEY key = nullptr;
    LSTATUS st = RegOpenKeyExA(parent, below.c_str(), 0, KEY_READ, &key);
    if (st != ERROR_SUCCESS) return fail("cannot open " + shownPath + ": " + describe(st));
    bool ok = keyBody(key, shownPath);
    RegCloseKey(key);
    return ok;
  }

  std::string error;

 private:
  bool fail(const std::string& message) {
    if (error.empty()) error = message;
    return false;
  }

  static bool writable(const std::string& name) { return name.find_first_of("\r\n") == std::string::npos; }

  bool keyBody(HKEY key, const std::string& path) {
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
      if (!writable(valueName)) return fail("value name with a line break in " + path);
      text += valueLine(valueName, type, std::string(reinterpret_cast<char*>(data.data()), cbData));
    }
    text += kEol;
    if (fwrite(text.data(), 1, text.size(), out_) != text.size()) return fail("cannot write the file");

    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
      char subkey[256];
      DWORD cch = sizeof subkey;
      st = RegEnumKeyExA(key, i, subkey, &cch, nullptr, nullptr, nullptr, nullptr);
      if (st == ERROR_NO_MORE_ITEMS) break;
      if (st != ERROR_SUCCESS) return fail("cannot list the subkeys of " + path + ": " + describe(st));
      if (!writable(subkey)) return fail("key name with a line break below " + path);
      subkeys.push_back(subkey);
    }
    for (const std::string& subkey : subkeys)
      if (!exportKey(key, subkey, path + "\\" + subkey)) return false;
    return true;
  }

  FILE* out_;
};

int exportTree(const std::string& keyPath, const char* fileName) {
  const Root* root;
  std::string below;
  if (!splitKeyPath(keyPath, root, below)) {
    fprintf(stderr, "kvreg: %s: not below HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER\n", keyPath.c_str());
    return 1;
  }
  FILE* out = fileName ? fopen(fileName, "wb") : stdout;
  if (!out) {
    perror(fileName);
    return 1;
  }
  Exporter exporter(out);
  std::string header = std::string(kHeader) + kEol + kEol;
  bool ok = fwrite(header.data(), 1, header.size(), out) == header.size() &&
            exporter.exportKey(root->key, below, joinPath(root->name, below));
  if (fileName && fclose(out) != 0) ok = false;
  if (!ok) fprintf(stderr, "kvreg: %s\n", exporter.error.empty() ? "cannot write the file" : exporter.error.c_str());
  return ok ? 0 : 1;
}

// ---- import ----------------------------------------------------------------------

// Deletes a key and everything below it; a missing key is already deleted.
LSTATUS deleteTree(HKEY parent, const std::string& below) {
  HKEY key = nullptr;
  LSTATUS st = RegOpenKeyExA(parent, below.c_str(), 0, KEY_READ, &key);
  if (st == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (st != ERROR_SUCCESS) return st;
  std::vector<std::string> subkeys;
  for (DWORD i = 0; st == ERROR_SUCCESS; ++i) {
    char subkey[256];
    DWORD cch = sizeof subkey;
    st = RegEnumKeyExA(key, i, subkey, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_SUCCESS) subkeys.push_back(subkey);
  }
  if (st == ERROR_NO_MORE_ITEMS) st = ERROR_SUCCESS;
  for (size_t i = 0; st == ERROR_SUCCESS && i < subkeys.size(); ++i) st = deleteTree(key, subkeys[i]);
  RegCloseKey(key);
  return st == ERROR_SUCCESS ? RegDeleteKeyA(parent, below.c_str()) : st;
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
  explicit Importer(const char* fileName) : fileName_(fileName) {}
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
    fprintf(stderr, "kvreg: %s:%d: %s\n", fileName_, number, message.c_str());
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

  void section(const std::string& text, int number) {
    closeKey();
    size_t close = text.rfind(']');
    if (close == std::string::npos || !onlyBlanks(text, close + 1)) return report(number, "unterminated key name");
    bool remove = text[1] == '-';
    std::string path = text.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
    const Root* root;
    std::string below;
    if (!splitKeyPath(path, root, below)) return report(number, path + ": not a known root");
    LSTATUS st = remove
                     ? deleteTree(root->key, below)
                     : RegCreateKeyExA(root->key, below.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key_, nullptr);
    if (st != ERROR_SUCCESS)
      report(number, std::string(remove ? "cannot delete " : "cannot create ") + path + ": " + describe(st));
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

  const char* fileName_;
  HKEY key_ = nullptr;
  int failures_ = 0;
};

// The file's logical lines and the number each starts on: line ends are CRLF or
// LF, and a line ending in '\' goes on, without leading blanks, on the next.
bool readLines(const char* fileName, std::vector<std::string>& lines, std::vector<int>& numbers) {
  FILE* in = fopen(fileName, "rb");
  if (!in) return false;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
  fclose(in);
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
  return true;
}

int importFile(const char* fileName) {
  std::vector<std::string> lines;
  std::vector<int> numbers;
  if (!readLines(fileName, lines, numbers)) {
    perror(fileName);
    return 1;
  }
  return Importer(fileName).run(lines, numbers) == 0 ? 0 : 1;
}

int usage() {
  fprintf(stderr,
          "usage: kvreg export KEY [FILE]   write KEY and its subtree as a REGEDIT4 file (default: standard output)\n"
          "       kvreg import FILE         create, set and delete what a REGEDIT4 file says\n"
          "KEY starts with HKEY_LOCAL_MACHINE (HKLM) or HKEY_CURRENT_USER (HKCU).\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool exporting = (argc == 3 || argc == 4) && strcmp(argv[1], "export") == 0;
  bool importing = argc == 3 && strcmp(argv[1], "import") == 0;
  if (!exporting && !importing) return usage();
  if (storeDamaged()) return 1;
  return exporting ? exportTree(argv[2], argc == 4 ? argv[3] : nullptr) : importFile(argv[2]);
}
