// Positional message formatting: fills "%1"-style templates and printf conversion
// conversion specifications from a list of typed arguments.
//
// Every message template of the system ("Unknown argument '%1' for '%2'.", "Error: %s at offset
// %u.", "%1.%2.%3", ...) goes through FormatMessage. A bare "%N" prints argument N in its
// natural way; a printf conversion specification ("%04d", "%2$-8s", "%*.*f") is honoured when its
// conversion suits the argument's type and otherwise falls back to the type's natural one.
// Each argument is printed by snprintf, so numbers look exactly as printf prints them, but the
// conversion specification handed to snprintf is rebuilt from checked pieces: a template can never
// make snprintf read a wrong type, write through "%n", read past a text argument or write past the
// output buffer.
#ifndef SDK_TEXT_FORMAT_MESSAGE_H_
#define SDK_TEXT_FORMAT_MESSAGE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace sdk::text {

// One argument of a message: its type adapter (which conversions it accepts, which is its
// natural one) and its value. Texts are kept as views: the caller keeps them alive for the
// duration of the FormatMessage call, which is why a temporary std::string is refused.
class MessageArg {
 public:
  enum class Kind : uint8_t { kInt32, kUint32, kInt64, kUint64, kDouble, kChar, kText };

  MessageArg(int value) : kind_(Kind::kInt32), integer_(value) {}
  MessageArg(unsigned int value) : kind_(Kind::kUint32), integer_(value) {}
  MessageArg(long value) : kind_(Kind::kInt64), integer_(value) {}
  MessageArg(unsigned long value) : kind_(Kind::kUint64), integer_(static_cast<int64_t>(value)) {}
  MessageArg(long long value) : kind_(Kind::kInt64), integer_(value) {}
  MessageArg(unsigned long long value)
      : kind_(Kind::kUint64), integer_(static_cast<int64_t>(value)) {}
  MessageArg(double value) : kind_(Kind::kDouble), double_(value) {}
  MessageArg(char value) : kind_(Kind::kChar), integer_(value) {}
  // A null pointer prints as "(null)".
  MessageArg(const char* text) : MessageArg(text ? std::string_view(text) : "(null)") {}
  MessageArg(std::string_view text)
      : kind_(Kind::kText), text_(text.data() ? text.data() : ""), text_size_(text.size()) {}
  MessageArg(const std::string& text) : MessageArg(std::string_view(text)) {}
  MessageArg(std::string&&) = delete;  // the view would dangle

  Kind kind() const { return kind_; }
  // True for the types whose value may serve as a "*" width or precision.
  bool is_integer() const { return kind_ != Kind::kDouble && kind_ != Kind::kText; }
  int64_t signed_value() const { return integer_; }
  uint64_t unsigned_value() const { return static_cast<uint64_t>(integer_); }
  double double_value() const { return double_; }
  std::string_view text() const { return {text_, text_size_}; }

 private:
  Kind kind_;
  int64_t integer_ = 0;  // every integer kind, unsigned ones stored modulo 2^64
  double double_ = 0;
  const char* text_ = "";
  size_t text_size_ = 0;
};

// Formats `format` with `args` into `buffer` of `size` bytes. The output is cut at size - 1
// characters and always NUL-terminated (nothing is written when size is 0). Returns the number
// of characters written, not counting the NUL.
//
// Formatting stops early, keeping what was written, when a conversion specification grows to 60
// characters, when it selects an argument that does not exist, when a "*" takes a width or
// precision from an argument that is not an integer, or when the template ends inside a
// conversion specification. Widths and precisions beyond what the remaining output can show are
// capped.
size_t FormatMessage(char* buffer, size_t size, std::string_view format,
                     std::span<const MessageArg> args);

// Size of the buffer that the convenience form (and every message of the system) uses.
inline constexpr size_t kMessageBufferSize = 4096;

// Convenience form: formats into a 4096-byte buffer and returns the text.
template <typename... Args>
requires(std::is_constructible_v<MessageArg, const Args&>&&...) std::string
    FormatMessage(std::string_view format, const Args&... args) {
  const std::array<MessageArg, sizeof...(Args)> list{MessageArg(args)...};
  char buffer[kMessageBufferSize];
  const size_t length = FormatMessage(buffer, sizeof buffer, format, list);
  return std::string(buffer, length);
}

}  // namespace sdk::text

#endif  // SDK_TEXT_FORMAT_MESSAGE_H_
