// The records of a call from the host to one of the plug-in's endpoints: CallRequest (what is
// sent), ResponseView (the answer read in place, before the plug-in's record is released) and
// Response (the answer copied out).
//
// A call fails when the plug-in set an error text or the error flag, and also when the host
// finds the answer unusable: a result that is malformed (a tag above 10, a null pointer with a
// count), a missing result where the endpoint declares one, or a stream whose read fails. The
// host then gives the caller its own error text with status 500 ("answered by the host"), as it
// does for requests it does not send at all: 404 for a path no endpoint declares, 405 for a
// method the path does not take (with an "Allow" header), 503 when the plug-in is not running.
#ifndef TOOLS_PLUGIN_HOST_CALL_TYPES_H_
#define TOOLS_PLUGIN_HOST_CALL_TYPES_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/host/plugin_abi.h"
#include "tools/plugin_host/owned_host_value.h"

namespace plugin_host {

struct CallHeader {
  std::string_view name;
  std::string_view value;
};

// A typed argument: an empty name sends a positional one. The value is borrowed for the call.
struct CallArgument {
  std::string_view name;
  HostValueView value;
};

struct CallRequest {
  uint32_t method = kPluginMethodGet;
  std::string_view path;  // may carry a query (see LoadOptions::query_as_arguments)
  std::string_view content_type;
  std::string_view body;  // sent as pointer and size; empty sends no body
  std::span<const CallHeader> headers;
  std::span<const CallArgument> arguments;
  std::string_view custom_method;  // for kPluginMethodCustom
  uintptr_t caller_context = 0;    // passed through to the plug-in's handler
};

// An answer in place. The texts, the result and the stream belong to the plug-in (or to the
// host, for an answer it gave itself) and are valid only while the reader that got the view
// runs.
class ResponseView {
 public:
  // `host_error`, when not null, is the host's verdict on an unusable answer: the view then
  // reads as failed with that text and `host_status`.
  ResponseView(const PluginResponseRecord& record, bool answered_by_host,
               const std::string* host_error = nullptr, uint32_t host_status = 0);

  bool failed() const;
  // The error text; the host's own words for a failure the plug-in gave no text for.
  std::string_view error() const;
  // The status as the plug-in (or the host) set it; 0 when none was set.
  uint32_t status() const;
  // The status for an HTTP answer: status(), or when none was set 400 for a failure (the
  // plug-in's binding errors carry none) and 200 for a success.
  uint32_t HttpStatus() const;
  bool answered_by_host() const { return answered_by_host_; }
  uint8_t flags() const { return record_.flags; }
  uint32_t code() const { return record_.code; }
  std::string_view content_type() const;
  uint32_t header_count() const;
  std::string_view header_name(uint32_t index) const;
  std::string_view header_value(uint32_t index) const;
  // The result; empty for a failure or a stream.
  HostValueView result() const;

  bool is_stream() const { return !failed() && record_.stream_read != nullptr; }
  uint32_t stream_size() const { return record_.stream_size; }  // as announced
  // Reads the next bytes of the stream into `buffer`. False when the read fails, when the
  // plug-in claims more bytes than the buffer holds, or when there is no stream. The host closes
  // the stream after the reader returns.
  bool ReadStream(char* buffer, uint32_t capacity, uint32_t* delivered, bool* more) const;

  const PluginResponseRecord& record() const { return record_; }

 private:
  const PluginResponseRecord& record_;
  bool answered_by_host_;
  const std::string* host_error_;
  uint32_t host_status_;
};

// An answer copied out; owns everything.
struct Response {
  bool failed = false;
  std::string error;    // when failed
  uint32_t status = 0;  // as ResponseView::status()
  bool answered_by_host = false;
  uint8_t flags = 0;
  uint32_t code = 0;
  std::string content_type;
  std::vector<std::pair<std::string, std::string>> headers;
  OwnedHostValue result;  // when neither failed nor streamed
  bool streamed = false;
  uint32_t announced_size = 0;  // of a stream
  std::string stream_bytes;     // all bytes of a stream, read before the record was released

  bool ok() const { return !failed; }
  uint32_t HttpStatus() const;  // as ResponseView::HttpStatus()
};

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_CALL_TYPES_H_
