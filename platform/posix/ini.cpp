// INI files with the platform's rules, at host paths: section and key names
// match without regard to case; blanks around names and values are dropped and
// a value's surrounding quotes removed; the first section and the first key of
// a name win. Writes replace the file whole, serialised by a lock beside it.
#include <errno.h>
#include <stdio.h>
#include <strings.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal.h"

namespace {

struct Line {
  std::string text;     // as in the file
  std::string section;  // set on section headers
  std::string key;      // set on key lines
  std::string value;
  bool isSection = false, isKey = false;
};

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string unquote(const std::string& v) {
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) return v.substr(1, v.size() - 2);
  return v;
}

std::vector<Line> parse(const std::string& path) {
  std::vector<Line> lines;
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return lines;
  char buf[4096];
  std::string raw;
  while (fgets(buf, sizeof buf, f)) {
    raw += buf;
    if (raw.back() != '\n' && !feof(f)) continue;
    Line line;
    line.text = raw;
    while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) line.text.pop_back();
    raw.clear();
    std::string t = trim(line.text);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      line.isSection = true;
      line.section = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else if (!t.empty() && t[0] != ';') {
      size_t eq = t.find('=');
      if (eq != std::string::npos) {
        line.isKey = true;
        line.key = trim(t.substr(0, eq));
        line.value = unquote(trim(t.substr(eq + 1)));
      }
    }
    lines.push_back(line);
  }
  fclose(f);
  return lines;
}

// The key lines of the first section named `app`.
std::vector<Line> sectionKeys(const std::vector<Line>& lines, const char* app) {
  std::vector<Line> keys;
  bool inSection = false, seen = false;
  for (const Line& l : lines) {
    if (l.isSection) {
      if (seen && inSection) break;  // only the first section of that name counts
      inSection = strcasecmp(l.section.c_str(), app) == 0;
      seen |= inSection;
      continue;
    }
    if (inSection && l.isKey) keys.push_back(l);
  }
  return keys;
}

}  // namespace

namespace plat {

bool iniValue(const std::string& path, const char* app, const char* key, std::string& value) {
  for (const Line& l : sectionKeys(parse(path), app)) {
    if (strcasecmp(l.key.c_str(), key) == 0) {
      value = l.value;
      return true;
    }
  }
  return false;
}

std::vector<std::string> iniNames(const std::string& path, const char* app) {
  std::vector<std::string> names;
  std::vector<Line> lines = parse(path);
  if (!app) {
    for (const Line& l : lines)
      if (l.isSection) names.push_back(l.section);
  } else {
    for (const Line& l : sectionKeys(lines, app)) names.push_back(l.key);
  }
  return names;
}

bool iniWrite(const std::string& path, const char* app, const char* key, const char* value) {
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && !makeDirs(path.substr(0, slash))) return false;

  // Writers of one file are serialised by a lock on a file beside it.
  int lockFd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd < 0) return false;
  flock(lockFd, LOCK_EX);
  std::vector<Line> lines = parse(path);
  std::vector<std::string> out;
  bool inSection = false, sectionFound = false, done = false;
  size_t sectionEnd = 0;  // index in `out` after the last line of the section
  for (const Line& l : lines) {
    if (l.isSection) {
      inSection = !done && strcasecmp(l.section.c_str(), app) == 0;
      if (inSection) sectionFound = true;
      if (inSection && !key) continue;  // the section goes, header and all
    } else if (inSection && !key) {
      continue;
    } else if (inSection && l.isKey && !done && strcasecmp(l.key.c_str(), key) == 0) {
      if (value) out.push_back(l.key + "=" + value);
      done = true;
      continue;
    }
    out.push_back(l.text);
    if (inSection && !l.text.empty()) sectionEnd = out.size();
  }
  if (key && value && !done) {
    if (sectionFound) {
      out.insert(out.begin() + (long)sectionEnd, std::string(key) + "=" + value);
    } else {
      out.push_back(std::string("[") + app + "]");
      out.push_back(std::string(key) + "=" + value);
    }
  }
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "we");
  bool ok = f != nullptr;
  if (f) {
    for (const std::string& s : out) ok = ok && fprintf(f, "%s\r\n", s.c_str()) >= 0;
    ok = fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
    ok = fclose(f) == 0 && ok;
  }
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  int error = errno;
  unlink(tmp.c_str());
  flock(lockFd, LOCK_UN);
  close(lockFd);
  errno = error;
  return ok;
}

}  // namespace plat
