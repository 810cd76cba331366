#include "platform/message_format.h"

#include <algorithm>
#include <cctype>

#include "platform/ini_file.h"

namespace velmira {
namespace {

constexpr size_t kMaxWidth = 256;

// One code point as UTF-8; surrogates and values past U+10FFFF become U+FFFD.
std::string Utf8Of(char32_t c) {
  if (c == 0) return {};
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

std::string Digits(uint64_t value, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[value % base]);
    value /= base;
  } while (value != 0);
  return out;
}

struct Directive {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  char conversion = 0;
};

// Reads flags, width, precision and length after a "%"; `pos` is left on
// the conversion character. False when the text ends first.
bool ReadDirective(std::string_view f, size_t& pos, Directive& directive) {
  for (; pos < f.size(); ++pos) {
    const char c = f[pos];
    if (c == '-')
      directive.left = true;
    else if (c == '0')
      directive.zero = true;
    else if (c == '+')
      directive.plus = true;
    else if (c == ' ')
      directive.space = true;
    else if (c != '#')
      break;
  }
  auto number = [&](size_t& out) {
    while (pos < f.size() && std::isdigit(static_cast<unsigned char>(f[pos]))) {
      out = std::min(kMaxWidth, out * 10 + static_cast<size_t>(f[pos] - '0'));
      ++pos;
    }
  };
  number(directive.width);
  if (pos < f.size() && f[pos] == '.') {
    ++pos;
    directive.hasPrecision = true;
    number(directive.precision);
  }
  if (f.substr(pos, 3) == "I64") {
    pos += 3;
  } else {
    while (pos < f.size() && (f[pos] == 'h' || f[pos] == 'l' || f[pos] == 'z' || f[pos] == 'j')) ++pos;
  }
  if (pos >= f.size()) return false;
  directive.conversion = f[pos];
  return true;
}

std::string Pad(std::string body, const Directive& directive, bool numeric) {
  const size_t chars = CharCount(body);
  if (chars >= directive.width) return body;
  const size_t fill = directive.width - chars;
  if (directive.left) return body + std::string(fill, ' ');
  if (numeric && directive.zero && !directive.hasPrecision) {
    const size_t sign = (!body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' ')) ? 1 : 0;
    return body.insert(sign, std::string(fill, '0'));
  }
  return std::string(fill, ' ') + body;
}

std::string Number(const FormatArg& arg, const Directive& directive) {
  const char conv = directive.conversion;
  const bool hex = conv == 'x' || conv == 'X';
  const bool isSigned = conv == 'd' || conv == 'i';
  bool negative = false;
  uint64_t magnitude = 0;
  switch (arg.kind()) {
    case FormatArg::Kind::kText:
      return std::string(arg.text());
    case FormatArg::Kind::kSigned: {
      const int64_t v = arg.signedValue();
      negative = v < 0;
      magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
      if (!isSigned && negative) {
        magnitude = static_cast<uint64_t>(v);  // as printf would show it unsigned
        negative = false;
      }
      break;
    }
    case FormatArg::Kind::kUnsigned:
    case FormatArg::Kind::kChar:
      magnitude = arg.unsignedValue();
      break;
  }
  std::string digits = Digits(magnitude, hex ? 16 : 10, conv == 'X');
  if (directive.hasPrecision && digits.size() < directive.precision)
    digits.insert(0, directive.precision - digits.size(), '0');
  if (negative)
    digits.insert(0, 1, '-');
  else if (isSigned && directive.plus)
    digits.insert(0, 1, '+');
  else if (isSigned && directive.space)
    digits.insert(0, 1, ' ');
  return digits;
}

}  // namespace

std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args) {
  std::string out;
  const FormatArg* next = args.begin();
  auto take = [&]() -> const FormatArg* { return next == args.end() ? nullptr : next++; };
  for (size_t pos = 0; pos < format.size(); ++pos) {
    const char c = format[pos];
    if (c != '%') {
      out += c;
      continue;
    }
    const size_t start = pos;
    ++pos;
    if (pos < format.size() && format[pos] == '%') {
      out += '%';
      continue;
    }
    Directive directive;
    if (!ReadDirective(format, pos, directive)) {
      out.append(format.substr(start));
      break;
    }
    switch (directive.conversion) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        const FormatArg* arg = take();
        if (arg != nullptr)
          out += Pad(Number(*arg, directive), directive, arg->kind() != FormatArg::Kind::kText);
        break;
      }
      case 's': {
        const FormatArg* arg = take();
        if (arg == nullptr) break;
        Directive decimal;
        decimal.conversion = 'd';
        std::string text = arg->kind() == FormatArg::Kind::kText ? std::string(arg->text())
                           : arg->kind() == FormatArg::Kind::kChar
                               ? Utf8Of(static_cast<char32_t>(arg->unsignedValue()))
                               : Number(*arg, decimal);
        if (directive.hasPrecision) text = CutToChars(text, directive.precision);
        out += Pad(std::move(text), directive, false);
        break;
      }
      case 'c': {
        const FormatArg* arg = take();
        if (arg == nullptr) break;
        std::string text;
        if (arg->kind() == FormatArg::Kind::kText)
          text = CutToChars(arg->text(), 1);
        else if (arg->kind() == FormatArg::Kind::kSigned)
          text = arg->signedValue() > 0 ? Utf8Of(static_cast<char32_t>(arg->signedValue())) : "";
        else
          text = Utf8Of(static_cast<char32_t>(arg->unsignedValue()));
        out += Pad(std::move(text), directive, false);
        break;
      }
      default:
        out.append(format.substr(start, pos - start + 1));
        break;
    }
  }
  return out;
}

}  // namespace velmira
