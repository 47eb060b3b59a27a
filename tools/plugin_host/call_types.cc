// Reading a call's answer in place (see call_types.h).
#include "tools/plugin_host/call_types.h"

namespace plugin_host {
namespace {

constexpr std::string_view kFailureWithoutText =
    "The plug-in reported a failure without an error text";

std::string_view TextOf(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

uint32_t HttpStatusOf(bool failed, uint32_t status) {
  if (status != 0) return status;
  return failed ? 400 : 200;
}

}  // namespace

ResponseView::ResponseView(const PluginResponseRecord& record, bool answered_by_host,
                           const std::string* host_error, uint32_t host_status)
    : record_(record),
      answered_by_host_(answered_by_host || host_error != nullptr),
      host_error_(host_error),
      host_status_(host_status) {}

bool ResponseView::failed() const {
  return host_error_ != nullptr || record_.error_text != nullptr || record_.error_flag != 0;
}

std::string_view ResponseView::error() const {
  if (host_error_ != nullptr) return *host_error_;
  if (record_.error_text != nullptr) return record_.error_text;
  if (record_.error_flag != 0) return kFailureWithoutText;
  return {};
}

uint32_t ResponseView::status() const {
  return host_error_ != nullptr ? host_status_ : record_.status_code;
}

uint32_t ResponseView::HttpStatus() const { return HttpStatusOf(failed(), status()); }

std::string_view ResponseView::content_type() const { return TextOf(record_.content_type); }

uint32_t ResponseView::header_count() const {
  return record_.headers == nullptr ? 0 : record_.header_count;
}

std::string_view ResponseView::header_name(uint32_t index) const {
  return index < header_count() ? TextOf(record_.headers[index].name) : std::string_view();
}

std::string_view ResponseView::header_value(uint32_t index) const {
  return index < header_count() ? TextOf(record_.headers[index].value) : std::string_view();
}

HostValueView ResponseView::result() const {
  if (failed() || record_.stream_read != nullptr) return HostValueView();
  return HostValueView(&record_.result);
}

bool ResponseView::ReadStream(char* buffer, uint32_t capacity, uint32_t* delivered,
                              bool* more) const {
  *delivered = 0;
  *more = false;
  if (!is_stream() || buffer == nullptr || capacity == 0) return false;
  uint32_t length = capacity;
  uint8_t more_flag = 0;
  if (record_.stream_read(record_.stream_context, buffer, &length, &more_flag) == 0) return false;
  // A plug-in that claims to have written past the buffer has already done harm; the bytes
  // cannot be trusted.
  if (length > capacity) return false;
  *delivered = length;
  *more = more_flag != 0;
  return true;
}

uint32_t Response::HttpStatus() const { return HttpStatusOf(failed, status); }

}  // namespace plugin_host
