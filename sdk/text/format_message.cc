// The message formatter. A template is read in one pass: plain characters are copied, and each
// "%" starts a conversion specification that is parsed into its parts (argument, flags, width,
// precision, conversion). The parts are then checked against the argument's type adapter and
// written out again as a format that snprintf can only print safely: the length modifier comes from
// the argument's type (a template's "h" or "hh" is kept only for the types passed as int, where
// printf defines it; any other is dropped), flags and precision are kept only where the
// conversion defines them, "*" values are resolved into plain numbers, and a text argument
// always carries a precision no larger than its length.
#include "sdk/text/format_message.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

namespace sdk::text {
namespace {

// A conversion specification (from its "%" up to and including its conversion) must stay shorter
// than this.
constexpr size_t kMaxDirectiveLength = 60;
// Extra room allowed to a width or precision beyond the remaining output. A double printed in
// full never needs more than about 1100 digits, so a capped precision still shows the same
// leading characters as the uncapped one.
constexpr int64_t kFieldSlack = 1200;

// The type adapter: conversions a kind accepts (its natural one first) and the length modifier
// its integer conversions need.
struct TypeAdapter {
  const char* conversions;
  const char* length;
};

TypeAdapter AdapterFor(MessageArg::Kind kind) {
  switch (kind) {
    case MessageArg::Kind::kInt32:
      return {"dciouxX", ""};
    case MessageArg::Kind::kUint32:
      return {"ucdioxX", ""};
    case MessageArg::Kind::kInt64:
      return {"dciouxX", "ll"};
    case MessageArg::Kind::kUint64:
      return {"ucdioxX", "ll"};
    case MessageArg::Kind::kDouble:
      return {"gaefGAEF", ""};
    case MessageArg::Kind::kChar:
      return {"cdiouxX", ""};
    case MessageArg::Kind::kText:
      return {"s", ""};
  }
  return {"s", ""};
}

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Membership in a small character set. Unlike a bare strchr, a NUL (which a string_view
// template may contain) is never a member.
bool Contains(const char* set, int c) { return c > 0 && std::strchr(set, c) != nullptr; }

bool IsUnsignedConversion(char c) { return c == 'o' || c == 'u' || c == 'x' || c == 'X'; }

bool IsFloatingConversion(char c) { return Contains("aAeEfFgG", c); }

// Flags that printf defines for a conversion; any other flag would be undefined behaviour.
const char* FlagsAllowedFor(char conversion) {
  if (conversion == 'd' || conversion == 'i') return "-+ 0";
  if (IsUnsignedConversion(conversion)) return "-#0";
  if (IsFloatingConversion(conversion)) return "-+ #0";
  return "-";  // 'c' and 's'
}

// The parsed form of one conversion specification.
struct Directive {
  size_t arg = 0;  // zero-based index of the printed argument
  bool bare = false;
  char flags[6] = {};  // each flag at most once
  bool has_width = false;
  int64_t width = 0;
  bool has_precision = false;
  int64_t precision = 0;
  int short_length = 0;  // 1 for a template's "h", 2 for "hh"
  char conversion = 0;
};

void AddFlag(Directive& directive, char flag) {
  const size_t count = std::strlen(directive.flags);
  if (!Contains(directive.flags, flag) && count + 1 < sizeof directive.flags) {
    directive.flags[count] = flag;
  }
}

// Reads one conversion specification from `format`, which starts at its "%". Tracks the characters
// taken so far so that a conversion specification reaching kMaxDirectiveLength characters fails.
class DirectiveParser {
 public:
  DirectiveParser(std::string_view format, std::span<const MessageArg> args, size_t& next_arg)
      : format_(format), args_(args), next_arg_(next_arg) {}

  // On success fills `directive` and returns the number of template characters consumed.
  bool Parse(Directive& directive, size_t& consumed) {
    position_ = 1;  // the "%"
    bool numbered = false;
    if (Peek() >= '1' && Peek() <= '9') {
      const size_t start = position_;
      uint64_t number = 0;
      if (!ReadNumber(number)) return false;
      if (number <= args_.size()) {
        numbered = true;
        directive.arg = static_cast<size_t>(number - 1);
        if (Peek() != '$') {
          directive.bare = true;
          consumed = position_;
          return true;
        }
        if (!Advance()) return false;
      } else {
        position_ = start;  // not an index: read the digits again as a width
      }
    }
    while (Contains("-+ #0", Peek())) {
      AddFlag(directive, static_cast<char>(Peek()));
      if (!Advance()) return false;
    }
    if (Peek() == '*') {
      if (!Advance() || !ReadStarValue(directive.width)) return false;
      directive.has_width = true;
      if (directive.width < 0) {  // a negative "*" width means left alignment
        AddFlag(directive, '-');
        directive.width = -directive.width;
      }
    } else if (IsDigit(Peek())) {
      uint64_t width = 0;
      if (!ReadNumber(width)) return false;
      directive.has_width = true;
      directive.width = static_cast<int64_t>(std::min<uint64_t>(width, INT64_MAX));
    }
    if (Peek() == '.') {
      if (!Advance()) return false;
      directive.has_precision = true;
      if (Peek() == '*') {
        if (!Advance() || !ReadStarValue(directive.precision)) return false;
        if (directive.precision < 0) directive.has_precision = false;  // as if omitted
      } else {
        uint64_t precision = 0;
        if (IsDigit(Peek()) && !ReadNumber(precision)) return false;
        directive.precision = static_cast<int64_t>(std::min<uint64_t>(precision, INT64_MAX));
      }
    }
    // The argument's own type decides the length; only "h" and "hh" are remembered (see
    // PrintDirective).
    if (Peek() == 'h' || Peek() == 'l') {
      const int letter = Peek();
      if (!Advance()) return false;
      int count = 1;
      if (Peek() == letter) {
        if (!Advance()) return false;
        count = 2;
      }
      if (letter == 'h') directive.short_length = count;
    } else if (Peek() == 'L' || Peek() == 'j' || Peek() == 't' || Peek() == 'z') {
      if (!Advance()) return false;
    }
    if (Peek() < 0) return false;  // the template ends inside the conversion specification
    directive.conversion = static_cast<char>(Peek());
    if (!Advance()) return false;
    if (!numbered) {
      if (next_arg_ >= args_.size()) return false;
      directive.arg = next_arg_++;
    }
    consumed = position_;
    return true;
  }

 private:
  int Peek() const {
    return position_ < format_.size() ? static_cast<unsigned char>(format_[position_]) : -1;
  }

  // Takes one character; false once the conversion specification has grown to kMaxDirectiveLength.
  bool Advance() {
    ++position_;
    return position_ < kMaxDirectiveLength;
  }

  // Reads a run of digits, saturating instead of overflowing.
  bool ReadNumber(uint64_t& number) {
    number = 0;
    while (IsDigit(Peek())) {
      number = std::min<uint64_t>(number * 10 + static_cast<uint64_t>(Peek() - '0'), UINT32_MAX);
      if (!Advance()) return false;
    }
    return true;
  }

  // After a "*": takes the value from argument N for "*N$", else from the next argument.
  bool ReadStarValue(int64_t& value) {
    size_t index = next_arg_;
    bool positional = false;
    if (Peek() >= '1' && Peek() <= '9') {
      const size_t start = position_;
      uint64_t number = 0;
      if (!ReadNumber(number)) return false;
      if (Peek() == '$') {
        if (!Advance()) return false;
        if (number > args_.size()) return false;
        index = static_cast<size_t>(number - 1);
        positional = true;
      } else {
        position_ = start;  // plain "*": the digits that follow are not ours
      }
    }
    if (!positional) {
      if (next_arg_ >= args_.size()) return false;
      ++next_arg_;
    }
    const MessageArg& arg = args_[index];
    if (!arg.is_integer()) return false;
    if (arg.kind() == MessageArg::Kind::kUint64 || arg.kind() == MessageArg::Kind::kUint32) {
      value = static_cast<int64_t>(std::min<uint64_t>(arg.unsigned_value(), INT64_MAX));
    } else {
      // INT64_MIN has no positive counterpart; one more keeps negation defined.
      value = std::max<int64_t>(arg.signed_value(), INT64_MIN + 1);
    }
    return true;
  }

  std::string_view format_;
  std::span<const MessageArg> args_;
  size_t& next_arg_;
  size_t position_ = 0;
};

// The output buffer, of which `capacity` characters may be used (one byte stays for the NUL).
struct Output {
  char* buffer;
  size_t capacity;
  size_t length = 0;

  bool full() const { return length >= capacity; }
  size_t room() const { return capacity - length; }
  void Put(char c) {
    if (!full()) buffer[length++] = c;
  }
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// Prints one argument with a conversion specification built by PrintDirective, whose conversion and
// length modifier match the C type passed here.
int PrintArgument(char* destination, size_t size, const char* printf_format, const MessageArg& arg,
                  char conversion) {
  switch (arg.kind()) {
    case MessageArg::Kind::kInt32:
    case MessageArg::Kind::kUint32:
    case MessageArg::Kind::kChar:
      if (IsUnsignedConversion(conversion)) {
        return std::snprintf(destination, size, printf_format,
                             static_cast<unsigned int>(arg.unsigned_value()));
      }
      return std::snprintf(destination, size, printf_format, static_cast<int>(arg.signed_value()));
    case MessageArg::Kind::kInt64:
    case MessageArg::Kind::kUint64:
      if (conversion == 'c') {
        return std::snprintf(destination, size, printf_format,
                             static_cast<int>(arg.signed_value()));
      }
      if (IsUnsignedConversion(conversion)) {
        return std::snprintf(destination, size, printf_format,
                             static_cast<unsigned long long>(arg.unsigned_value()));
      }
      return std::snprintf(destination, size, printf_format,
                           static_cast<long long>(arg.signed_value()));
    case MessageArg::Kind::kDouble:
      return std::snprintf(destination, size, printf_format, arg.double_value());
    case MessageArg::Kind::kText:
      return std::snprintf(destination, size, printf_format, arg.text().data());
  }
  return -1;
}
#pragma GCC diagnostic pop

// Writes a non-negative width or precision (at most INT_MAX: ten digits).
void AppendNumber(char*& cursor, int64_t value) {
  cursor = std::to_chars(cursor, cursor + 10, value).ptr;
}

// Rebuilds the conversion specification from its checked parts and prints the argument into the
// output.
void PrintDirective(const Directive& directive, const MessageArg& arg, Output& out) {
  if (directive.conversion == 'n') return;  // never let printf write through a pointer
  const TypeAdapter adapter = AdapterFor(arg.kind());
  char conversion = adapter.conversions[0];
  if (!directive.bare && Contains(adapter.conversions, directive.conversion)) {
    conversion = directive.conversion;
  }
  // Fields wider or more precise than the output can show would only cost time.
  const int64_t cap = std::min<int64_t>(static_cast<int64_t>(out.room()) + kFieldSlack, INT_MAX);

  char text[64];
  char* cursor = text;
  *cursor++ = '%';
  const char* allowed_flags = FlagsAllowedFor(conversion);
  for (const char* flag = directive.flags; *flag; ++flag) {
    if (Contains(allowed_flags, *flag)) *cursor++ = *flag;
  }
  if (directive.has_width) AppendNumber(cursor, std::min(directive.width, cap));
  if (arg.kind() == MessageArg::Kind::kText) {
    // A text is a view, not necessarily NUL-terminated: never let printf read past its end.
    int64_t precision = static_cast<int64_t>(std::min<size_t>(arg.text().size(), INT64_MAX));
    if (directive.has_precision) precision = std::min(precision, directive.precision);
    *cursor++ = '.';
    AppendNumber(cursor, std::min(precision, cap));
  } else if (directive.has_precision && conversion != 'c') {
    *cursor++ = '.';
    AppendNumber(cursor, std::min(directive.precision, cap));
  }
  if (conversion != 'c' && !IsFloatingConversion(conversion)) {
    for (const char* l = adapter.length; *l; ++l) *cursor++ = *l;
    // "h" and "hh" print an int argument as a short or a char; for the 64-bit types, which are
    // passed as long long, they would make printf read the wrong type.
    if (*adapter.length == '\0' && conversion != 's') {
      for (int i = 0; i < directive.short_length; ++i) *cursor++ = 'h';
    }
  }
  *cursor++ = conversion;
  *cursor = '\0';

  const int written = PrintArgument(out.buffer + out.length, out.room() + 1, text, arg, conversion);
  if (written > 0) {
    out.length += std::min(static_cast<size_t>(written), out.room());
  }
  out.buffer[out.length] = '\0';
}

}  // namespace

size_t FormatMessage(char* buffer, size_t size, std::string_view format,
                     std::span<const MessageArg> args) {
  if (buffer == nullptr || size == 0) return 0;
  Output out{buffer, size - 1};
  size_t next_arg = 0;
  size_t i = 0;
  while (i < format.size() && !out.full()) {
    if (format[i] != '%') {
      out.Put(format[i++]);
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out.Put('%');
      i += 2;
      continue;
    }
    Directive directive;
    size_t consumed = 0;
    DirectiveParser parser(format.substr(i), args, next_arg);
    if (!parser.Parse(directive, consumed)) break;
    i += consumed;
    PrintDirective(directive, args[directive.arg], out);
  }
  buffer[out.length] = '\0';
  return out.length;
}

}  // namespace sdk::text
