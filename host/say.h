// Everything the host says goes through here: one line, begun with the
// program's own name (KVTSK16, or KVTSK64 for the 64-bit host), so that a
// user reading a console or a log where both bitnesses' hosts write can tell
// which said it. Each line is written whole, at once: the host's threads may
// speak together.
#pragma once

#include <stdarg.h>
#include <stdio.h>

#include <string>

#include "kvplatform.h"

// The host program's name, as its build names the file (without ".EXE").
#define KV_HOST_NAME "KVTSK" KV_PROGRAM_DIGITS

// A line to `stream`: standard error for what went wrong or was left out,
// standard output for the instance window's word to the one who started it.
inline void hostSayV(FILE* stream, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(nullptr, 0, format, again);
  va_end(again);
  std::string line = KV_HOST_NAME ": ";
  size_t at = line.size();
  if (n < 0) {
    line += format;
  } else {
    line.resize(at + (size_t)n + 1);
    vsnprintf(&line[at], (size_t)n + 1, format, args);
    line.resize(at + (size_t)n);
  }
  line += "\n";
  fputs(line.c_str(), stream);
  fflush(stream);
}

__attribute__((format(printf, 2, 3))) inline void hostSayTo(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  hostSayV(stream, format, args);
  va_end(args);
}

// What went wrong or was left out, on standard error.
__attribute__((format(printf, 1, 2))) inline void hostSay(const char* format, ...) {
  va_list args;
  va_start(args, format);
  hostSayV(stderr, format, args);
  va_end(args);
}
