// printf-style formatting for the log facility. Signal handlers log, so it
// uses no locale, no heap and no stdio: integers, characters, strings and
// pointers only, which is all the daemon's messages need.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
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
  void text(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) put(s[i]);
  }
};

struct Conversion {
  bool left = false;   // '-'
  bool zero = false;   // '0'
  bool plus = false;   // '+'
  bool space = false;  // ' '
  bool alt = false;    // '#'
  int width = 0;
  int precision = -1;  // none
};

// Writes the number's digits, lowest first; returns their count.
size_t digitsOf(unsigned long long value, unsigned base, bool upper, char* digits) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  size_t count = 0;
  do {
    digits[count++] = set[value % base];
    value /= base;
  } while (value != 0);
  return count;
}

void putNumber(Sink& sink, const Conversion& c, unsigned long long magnitude, bool negative,
               unsigned base, bool upper, bool isSigned, bool pointer) {
  char digits[24];  // 22 octal digits hold 64 bits
  size_t count =
      (magnitude == 0 && c.precision == 0) ? 0 : digitsOf(magnitude, base, upper, digits);
  char prefix[2];
  size_t prefixLength = 0;
  if (isSigned && negative)
    prefix[prefixLength++] = '-';
  else if (isSigned && c.plus)
    prefix[prefixLength++] = '+';
  else if (isSigned && c.space)
    prefix[prefixLength++] = ' ';
  if ((c.alt || pointer) && base == 16 && magnitude != 0) {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = upper ? 'X' : 'x';
  }
  int zeros = c.precision > static_cast<int>(count) ? c.precision - static_cast<int>(count) : 0;
  if (c.alt && base == 8 && zeros == 0 && (count == 0 || digits[count - 1] != '0')) zeros = 1;
  int used = static_cast<int>(prefixLength + count) + zeros;
  if (c.zero && !c.left && c.precision < 0 && c.width > used) {
    zeros += c.width - used;
    used = c.width;
  }
  const int pad = c.width > used ? c.width - used : 0;
  if (!c.left) sink.repeat(' ', pad);
  sink.text(prefix, prefixLength);
  sink.repeat('0', zeros);
  while (count > 0) sink.put(digits[--count]);
  if (c.left) sink.repeat(' ', pad);
}

void putText(Sink& sink, const Conversion& c, const char* s, size_t n) {
  const int pad = c.width > static_cast<int>(n) ? c.width - static_cast<int>(n) : 0;
  if (!c.left) sink.repeat(' ', pad);
  sink.text(s, n);
  if (c.left) sink.repeat(' ', pad);
}

int readNumber(const char** at) {
  int value = 0;
  while (**at >= '0' && **at <= '9') {
    if (value < 100000) value = value * 10 + (**at - '0');
    ++*at;
  }
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
    for (; *p != '\0' && std::strchr("-0+ #", *p) != nullptr; ++p) {
      c.left |= *p == '-';
      c.zero |= *p == '0';
      c.plus |= *p == '+';
      c.space |= *p == ' ';
      c.alt |= *p == '#';
    }
    if (*p == '*') {
      c.width = va_arg(args, int);
      if (c.width < 0) {
        c.left = true;
        c.width = -c.width;
      }
      ++p;
    } else {
      c.width = readNumber(&p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        c.precision = va_arg(args, int);
        if (c.precision < 0) c.precision = -1;
        ++p;
      } else {
        c.precision = readNumber(&p);
      }
    }
    // Length: 0 int, 1 long, 2 long long, 3 size_t, 4 intmax_t, 5 ptrdiff_t,
    // 6 short, 7 char.
    int length = 0;
    if (*p == 'h') {
      length = 6;
      if (*++p == 'h') {
        length = 7;
        ++p;
      }
    } else if (*p == 'l') {
      length = 1;
      if (*++p == 'l') {
        length = 2;
        ++p;
      }
    } else if (*p == 'z') {
      length = 3;
      ++p;
    } else if (*p == 'j') {
      length = 4;
      ++p;
    } else if (*p == 't') {
      length = 5;
      ++p;
    }

    switch (*p) {
      case 'd':
      case 'i': {
        long long value = length == 1   ? va_arg(args, long)
                          : length == 2 ? va_arg(args, long long)
                          : length == 3 ? static_cast<long long>(va_arg(args, ptrdiff_t))
                          : length == 4 ? static_cast<long long>(va_arg(args, intmax_t))
                          : length == 5 ? static_cast<long long>(va_arg(args, ptrdiff_t))
                                        : va_arg(args, int);
        if (length == 6) value = static_cast<short>(value);
        if (length == 7) value = static_cast<signed char>(value);
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        putNumber(sink, c, magnitude, value < 0, 10, false, true, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long value =
            length == 1   ? va_arg(args, unsigned long)
            : length == 2 ? va_arg(args, unsigned long long)
            : length == 3 ? va_arg(args, size_t)
            : length == 4 ? static_cast<unsigned long long>(va_arg(args, uintmax_t))
            : length == 5 ? static_cast<unsigned long long>(va_arg(args, ptrdiff_t))
                          : va_arg(args, unsigned);
        if (length == 6) value = static_cast<unsigned short>(value);
        if (length == 7) value = static_cast<unsigned char>(value);
        const unsigned base = *p == 'u' ? 10 : *p == 'o' ? 8 : 16;
        putNumber(sink, c, value, false, base, *p == 'X', false, false);
        break;
      }
      case 'p':
        putNumber(sink, c, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, false,
                  false, true);
        break;
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
      default:  // not a conversion this formatter knows: the text as it stands
        sink.text(start, static_cast<size_t>(p - start) + (*p != '\0' ? 1 : 0));
        if (*p == '\0') --p;
        break;
    }
  }
  if (size > 0) out[sink.length < size ? sink.length : size - 1] = '\0';
  return static_cast<int>(sink.length);
}

}  // namespace upd
