// printf-style formatting for the log facility. Signal handlers log, so it
// uses no locale, no heap and no stdio; it knows the conversions that the
// daemon's messages use, and is small, for the device.
#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "log/log.h"

namespace upd {
namespace {

// Collects the output; counts what did not fit, as vsnprintf does.
struct Sink {
  char* out;
  size_t size;
  size_t length;

  void put(char c) {
    if (length + 1 < size) out[length] = c;
    ++length;
  }
  void repeat(char c, int count) {
    for (; count > 0; --count) put(c);
  }
};

struct Conversion {
  bool left = false;  // '-'
  bool zero = false;  // '0'
  int width = 0;
  int precision = -1;  // none
};

// The digits of value, lowest first; returns their count. Each division
// takes 16 bits at a time, so that no 64-bit division is needed.
size_t digitsOf(unsigned long long value, unsigned base, bool upper, char* digits) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  size_t count = 0;
  do {
    unsigned long long quotient = 0;
    unsigned remainder = 0;
    for (int shift = 48; shift >= 0; shift -= 16) {
      unsigned part = remainder << 16 | static_cast<unsigned>(value >> shift & 0xFFFF);
      quotient |= static_cast<unsigned long long>(part / base) << shift;
      remainder = part % base;
    }
    digits[count++] = set[remainder];
    value = quotient;
  } while (value != 0);
  return count;
}

void putNumber(Sink& sink, const Conversion& c, unsigned long long magnitude, bool negative,
               unsigned base, bool upper) {
  char digits[20];  // 64 bits in decimal
  size_t count = magnitude == 0 && c.precision == 0 ? 0 : digitsOf(magnitude, base, upper, digits);
  int zeros = c.precision > static_cast<int>(count) ? c.precision - static_cast<int>(count) : 0;
  int used = static_cast<int>(count) + zeros + (negative ? 1 : 0);
  if (c.zero && !c.left && c.precision < 0 && c.width > used) {
    zeros += c.width - used;
    used = c.width;
  }
  const int pad = c.width - used;
  if (!c.left) sink.repeat(' ', pad);
  if (negative) sink.put('-');
  sink.repeat('0', zeros);
  while (count > 0) sink.put(digits[--count]);
  if (c.left) sink.repeat(' ', pad);
}

void putText(Sink& sink, const Conversion& c, const char* s, size_t n) {
  const int pad = c.width - static_cast<int>(n);
  if (!c.left) sink.repeat(' ', pad);
  for (size_t i = 0; i < n; ++i) sink.put(s[i]);
  if (c.left) sink.repeat(' ', pad);
}

// A width or precision given in digits.
int readDigits(const char** at) {
  int value = 0;
  for (; **at >= '0' && **at <= '9'; ++*at)
    if (value < 100000) value = value * 10 + (**at - '0');
  return value;
}

}  // namespace

int formatText(char* out, size_t size, const char* format, va_list args) {
  Sink sink = {out, size, 0};
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      sink.put(*p);
      continue;
    }
    const char* start = p++;
    Conversion c;
    for (; *p == '-' || *p == '0'; ++p) {
      if (*p == '-')
        c.left = true;
      else
        c.zero = true;
    }
    if (*p == '*') {
      c.width = va_arg(args, int);
      ++p;
      if (c.width < 0) {
        c.left = true;
        c.width = -c.width;
      }
    } else {
      c.width = readDigits(&p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        c.precision = va_arg(args, int);
        ++p;
        if (c.precision < 0) c.precision = -1;
      } else {
        c.precision = readDigits(&p);
      }
    }
    int longs = 0;  // 1 long, 2 long long, 3 size_t
    for (; *p == 'l'; ++p) ++longs;
    if (*p == 'z') {
      longs = 3;
      ++p;
    }
    switch (*p) {
      case 'd':
      case 'i': {
        long long value = longs == 1   ? va_arg(args, long)
                          : longs == 2 ? va_arg(args, long long)
                          : longs == 3 ? static_cast<long long>(va_arg(args, ptrdiff_t))
                                       : va_arg(args, int);
        unsigned long long magnitude = static_cast<unsigned long long>(value);
        putNumber(sink, c, value < 0 ? 0 - magnitude : magnitude, value < 0, 10, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long value = longs == 1   ? va_arg(args, unsigned long)
                                   : longs == 2 ? va_arg(args, unsigned long long)
                                   : longs == 3 ? va_arg(args, size_t)
                                                : va_arg(args, unsigned);
        putNumber(sink, c, value, false, *p == 'u' ? 10 : 16, *p == 'X');
        break;
      }
      case 'c': {
        const char ch = static_cast<char>(va_arg(args, int));
        putText(sink, c, &ch, 1);
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        size_t n = 0;
        while (s[n] != '\0' && (c.precision < 0 || n < static_cast<size_t>(c.precision))) ++n;
        putText(sink, c, s, n);
        break;
      }
      case '%':
        sink.put('%');
        break;
      default:  // a conversion this formatter does not know: the text as it stands
        for (const char* q = start; q <= p && *q != '\0'; ++q) sink.put(*q);
        if (*p == '\0') --p;
        break;
    }
  }
  if (size > 0) out[sink.length < size ? sink.length : size - 1] = '\0';
  return static_cast<int>(sink.length);
}

}  // namespace upd
