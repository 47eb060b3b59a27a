// Errors as values for the host library: Status (success or a message) and Result<T> (a value
// or a message).
//
// Nothing in the host library throws to its caller for a fault of the plug-in or of the input;
// every such fault comes back as one of these, with a message meant for a person (it names the
// plug-in, the path or the record that was wrong).
#ifndef TOOLS_PLUGIN_HOST_HOST_RESULT_H_
#define TOOLS_PLUGIN_HOST_HOST_RESULT_H_

#include <string>
#include <utility>
#include <variant>

namespace plugin_host {

struct HostError {
  std::string message;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(HostError error) : failed_(true), message_(std::move(error.message)) {}  // NOLINT

  static Status Ok() { return Status(); }

  bool ok() const { return !failed_; }
  // Empty when ok().
  const std::string& message() const { return message_; }

 private:
  bool failed_ = false;
  std::string message_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : content_(std::move(value)) {}          // NOLINT: implicit by design
  Result(HostError error) : content_(std::move(error)) {}  // NOLINT

  bool ok() const { return std::holds_alternative<T>(content_); }
  // Only when ok().
  const T& value() const& { return std::get<T>(content_); }
  T& value() & { return std::get<T>(content_); }
  T&& value() && { return std::get<T>(std::move(content_)); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }
  // Only when !ok().
  const std::string& error() const { return std::get<HostError>(content_).message; }

 private:
  std::variant<T, HostError> content_;
};

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_HOST_RESULT_H_
