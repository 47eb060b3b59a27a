// The sanitizer's three resources: their handlers over a snapshot, and their declaration as
// endpoints.
//
//   GET  /sanitizer/v1/status             → SanitizerStatus (never fails)
//   POST /sanitizer/v1/containsSanitized  "request": ContainsSanitizedRequest (body)
//                                         → ContainsSanitizedResponse
//   POST /sanitizer/v1/sanitize           "request": SanitizeRequest (body) → SanitizeResponse
//
// Absent request members take their defaults: level 1, every switch false. Before the first
// engine exists the two text resources answer 404 "Sanitizer is not ready or available". A
// text that is not valid UTF-8 is answered 400 "Invalid UTF-8 string" by both text resources:
// sanitize checks every element of `texts` and `text` as it decodes it, and a request with one
// invalid text gets no partial answer; containsSanitized checks its text rather than decoding
// it leniently, since a text that does not decode would otherwise reach the engine as an empty
// text and be reported clean whatever it holds.
//
// Each request takes the service's current snapshot once and answers from it alone, so all
// texts of one request are masked by one engine, even when a new one is published meanwhile.
#ifndef PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_RESOURCES_H_
#define PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_RESOURCES_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Plugins/nbx-be-sanitizer/service/sanitizer_records.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_service.h"
#include "Plugins/nbx-be-sanitizer/service/sanitizer_snapshot.h"
#include "sdk/dispatch/endpoint.h"
#include "sdk/dispatch/native_handler.h"

namespace sanitizer::service {

inline constexpr std::string_view kStatusPath = "/sanitizer/v1/status";
inline constexpr std::string_view kContainsSanitizedPath = "/sanitizer/v1/containsSanitized";
inline constexpr std::string_view kSanitizePath = "/sanitizer/v1/sanitize";
// The body parameter of the two POST resources.
inline constexpr std::string_view kRequestParameter = "request";

inline constexpr uint32_t kStatusNotFound = 404;
inline constexpr uint32_t kStatusBadRequest = 400;
inline constexpr std::string_view kNotReadyMessage = "Sanitizer is not ready or available";
inline constexpr std::string_view kInvalidUtf8Message = "Invalid UTF-8 string";

// The status resource: a copy of the snapshot's status.
SanitizerStatus StatusResource(const SanitizerSnapshot& snapshot);
// The containsSanitized resource on the snapshot's engine.
sdk::dispatch::HandlerResult<ContainsSanitizedResponse> ContainsSanitizedResource(
    const SanitizerSnapshot& snapshot, const ContainsSanitizedRequest& request);
// The sanitize resource on the snapshot's engine: `texts` masked in order, then `text`; each
// of them in the response exactly when it was in the request (the answer's value then holds
// the other one as an empty member, as it holds every optional without value); `modified` when
// any masking or removal changed a text.
sdk::dispatch::HandlerResult<SanitizeResponse> SanitizeResource(const SanitizerSnapshot& snapshot,
                                                                const SanitizeRequest& request);

// Declares the three endpoints on `table`, in the order above, each tagged with `api_tags`;
// their handlers answer from `service`'s current snapshot. The records must be registered
// first (RegisterSanitizerRecords). `service` must outlive the table's endpoints.
void DeclareSanitizerEndpoints(sdk::dispatch::EndpointTable& table, const SanitizerService& service,
                               std::span<const std::string> api_tags);

// Everything the plug-in registers: the five records under `type_name_prefix`, then the
// three endpoints, all with `api_tags`.
void RegisterSanitizerApi(sdk::dispatch::EndpointTable& table, std::string_view type_name_prefix,
                          std::span<const std::string> api_tags, const SanitizerService& service);

}  // namespace sanitizer::service

#endif  // PLUGINS_NBX_BE_SANITIZER_SERVICE_SANITIZER_RESOURCES_H_
