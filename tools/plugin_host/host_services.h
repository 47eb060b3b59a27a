// What the host offers a plug-in through its call table, as the program sees it: resource
// providers that answer the plug-in's requests, the log sink, the records of events the plug-in
// publishes, and the host's counters.
//
// A provider answers one request of the plug-in (host call table entry 0) with a value, an
// error (status and text) or a stream. It runs on the plug-in's calling thread while the
// plug-in waits, and may be called from several threads at once. An exception from a provider
// is answered to the plug-in as an error with status 500 and the exception's text; it never
// reaches the plug-in.
#ifndef TOOLS_PLUGIN_HOST_HOST_SERVICES_H_
#define TOOLS_PLUGIN_HOST_HOST_SERVICES_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/host/plugin_abi.h"
#include "tools/plugin_host/host_result.h"
#include "tools/plugin_host/owned_host_value.h"

namespace plugin_host {

// One request of the plug-in, read in place from its request record. Valid during the
// provider's call only. Null texts and arrays in the record read as empty.
class ResourceRequest {
 public:
  explicit ResourceRequest(const PluginRequestRecord& record);

  uint32_t method() const { return record_.method; }
  std::string_view custom_method() const;
  std::string_view path() const { return path_; }  // as sent, query included
  std::string_view resource() const;               // the path without its query
  std::string_view query() const;                  // after the first "?"; empty when none
  uint32_t argument_count() const;
  std::string_view argument_name(uint32_t index) const;  // empty for a positional argument
  HostValueView argument(uint32_t index) const;
  // The last argument of that name.
  std::optional<HostValueView> FindArgument(std::string_view name) const;
  // The last header of exactly that name.
  std::optional<std::string_view> FindHeader(std::string_view name) const;
  std::string_view content_type() const;
  std::string_view body() const;
  uintptr_t caller_context() const { return record_.caller_context; }
  const PluginRequestRecord& record() const { return record_; }

 private:
  const PluginRequestRecord& record_;
  std::string_view path_;
};

// The bytes of a streamed answer. Read is called with room for `capacity` bytes (at least 1)
// and sets how many it delivered and whether more follow; false is a failed read, which the
// plug-in sees as such. Called from the plug-in's thread, one call at a time.
class StreamSource {
 public:
  virtual ~StreamSource() = default;
  // The size announced in the response record (clamped to 32 bits there).
  virtual uint64_t Size() const = 0;
  virtual bool Read(char* buffer, size_t capacity, size_t* delivered, bool* more) = 0;
};

// A stream of bytes held in memory.
std::unique_ptr<StreamSource> MemoryStream(std::string bytes);
// A stream of a file's bytes, read as the plug-in asks for them. Fails when the file cannot be
// opened or is not a regular file.
Result<std::unique_ptr<StreamSource>> FileStream(const std::filesystem::path& path);

// A provider's answer.
struct ResourceAnswer {
  uint32_t status = 200;
  bool failed = false;
  std::string error_text;  // when failed
  OwnedHostValue value;    // when neither failed nor streamed
  std::unique_ptr<StreamSource> stream;
  std::string content_type;
  std::vector<std::pair<std::string, std::string>> headers;
  // At most this many bytes per read of the stream (0: as many as the plug-in asks for); a
  // smaller figure than the plug-in's buffer makes it wait between reads.
  uint32_t chunk_size = 0;

  static ResourceAnswer Value(OwnedHostValue value, uint32_t status = 200);
  static ResourceAnswer Error(uint32_t status, std::string text);
  static ResourceAnswer Stream(std::unique_ptr<StreamSource> source,
                               std::string content_type = "application/octet-stream",
                               uint32_t status = 200);
};

using ResourceProvider = std::function<ResourceAnswer(const ResourceRequest& request)>;

// An event the plug-in published (entry 2), with its payload copied out of the plug-in's
// memory before the plug-in's call returned.
struct PluginEvent {
  std::string name;
  OwnedHostValue payload;
  uint32_t flags = 0;
};
// Called on the plug-in's thread, possibly from several threads at once.
using EventListener = std::function<void(const PluginEvent& event)>;

// A subscription the plug-in holds (entries 3 and 4).
struct SubscriptionInfo {
  std::string name;
  uint32_t plugin_id = 0;
  uint32_t flags = 0;
};

// A log line of the plug-in (entry 9): its level (0 okay, 1 warning, 2 error, 3 always) and
// text. Called on the plug-in's thread, possibly from several threads at once.
using LogSink = std::function<void(int32_t level, std::string_view text)>;

// The kinds of resource change, as the platform's resource events carry them.
enum class ResourceEventType { kCreate = 0, kUpdate = 1, kDelete = 2 };

// The event name under which changes of the resource `uri` are published: "OnJsonApiEvent"
// followed by the uri's non-empty "/"-separated pieces, joined with "_", keeping at most 6
// items when the first piece is "jat-platform-config" and at most 4 otherwise. So
// "/pavoclient/region-locale" gives "OnJsonApiEvent_pavoclient_region-locale".
std::string ResourceEventName(std::string_view uri);

// The payload of a resource event: a structure {uri, eventType ("Create", "Update" or
// "Delete"), data}.
OwnedHostValue ResourceEventPayload(std::string_view uri, ResourceEventType type,
                                    OwnedHostValue data);

// What the host has done, counted since the load. Each counter is read on its own.
struct HostCounters {
  uint64_t calls = 0;             // Call and CallInPlace
  uint64_t host_answers = 0;      // calls answered by the host itself (404, 405, 503, 500)
  uint64_t requests = 0;          // requests of the plug-in (entry 0)
  uint64_t request_errors = 0;    // ... answered with an error
  uint64_t open_responses = 0;    // host responses the plug-in has not released yet
  uint64_t events_received = 0;   // events the plug-in published (entry 2)
  uint64_t events_dropped = 0;    // ... whose payload could not be copied
  uint64_t events_delivered = 0;  // callbacks of the plug-in called by Publish
  uint64_t subscriptions = 0;     // entry 3 calls
  uint64_t unsubscriptions = 0;   // entry 4 calls
  uint64_t wait_starts = 0;       // entry 7
  uint64_t wait_yields = 0;       // entry 6 (each yields the thread)
  uint64_t wait_steps = 0;        // entry 8, the end of a wait step
  uint64_t log_lines = 0;         // entry 9
  uint64_t ignored_calls = 0;     // entries 1 and 5
  uint64_t callback_errors = 0;   // listeners and log sinks that threw
};

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_HOST_SERVICES_H_
