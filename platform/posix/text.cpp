// Strings, wsprintfA, and conversions between code pages and UTF-16.
#include <errno.h>
#include <iconv.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "internal.h"

extern "C" int WINAPI lstrlenA(LPCSTR s) { return s ? (int)strlen(s) : 0; }

extern "C" int WINAPI lstrlenW(LPCWSTR s) {
  if (!s) return 0;
  int n = 0;
  while (s[n]) ++n;
  return n;
}

extern "C" int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  int r = strcmp(a ? a : "", b ? b : "");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

extern "C" int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  int r = strcasecmp(a ? a : "", b ? b : "");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

extern "C" LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
  if (!dst || !src) return nullptr;
  return strcpy(dst, src);
}

extern "C" LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int iMaxLength) {
  if (!dst || !src || iMaxLength <= 0) return dst;
  int i = 0;
  for (; i < iMaxLength - 1 && src[i]; ++i) dst[i] = src[i];
  dst[i] = '\0';
  return dst;
}

// ---- wsprintfA -----------------------------------------------------------------

namespace {

const int kWsprintfLimit = 1024;

struct Out {
  char* buf;
  int n = 0;
  void put(char c) {
    if (n < kWsprintfLimit - 1) buf[n++] = c;
  }
  void pad(char c, int count) {
    while (count-- > 0) put(c);
  }
};

void putNumber(Out& out, unsigned long long v, bool negative, unsigned base, bool upper, bool left, bool zero,
               int width, int precision, bool alternate) {
  char digits[32];
  int nd = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[nd++] = set[v % base];
    v /= base;
  } while (v);
  int zeros = precision > nd ? precision - nd : 0;
  const char* prefix = negative ? "-" : (alternate && base == 16) ? (upper ? "0X" : "0x") : "";
  int len = (int)strlen(prefix) + zeros + nd;
  if (!left && zero && precision < 0) {
    zeros += width > len ? width - len : 0;
    len = width > len ? width : len;
  }
  if (!left) out.pad(' ', width - len);
  for (const char* p = prefix; *p; ++p) out.put(*p);
  out.pad('0', zeros);
  while (nd) out.put(digits[--nd]);
  if (left) out.pad(' ', width - len);
}

}  // namespace

extern "C" int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args) {
  Out out{buffer};
  for (const char* f = format; *f; ++f) {
    if (*f != '%') {
      out.put(*f);
      continue;
    }
    ++f;
    if (*f == '%') {
      out.put('%');
      continue;
    }
    bool left = false, zero = false, alternate = false;
    for (;; ++f) {
      if (*f == '-')
        left = true;
      else if (*f == '0')
        zero = true;
      else if (*f == '#')
        alternate = true;
      else
        break;
    }
    int width = 0, precision = -1;
    while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
    if (*f == '.') {
      precision = 0;
      for (++f; *f >= '0' && *f <= '9'; ++f) precision = precision * 10 + (*f - '0');
    }
    bool wide64 = false;
    if (*f == 'l' || *f == 'h') {
      ++f;
    } else if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
      wide64 = true;
      f += 3;
    }
    switch (*f) {
      case 'c': {
        char c = (char)va_arg(args, int);
        if (!left) out.pad(' ', width - 1);
        out.put(c);
        if (left) out.pad(' ', width - 1);
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        if (!s) s = "(null)";
        int len = (int)strlen(s);
        if (precision >= 0 && precision < len) len = precision;
        if (!left) out.pad(' ', width - len);
        for (int i = 0; i < len; ++i) out.put(s[i]);
        if (left) out.pad(' ', width - len);
        break;
      }
      case 'd':
      case 'i': {
        long long v = wide64 ? va_arg(args, long long) : (long long)va_arg(args, int);
        unsigned long long mag = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
        putNumber(out, mag, v < 0, 10, false, left, zero, width, precision, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = wide64 ? va_arg(args, unsigned long long) : (unsigned long long)va_arg(args, unsigned);
        putNumber(out, v, false, *f == 'u' ? 10 : 16, *f == 'X', left, zero, width, precision, alternate);
        break;
      }
      case '\0': --f; break;
      default:
        // An unknown type is copied as it stands, as the platform does.
        out.put(*f);
        break;
    }
  }
  buffer[out.n] = '\0';
  return out.n;
}

extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  int n = wvsprintfA(buffer, format, args);
  va_end(args);
  return n;
}

namespace {

std::string iconvName(UINT cp) {
  if (cp == CP_UTF8) return "UTF-8";
  return "CP" + std::to_string(cp);
}

}  // namespace

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR src, int cchWideChar, LPSTR dst,
                                          int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!src || cbMultiByte < 0 || cchWideChar == 0) return plat::fail(ERROR_INVALID_PARAMETER, 0);
  int count = cchWideChar < 0 ? lstrlenW(src) + 1 : cchWideChar;
  iconv_t cd = iconv_open(iconvName(plat::resolveCodePage(CodePage)).c_str(), "UTF-16LE");
  if (cd == (iconv_t)-1) return plat::fail(ERROR_INVALID_PARAMETER, 0);
  const char* fallback = lpDefaultChar ? lpDefaultChar : "?";
  std::string out;
  BOOL usedDefault = FALSE;
  // Character by character, so that one that the code page lacks becomes the
  // default character instead of ending the conversion.
  for (int i = 0; i < count; ++i) {
    WCHAR unit[2] = {src[i], 0};
    size_t units = 1;
    if (src[i] >= 0xD800 && src[i] < 0xDC00 && i + 1 < count) {
      unit[1] = src[++i];
      units = 2;
    }
    char in[4], converted[8];
    for (size_t k = 0; k < units; ++k) {
      in[2 * k] = (char)(unit[k] & 0xFF);
      in[2 * k + 1] = (char)(unit[k] >> 8);
    }
    char* inp = in;
    char* outp = converted;
    size_t inLeft = units * 2, outLeft = sizeof converted;
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == (size_t)-1) {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      out += fallback;
      usedDefault = TRUE;
    } else {
      out.append(converted, (size_t)(outp - converted));
    }
  }
  iconv_close(cd);
  if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault;
  if (cbMultiByte == 0) return (int)out.size();
  if ((int)out.size() > cbMultiByte) return plat::fail(ERROR_INSUFFICIENT_BUFFER, 0);
  memcpy(dst, out.data(), out.size());
  return (int)out.size();
}

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR src, int cbMultiByte, LPWSTR dst,
                                          int cchWideChar) {
  if (!src || cchWideChar < 0 || cbMultiByte == 0) return plat::fail(ERROR_INVALID_PARAMETER, 0);
  size_t count = cbMultiByte < 0 ? strlen(src) + 1 : (size_t)cbMultiByte;
  iconv_t cd = iconv_open("UTF-16LE", iconvName(plat::resolveCodePage(CodePage)).c_str());
  if (cd == (iconv_t)-1) return plat::fail(ERROR_INVALID_PARAMETER, 0);
  std::string in(src, count), out(count * 4 + 4, '\0');
  char* inp = &in[0];
  char* outp = &out[0];
  size_t inLeft = in.size(), outLeft = out.size();
  size_t rc = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (rc == (size_t)-1) return plat::fail(ERROR_NO_UNICODE_TRANSLATION, 0);
  int units = (int)((out.size() - outLeft) / 2);
  if (cchWideChar == 0) return units;
  if (units > cchWideChar) return plat::fail(ERROR_INSUFFICIENT_BUFFER, 0);
  for (int i = 0; i < units; ++i) dst[i] = (WCHAR)((unsigned char)out[2 * i] | ((unsigned char)out[2 * i + 1] << 8));
  return units;
}
