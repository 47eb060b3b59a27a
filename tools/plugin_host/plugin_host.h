// PluginHost: loads one plug-in library and drives it through the C interface of
// sdk/host/plugin_abi.h, and nothing else of the plug-in's code.
//
// Everything the host knows about a plug-in it learns at run time from the load block and the
// API description record. The life of a plug-in:
//
//   auto host = PluginHost::Load("nbx-be-sanitizer.so", options);   // dlopen, export, walk
//   host->AddPrefixProvider("/sanitizer/assets/", ...);             // what the plug-in reads
//   host->AddEventListener("OnJsonApiEvent_sanitizer_v1_status", ...);
//   host->Start();                                                   // the plug-in initialises
//   Response r = host->Call(kPluginMethodGet, "/sanitizer/v1/status");
//   host->Publish(ResourceEventName(uri), ResourceEventPayload(uri, kUpdate, value));
//   host->Stop();                                                    // also done on destruction
//
// The host call table is served by C trampolines that find this object from the table pointer
// and catch every exception, so nothing of C++ crosses into the plug-in. Requests of the
// plug-in go to resource providers (host_services.h); its subscriptions are kept for Publish;
// its events go to listeners with their payload copied; its wait steps yield the thread and
// are counted; its log lines go to the log sink; entries 1 and 5 are counted and ignored.
//
// Threads: every member function may be called from any thread; Call, CallInPlace and Publish
// from many at once. Stop waits for the calls and deliveries in flight, refuses new ones (503,
// nothing delivered), then stops the plug-in; it fails rather than deadlocks when called from
// inside a call into the plug-in (a provider, a listener or the log sink). The host adds no
// lock around calls: a plug-in that cannot take a request while one of its events is handled
// must guard itself, or the program must not publish while it calls.
#ifndef TOOLS_PLUGIN_HOST_PLUGIN_HOST_H_
#define TOOLS_PLUGIN_HOST_PLUGIN_HOST_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "sdk/host/plugin_abi.h"
#include "tools/plugin_host/api_description.h"
#include "tools/plugin_host/call_types.h"
#include "tools/plugin_host/host_result.h"
#include "tools/plugin_host/host_services.h"
#include "tools/plugin_host/owned_host_value.h"
#include "tools/plugin_host/route_table.h"

namespace plugin_host {

struct ApiVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  std::string Text() const;  // "18.0.0"
  friend bool operator==(const ApiVersion&, const ApiVersion&) = default;
};

struct LoadOptions {
  // The library's one export.
  std::string export_name = "load_sanitizer";
  // The core's plug-in API version handed to the plug-in. The plug-in checks it (and may end
  // the process when it is incompatible); the host checks the version the plug-in answers with
  // by the same rule: same major, and the core's minor greater, or equal with a patch at least
  // the plug-in's.
  ApiVersion core_version{18, 0, 0};
  // Passed to the plug-in in the HostContext; it hands it back on its requests and
  // subscriptions.
  uint32_t plugin_id = 1;
  // A query on a call's path ("/v1/items/7?count=3&name=a%20b") is split off: the plug-in gets
  // the path without it, and each parameter as a named typed argument holding its
  // percent-decoded text, ahead of the call's own typed arguments. The plug-in's routing matches
  // its templates against the whole path it is given, so a query left on the path would keep a
  // literal route from matching and end up inside a "{name}" placeholder. A parameter whose
  // endpoint declares it for another location (path, header, body) is answered 400 by the host.
  // With false the path is sent as given.
  bool query_as_arguments = true;
  // At most this many bytes per read of any stream the host serves (0: as many as the plug-in
  // asks for). A provider's answer may set a smaller figure of its own.
  uint32_t stream_chunk_size = 0;
  // Call: a streamed answer larger than this fails instead of growing without bound.
  uint64_t max_stream_bytes = uint64_t{1} << 30;
  // Copies of results and event payloads out of the plug-in.
  CopyLimits copy_limits;
  DescriptionLimits description_limits;
};

struct MemoryCounters {
  uint64_t peak_bytes_in_use = 0;
  uint64_t peak_live_allocations = 0;
  uint64_t bytes_allocated = 0;
  uint64_t allocations = 0;
  uint64_t bytes_freed = 0;
  uint64_t frees = 0;
  uint64_t live_allocations() const { return allocations - frees; }
  uint64_t bytes_in_use() const { return bytes_allocated - bytes_freed; }
};

