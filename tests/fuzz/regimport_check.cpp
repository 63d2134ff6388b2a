// The fuzzer of the registry import: the registry as a comparable picture, the
// keys a file names, and the checks after each input.
#include "tests/fuzz/regimport_check.h"

#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hostlink/protocol.h"
#include "kvplatform.h"
#include "tools/regfile.h"

namespace kvfuzz {
namespace {

struct Root {
  const char* name;
  const char* shortName;
  HKEY key;
};
const Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
};

// The keys and values every input starts from.
struct StartValue {
  HKEY root;
  const char* key;
  const char* name;
  DWORD type;
  std::string data;
};
const StartValue kStart[] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Victim", "n", REG_SZ, std::string("keep", 5)},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Victim", "d", REG_DWORD, std::string("\x01\x00\x00\x00", 4)},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Victim\\Sub", "", REG_BINARY, std::string("\x00\xff", 2)},
    {HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi", REG_SZ, std::string("other.dll", 10)},
    {HKEY_CURRENT_USER, "Software\\Keep", "", REG_SZ, std::string("default", 8)},
};

// Names compare without regard to ASCII case, as the registry compares them.
std::string folded(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  return text;
}

// ---- the registry as a picture ----------------------------------------------------

struct Value {
  DWORD type;
  std::string data;
  bool operator==(const Value& o) const { return type == o.type && data == o.data; }
};
struct Key {
  std::string path;                     // as the registry spells it
  size_t depth = 0;                     // levels below its root
  std::map<std::string, Value> values;  // by folded name
  std::vector<std::string> valueNames;  // as spelled
  bool operator==(const Key& o) const { return path == o.path && values == o.values && valueNames == o.valueNames; }
  bool operator!=(const Key& o) const { return !(*this == o); }
};
// Every key of both roots, by folded path.
using Picture = std::map<std::string, Key>;

// Walks both roots with a stack of its own: a store as deep as the import
// wrongly allowed is pictured, not a stack overflow.
std::string picture(Picture& out) {
  out.clear();
  struct Open {
    HKEY key;
    std::string path;
    size_t depth;
  };
  std::vector<Open> stack;
  for (const Root& r : kRoots) stack.push_back({r.key, r.name, 0});
  std::string why;
  while (!stack.empty()) {
    Open o = stack.back();
    stack.pop_back();
    Key& k = out[folded(o.path)];
    k.path = o.path;
    k.depth = o.depth;
    DWORD maxName = 0, maxData = 0;
    LSTATUS st = RegQueryInfoKeyA(o.key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                  &maxData, nullptr, nullptr);
    if (st != ERROR_SUCCESS) why = "cannot read " + o.path + ": error " + std::to_string(st);
    std::vector<char> nameBuffer(maxName + 1);
    std::vector<BYTE> data(maxData + 1);
    for (DWORD i = 0; why.empty(); ++i) {
      DWORD cch = (DWORD)nameBuffer.size(), cb = (DWORD)data.size(), type = 0;
      st = RegEnumValueA(o.key, i, nameBuffer.data(), &cch, nullptr, &type, data.data(), &cb);
      if (st == ERROR_NO_MORE_ITEMS) break;
      if (st != ERROR_SUCCESS) {
        why = "cannot read a value of " + o.path + ": error " + std::to_string(st);
        break;
      }
      std::string spelled(nameBuffer.data(), cch);
      k.values[folded(spelled)] = {type, std::string(reinterpret_cast<char*>(data.data()), cb)};
      k.valueNames.push_back(spelled);
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0; why.empty(); ++i) {
      char subkey[1024];
      DWORD cch = sizeof subkey;
      st = RegEnumKeyExA(o.key, i, subkey, &cch, nullptr, nullptr, nullptr, nullptr);
      if (st == ERROR_NO_MORE_ITEMS) break;
      if (st != ERROR_SUCCESS) why = "cannot list the subkeys of " + o.path + ": error " + std::to_string(st);
      if (st == ERROR_SUCCESS) subkeys.push_back(std::string(subkey, cch));
    }
    for (const std::string& name : subkeys) {
      HKEY child = nullptr;
      st = RegOpenKeyExA(o.key, name.c_str(), 0, KEY_READ, &child);
      if (st != ERROR_SUCCESS && why.empty()) why = "cannot open " + o.path + "\\" + name;
      if (st == ERROR_SUCCESS) stack.push_back({child, o.path + "\\" + name, o.depth + 1});
    }
    if (o.depth > 0) RegCloseKey(o.key);
  }
  return why;
}

