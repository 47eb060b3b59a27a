// HandleRequest: the entry through which the host delivers a request for one of the plug-in's
// endpoints, and ReleaseResponse, the function that frees the response it fills.
//
// The host calls HandleRequest with a response record to fill and a request record whose
// endpoint context is the address of an EndpointContext (endpoint.h) that the plug-in handed
// out. HandleRequest matches the request's method and path against the endpoint's route,
// gathers the function's arguments from the request's headers, path placeholders, query, typed
// arguments and body (argument_binding.h), drives the endpoint's handler and writes the outcome
// into the response:
//  - a request that matches no route: error text "Invalid function", status 404;
//  - a failure while binding or converting the arguments: the failure's message as error text
//    with the error flag, the handler not called;
//  - a handler error: its message and status;
//  - success: the result as a host value, status 200 (or whatever the handler set), the
//    handler's content type (an empty text when it set none) and headers, or its stream.
//
// The response owns everything it points to: the texts and arrays are allocated with the
// counting allocation functions (sdk/host/plugin_memory.h) and the record's release function,
// ReleaseResponse, frees all of it; the host calls it once when it is done with the record.
//
// Nothing in the request is trusted: null texts read as empty, null arrays as empty, a body
// pointer of null as no body, and an exception from a handler becomes the error text "Internal
// error" with status 500 instead of leaving the entry.
#ifndef SDK_DISPATCH_REQUEST_DISPATCH_H_
#define SDK_DISPATCH_REQUEST_DISPATCH_H_

#include "sdk/host/plugin_abi.h"

namespace sdk::dispatch {

// The host's per-endpoint request entry. A null response is ignored.
void HandleRequest(PluginResponseRecord* response, const PluginRequestRecord* request);

// Frees what a response filled by HandleRequest points to and leaves the record all zero.
void ReleaseResponse(PluginResponseRecord* response);

}  // namespace sdk::dispatch

#endif  // SDK_DISPATCH_REQUEST_DISPATCH_H_