class PluginHost {
 public:
  // Loads the library (dlopen with RTLD_NOW | RTLD_LOCAL), calls its export with a load block
  // carrying the core version, and reads back version, entry table, instance, short name and
  // API description. Fails with a message naming the library for: a file that cannot be loaded,
  // a missing export, a block left unfilled (no entry table, an entry missing, no instance, no
  // short name, no description), an incompatible version, and a description that does not walk
  // (api_description.h). A refused plug-in that has an instance is stopped before the library
  // is closed.
  static Result<std::unique_ptr<PluginHost>> Load(const std::filesystem::path& path,
                                                  const LoadOptions& options = {});

  // Stops the plug-in when it was not stopped, then closes the library. Must not run on a
  // thread that is inside a call into the plug-in.
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // From the load block.
  const std::filesystem::path& path() const;
  const std::string& short_name() const;
  const ApiVersion& api_version() const;
  const ApiDescription& description() const;
  const RouteTable& routes() const;

  // Resource providers, for the plug-in's requests (entry 0). A request goes to the provider of
  // its exact path (without the query), else to the one with the longest matching prefix; with
  // none it is answered 404 "Not found". Adding under a path or prefix already taken replaces
  // the provider. Set them before Start for the plug-in's initialisation to find them.
  void AddProvider(std::string path, ResourceProvider provider);
  void AddPrefixProvider(std::string prefix, ResourceProvider provider);
  // Removes the provider of that exact path, or with that prefix; false when there was none.
  bool RemoveProvider(std::string_view path);
  bool RemovePrefixProvider(std::string_view prefix);

  // Listeners of the plug-in's events (entry 2), by exact name; the name "" listens to every
  // event. Returns an id for RemoveEventListener.
  uint64_t AddEventListener(std::string name, EventListener listener);
  void RemoveEventListener(uint64_t id);

  // Where the plug-in's log lines go (entry 9); none (the default) drops them.
  void SetLogSink(LogSink sink);

  // Starts the plug-in with a HostContext holding the call table and the plug-in id; fails when
  // the plug-in's Start answers 0, when Start was called before, and (like Stop) when called
  // from inside a call into the plug-in.
  Status Start();
  // Stops the plug-in and destroys its instance (see above for threads). Stopping a stopped
  // host does nothing.
  Status Stop();
  bool running() const;

  // The plug-in's six memory counters (entry table MemoryStats); fails once it is stopped.
  Result<MemoryCounters> MemoryStats();

  // Delivers an event to every subscription the plug-in holds for `name`, with the payload
  // borrowed for the length of each callback and `flags` in the record. Returns how many
  // callbacks were called: 0 when there is no subscription or the plug-in is stopping.
  size_t Publish(std::string_view name, const OwnedHostValue& payload, uint32_t flags = 0);
  // Publish(ResourceEventName(uri), ResourceEventPayload(uri, type, data)).
  size_t PublishResourceEvent(std::string_view uri, ResourceEventType type, OwnedHostValue data);
  std::vector<SubscriptionInfo> Subscriptions() const;

  // Calls the endpoint that the method and path route to, and copies the answer out (the
  // whole stream, for a streamed one), releasing the plug-in's record once.
  Response Call(const CallRequest& request);
  Response Call(uint32_t method, std::string_view path, std::string_view content_type = {},
                std::string_view body = {}, std::span<const CallHeader> headers = {});

  // As Call, but hands the answer to `reader(const ResponseView&)` in place, before the record
  // is released: nothing is copied unless the reader copies it. The stream, if any, is closed
  // and the record released after the reader returns (also when it throws).
  template <typename Reader>
  void CallInPlace(const CallRequest& request, Reader&& reader) {
    using R = std::remove_reference_t<Reader>;
    CallWithReader(request, ReaderRef{&reader, [](void* object, const ResponseView& view) {
                                        (*static_cast<R*>(object))(view);
                                      }});
  }

  HostCounters counters() const;

  // The part of the host that the call table reaches; defined in plugin_host.cc.
  class Impl;

 private:
  struct ReaderRef {
    void* object;
    void (*call)(void* object, const ResponseView& view);
  };

  explicit PluginHost(std::unique_ptr<Impl> impl);
  void CallWithReader(const CallRequest& request, ReaderRef reader);

  std::unique_ptr<Impl> impl_;
};

}  // namespace plugin_host

#endif  // TOOLS_PLUGIN_HOST_PLUGIN_HOST_H_