// Deletes everything below both roots and the roots' values, deepest keys first.
std::string wipe() {
  for (const Root& r : kRoots) {
    std::vector<HKEY> stack = {r.key};
    while (!stack.empty()) {
      char name[1024];
      DWORD cch = sizeof name;
      LSTATUS st = RegEnumKeyExA(stack.back(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
      if (st == ERROR_SUCCESS) {
        HKEY child = nullptr;
        if (RegOpenKeyExA(stack.back(), name, 0, KEY_ALL_ACCESS, &child) != ERROR_SUCCESS)
          return std::string("cannot open ") + name;
        stack.push_back(child);
        continue;
      }
      if (st != ERROR_NO_MORE_ITEMS) return "cannot list the subkeys of a key: error " + std::to_string(st);
      HKEY done = stack.back();
      stack.pop_back();
      if (stack.empty()) break;
      RegCloseKey(done);
      cch = sizeof name;
      if (RegEnumKeyExA(stack.back(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
          RegDeleteKeyA(stack.back(), name) != ERROR_SUCCESS)
        return "cannot delete a key below " + std::string(r.name);
    }
    for (;;) {
      char name[16384];
      DWORD cch = sizeof name;
      if (RegEnumValueA(r.key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      if (RegDeleteValueA(r.key, name) != ERROR_SUCCESS) return std::string("cannot delete a value of ") + r.name;
    }
  }
  return std::string();
}

// The registry every input starts from, and whether the store holds it now.
struct Start {
  Picture picture;
  bool inStore = false;
  bool roundTripped = false;
};
Start& start() {
  static Start* it = new Start;
  return *it;
}

// ---- what a file names ------------------------------------------------------------

// The keys and values a file names, read by rules of their own: a line is
// what lies between any two line breaks (CR, LF or both); a section is a line
// that starts with '[', its path up to the line's last ']', and a value line
// one that starts with '@' or a quoted name. Empty names in a path are passed
// over, as the registry passes them over. A deletion names its key and
// everything below it; a root is never deleted, so [-ROOT] names nothing. A
// value name counts for every key the file writes: a continued line may carry
// the importer past a section that these rules see.
struct Named {
  std::vector<std::string> made;     // folded paths of keys made or written
  std::vector<std::string> deleted;  // folded paths of subtrees deleted
  std::set<std::string> values;      // folded value names
};

// The name of a value line: "" for '@', the quoted name with \\ and \" (or any
// other character after a backslash) as the character itself.
bool valueName(const std::string& line, std::string& name) {
  name.clear();
  if (line[0] == '@') return true;
  if (line[0] != '"') return false;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '"') return true;
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    name += line[i];
  }
  return false;
}

// Value names as the lines of a file join: lines end at LF (a CR before it is
// dropped), and a line that is no section and ends in a backslash goes on in
// the next one, less that line's leading blanks and tabs. The names of joined
// lines count too: a name may be cut by a continuation.
void joinedValueNames(const std::string& text, std::set<std::string>& values) {
  std::string carried;
  bool carrying = false;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (carrying) {
      size_t start = line.find_first_not_of(" \t");
      line = carried + (start == std::string::npos ? std::string() : line.substr(start));
    }
    carrying = !line.empty() && line[0] != '[' && line.back() == '\\';
    if (carrying) {
      carried = line.substr(0, line.size() - 1);
      continue;
    }
    std::string value;
    if (!line.empty() && valueName(line, value)) values.insert(folded(value));
  }
  if (carrying) {
    std::string value;
    if (!carried.empty() && valueName(carried, value)) values.insert(folded(value));
  }
}

Named namedKeys(const std::string& text) {
  Named named;
  joinedValueNames(text, named.values);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    std::string value;
    if (!line.empty() && valueName(line, value)) named.values.insert(folded(value));
    size_t close = line.rfind(']');
    if (line.empty() || line[0] != '[' || close == std::string::npos) continue;
    bool remove = line.size() > 1 && line[1] == '-';
    size_t from = remove ? 2 : 1;
    if (close < from) continue;
    std::string path = line.substr(from, close - from);
    std::vector<std::string> names;
    for (size_t at = 0; at <= path.size();) {
      size_t slash = path.find('\\', at);
      if (slash == std::string::npos) slash = path.size();
      names.push_back(path.substr(at, slash - at));
      at = slash + 1;
    }
    const Root* root = nullptr;
    for (const Root& r : kRoots)
      if (folded(names[0]) == r.name || folded(names[0]) == r.shortName) root = &r;
    if (!root) continue;
    std::string key = root->name;
    size_t below = 0;
    for (size_t i = 1; i < names.size(); ++i)
      if (!names[i].empty()) {
        key += "\\" + names[i];
        ++below;
      }
    if (!remove)
      named.made.push_back(folded(key));
    else if (below > 0)
      named.deleted.push_back(folded(key));
  }
  return named;
}

bool atOrBelow(const std::string& path, const std::string& top) {
  return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 && path[top.size()] == '\\');
}

bool deletedByFile(const Named& named, const std::string& path) {
  for (const std::string& d : named.deleted)
    if (atOrBelow(path, d)) return true;
  return false;
}

// ---- the checks ----------------------------------------------------------------------

std::string shown(const std::string& path) {
  std::string out;
  for (char c : path.substr(0, 200)) {
    if ((unsigned char)c < 0x20) {
      char hex[8];
      snprintf(hex, sizeof hex, "<%02x>", (unsigned char)c);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// Every value that differs between `before` and `after` of one key is one the
// file names.
std::string onlyNamedValues(const std::map<std::string, Value>& before, const std::map<std::string, Value>& after,
                            const Named& named, const std::string& path) {
  std::set<std::string> names;
  for (const auto& v : before) {
    auto a = after.find(v.first);
    if (a == after.end() || !(a->second == v.second)) names.insert(v.first);
  }
  for (const auto& v : after)
    if (!before.count(v.first)) names.insert(v.first);
  for (const std::string& name : names)
    if (!named.values.count(name))
      return "changed the value " + shown(name) + " of " + shown(path) + ", which it does not name";
  return std::string();
}

// Every change from `before` to `after` lies in a key the file names.
std::string onlyNamedKeysChanged(const Picture& before, const Picture& after, const Named& named) {
  for (const auto& b : before) {
    auto a = after.find(b.first);
    bool deleted = deletedByFile(named, b.first);
    if (a == after.end()) {
      if (!deleted) return "deleted " + shown(b.second.path) + ", which it does not name";
      continue;
    }
    if (deleted || a->second.values == b.second.values) continue;
    bool written = false;
    for (const std::string& m : named.made) written = written || m == b.first;
    if (!written) return "changed the values of " + shown(b.second.path) + ", which it does not name";
    std::string why = onlyNamedValues(b.second.values, a->second.values, named, b.second.path);
    if (!why.empty()) return why;
  }
  for (const auto& a : after) {
    if (before.count(a.first)) continue;
    bool made = false;
    for (const std::string& m : named.made) made = made || atOrBelow(m, a.first);
    if (!made) return "made " + shown(a.second.path) + ", which it does not name";
    bool written = false;
    for (const std::string& m : named.made) written = written || m == a.first;
    if (!a.second.values.empty() && !written)
      return "set values in " + shown(a.second.path) + ", which it does not name";
    std::string why = onlyNamedValues({}, a.second.values, named, a.second.path);
    if (!why.empty()) return why;
  }
  return std::string();
}

bool carriable(const std::string& name) { return name.find_first_of(std::string("\0\r\n", 3)) == std::string::npos; }

// What the platform and the file format allow.
std::string withinLimits(const Picture& after) {
  for (const auto& a : after) {
    const Key& k = a.second;
    if (k.depth > regfile::kMaxDepth) return "made " + shown(k.path.substr(0, 100)) + "..., deeper than the limit";
    std::string own = k.path.substr(k.path.rfind('\\') + 1);
    if (own.size() > regfile::kMaxKeyName) return "made a key name longer than the limit: " + shown(own);
    if (!carriable(own)) return "made a key name export cannot write: " + shown(k.path);
    for (const std::string& name : k.valueNames)
      if (!carriable(name)) return "set a value name export cannot write in " + shown(k.path);
  }
  return std::string();
}

// Both roots export; their export, imported into an empty registry, gives
// `after` again.
std::string exportsAndImportsBack(const Picture& after) {
  std::string text[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    if (!regfile::exportTree(
            kRoots[i].name,
            [&](const std::string& piece) {
              text[i] += piece;
              return true;
            },
            error))
      return std::string(kRoots[i].name) + " no longer exports: " + error;
  }
  std::string why = wipe();
  if (!why.empty()) return why;
  for (int i = 0; i < 2; ++i) {
    std::string said;
    if (regfile::importText(text[i], kRoots[i].name, [&](const std::string& m) { said += m + "\n"; }) != 0)
      return std::string("the export of ") + kRoots[i].name + " does not import: " + said;
  }
  Picture again;
  why = picture(again);
  if (!why.empty()) return why;
  for (const auto& a : after) {
    auto b = again.find(a.first);
    if (b == again.end()) return "the export left out " + shown(a.second.path);
    if (!(b->second.values == a.second.values)) return "the export changed the values of " + shown(a.second.path);
  }
  if (again.size() != after.size()) return "the export made keys that were not there";
  return std::string();
}

}  // namespace

std::string resetRegistry() {
  Start& st = start();
  st.inStore = false;
  std::string why = wipe();
  for (const StartValue& v : kStart) {
    if (!why.empty()) break;
    HKEY key = nullptr;
    if (RegCreateKeyExA(v.root, v.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS ||
        RegSetValueExA(key, v.name, 0, v.type, reinterpret_cast<const BYTE*>(v.data.data()), (DWORD)v.data.size()) !=
            ERROR_SUCCESS)
      why = std::string("cannot set ") + v.key;
    RegCloseKey(key);
  }
  if (why.empty()) why = picture(st.picture);
  // The start itself goes through export and import once.
  if (why.empty() && !st.roundTripped) why = exportsAndImportsBack(st.picture);
  st.roundTripped = why.empty();
  st.inStore = why.empty();
  return why;
}

std::string importAndCheck(const uint8_t* data, size_t size) {
  // Only the checks change the store besides the import: an input that
  // changed nothing leaves the start in it.
  std::string why = start().inStore ? std::string() : resetRegistry();
  if (!why.empty()) return "before the input: " + why;
  const Picture& before = start().picture;
  std::string text(reinterpret_cast<const char*>(data), size);
  regfile::importText(text, "input", [](const std::string&) {});
  Picture after;
  why = picture(after);
  if (why.empty()) why = onlyNamedKeysChanged(before, after, namedKeys(text));
  if (why.empty()) why = withinLimits(after);
  if (why.empty() && after != before) {
    start().inStore = false;
    why = exportsAndImportsBack(after);
  }
  return why;
}

}  // namespace kvfuzz
