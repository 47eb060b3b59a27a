/*
 * The binary interface between a host process and the sanitizer plug-in.
 *
 * This is the one header a host includes. It is plain C (it compiles as C and as C++) and
 * describes every record that crosses the boundary: the load block handed to the plug-in's
 * single export `load_sanitizer`, the plug-in's entry table, the host's call table, request
 * and response records, host values (the flat, tagged form in which values cross), and event
 * records.
 *
 * The layouts are a wire format. On the 32-bit target every size and offset is fixed and is
 * checked below; on a 64-bit build pointer fields widen to 8 bytes and nothing else changes
 * (records that are packed stay packed, the others take the native layout).
 *
 * Ownership: a record that one side hands to the other stays owned by the side that made it,
 * unless a release function travels with it (the response record). Texts are NUL-terminated
 * UTF-8 unless a length is given.
 */
#ifndef SDK_HOST_PLUGIN_ABI_H_
#define SDK_HOST_PLUGIN_ABI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Host values: three 32-bit words, a tag and an 8-byte payload (12 bytes on the 32-bit target).
 * ---------------------------------------------------------------------------------------- */

/* Tags of a host value. "Owned" buffers were allocated with the plug-in library's allocation
 * functions and are freed by releasing the value; "borrowed" ones belong to whoever made them. */
enum HostValueTag {
  kHostValueEmpty = 0,          /* no payload (all zero) */
  kHostValueBool = 1,           /* payload byte 0: 0 or 1 */
  kHostValueSigned = 2,         /* signed 64-bit */
  kHostValueUnsigned = 3,       /* unsigned 64-bit */
  kHostValueFloat = 4,          /* IEEE double */
  kHostValueStringBorrowed = 5, /* text pointer + length in bytes (without the NUL) */
  kHostValueStringOwned = 6,    /* as 5, owned */
  kHostValueBlobBorrowed = 7,   /* byte pointer + byte count */
  kHostValueBlobOwned = 8,      /* as 7, owned */
  kHostValueCollection = 9,     /* owned array of HostValue + count */
  kHostValueStructure = 10      /* owned array of HostStructureEntry + count */
};

struct HostValue;
struct HostStructureEntry;

/* Host values, structure entries and the response record are packed: no padding anywhere. GCC
 * and Clang take the packed attribute, which also makes C++ copy a packed member before binding a
 * reference to it; #pragma pack gives other compilers (MSVC) the same layout. */
#if defined(__GNUC__) || defined(__clang__)
#define PLUGIN_ABI_PACKED __attribute__((packed))
#else
#define PLUGIN_ABI_PACKED
#endif

#pragma pack(push, 1)

/* A pointer and a 32-bit count: the payload of texts, blobs, collections and structures. */
typedef struct PLUGIN_ABI_PACKED HostValueSpan {
  const void* data; /* text, bytes, HostValue[] or HostStructureEntry[] */
  uint32_t count;   /* bytes of a text (without NUL) or blob; elements of an array */
} HostValueSpan;

typedef struct PLUGIN_ABI_PACKED HostValue {
  uint32_t tag; /* a HostValueTag; tells which member of the payload is meant */
  union PLUGIN_ABI_PACKED {
    uint8_t boolean;         /* kHostValueBool: 0 or 1 */
    int64_t signed_value;    /* kHostValueSigned, low word first */
    uint64_t unsigned_value; /* kHostValueUnsigned, low word first */
    double float_value;      /* kHostValueFloat */
    HostValueSpan span;      /* texts, blobs, collections, structures */
    uint8_t raw[8];          /* the first 8 payload bytes (all of them on the 32-bit target) */
  } payload;
} HostValue;

/* One member of a structure value: 17 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED HostStructureEntry {
  const char* key;   /* member name, NUL-terminated */
  HostValue value;   /* member value */
  uint8_t key_owned; /* 1 when the key text belongs to the entry and is freed with it */
} HostStructureEntry;

#pragma pack(pop)

/* ------------------------------------------------------------------------------------------
 * Requests and responses: the same two records serve both directions.
 * ---------------------------------------------------------------------------------------- */

/* Method codes shared by host and plug-in. A code from the host outside 1..8 counts as 0. */
enum PluginMethodCode {
  kPluginMethodNone = 0,
  kPluginMethodDelete = 1,
  kPluginMethodGet = 2,
  kPluginMethodHead = 3,
  kPluginMethodOptions = 4,
  kPluginMethodPatch = 5,
  kPluginMethodPost = 6,
  kPluginMethodPut = 7,
  kPluginMethodCustom = 8 /* named by PluginRequestRecord.custom_method */
};

/* A typed argument of a request: 16 bytes on the 32-bit target. */
typedef struct PluginTypedArgument {
  const char* name; /* the parameter's name; null for a positional argument */
  HostValue value;  /* the argument; borrowed: the request's sender keeps ownership */
} PluginTypedArgument;

/* A request or response header: 8 bytes on the 32-bit target. */
typedef struct PluginHeader {
  const char* name;  /* NUL-terminated; compared as sent (no case folding) */
  const char* value; /* NUL-terminated */
} PluginHeader;

/* The request record: 48 bytes, twelve 32-bit fields on the 32-bit target. Unused fields are
 * zero. */
typedef struct PluginRequestRecord {
  uint32_t method;                      /* a PluginMethodCode; codes above 8 count as 0 */
  const char* path;                     /* UTF-8, NUL-terminated; may carry a query after "?" */
  const PluginTypedArgument* arguments; /* typed arguments, or null */
  uint32_t argument_count;              /* entries in `arguments` */
  const void* endpoint_context;         /* host -> plug-in only: the endpoint's context pointer
                                           from the API description */
  const PluginHeader* headers;          /* request headers, or null */
  uint32_t header_count;                /* entries in `headers` */
  const char* content_type;             /* of the body, NUL-terminated; may be null */
  const void* body;                     /* null when there is no body */
  uint32_t body_size;                   /* in bytes */
  uintptr_t caller_context;             /* opaque to the receiver; plug-in -> host: the plug-in
                                           id */
  const char* custom_method;            /* method name, read only for kPluginMethodCustom */
} PluginRequestRecord;

/* Reads the next bytes of a streamed response into `buffer`. `*length` holds the buffer size
 * on entry and the number of bytes delivered on return; `*more` tells whether more bytes will
 * follow. Returns non-zero on success. */
typedef uint8_t (*PluginStreamRead)(void* context, void* buffer, uint32_t* length, uint8_t* more);
/* Ends a streamed response; the context is not used afterwards. */
typedef void (*PluginStreamClose)(void* context);

struct PluginResponseRecord;
/* Frees everything a response record points to; called once, by the reader of the record. */
typedef void (*PluginResponseRelease)(struct PluginResponseRecord* response);

/* The response record: 62 bytes, packed, on the 32-bit target. */
#pragma pack(push, 1)
typedef struct PLUGIN_ABI_PACKED PluginResponseRecord {
  HostValue result;               /* the outcome when not streamed */
  const char* error_text;         /* not null means the request failed */
  uint8_t error_flag;             /* 1 when the request failed */
  uint8_t flags;                  /* the host's business; copied through */
  uint32_t code;                  /* 0 to 3; the host's business; copied through */
  uint32_t status_code;           /* HTTP-style status; 0 when none was set */
  const char* content_type;       /* of the result or stream, NUL-terminated */
  const PluginHeader* headers;    /* response headers, or null */
  uint32_t header_count;          /* entries in `headers` */
  PluginStreamRead stream_read;   /* null when the response is not a stream */
  PluginStreamClose stream_close; /* ends the stream; null when not a stream */
  uint32_t stream_size;           /* announced size in bytes */
  uint32_t reserved;              /* zero */
  void* stream_context;           /* first argument of stream_read and stream_close */
  PluginResponseRelease release;  /* frees all of the above; null when there is nothing to free */
} PluginResponseRecord;

#pragma pack(pop)

/* ------------------------------------------------------------------------------------------
 * Events.
 * ---------------------------------------------------------------------------------------- */

/* An event as published by the plug-in and as delivered to a subscription callback:
 * 24 bytes on the 32-bit target. */
typedef struct HostEventRecord {
  const char* name; /* full event name */
  HostValue payload;
  uint32_t flags; /* the flags of the send (0 for the sanitizer's sends) */
  void* context;  /* on delivery: the context given at subscription; zero on send */
} HostEventRecord;

typedef void (*HostEventCallback)(const HostEventRecord* event);

/* Resource events. A change of a resource is published under a name made from its uri:
 * "OnJsonApiEvent" followed by the uri's non-empty "/"-separated pieces, joined with "_",
 * keeping at most 6 items when the first piece is "jat-platform-config" and at most 4
 * otherwise; so "/pavoclient/region-locale" gives "OnJsonApiEvent_pavoclient_region-locale"
 * and "/jat-platform-config/v1/namespaces/Sanitizer" gives
 * "OnJsonApiEvent_jat-platform-config_v1_namespaces_Sanitizer". A plug-in subscribes to that
 * name to follow a resource. The payload is a structure of the "PluginResourceEvent" record that
 * the API description lists among its types: "uri" (text), "eventType" (the enumerator "Create",
 * "Update" or "Delete" of "PluginResourceEventType", by name or number) and "data" (the
 * resource's value). A plug-in that publishes a resource event sends it under the full name and
 * then once more under the plain "OnJsonApiEvent". */

/* ------------------------------------------------------------------------------------------
 * The API description: what the plug-in offers, handed to the host in the load block.
 *
 * A flat, pointer-linked record: the endpoints the host may call (each with the description of
 * its function and the request entry to call), every registered type with its members or
 * enumerators, and every declared event. Texts are NUL-terminated UTF-8 owned by the plug-in;
 * the whole record stays valid until Stop. Every entry's first field points to the next entry
 * of the same list (null in the last), so a list can be walked as a chain or, since each list
 * is one array, by index. All of it is packed.
 * ---------------------------------------------------------------------------------------- */

/* Type codes of members, arguments and return values. */
enum PluginTypeCode {
  kPluginTypeNone = 0, /* no type (a function that returns nothing) */
  kPluginTypeBool = 1,
  kPluginTypeInt8 = 2,
  kPluginTypeUint8 = 3,
  kPluginTypeInt16 = 4,
  kPluginTypeUint16 = 5,
  kPluginTypeInt32 = 6,
  kPluginTypeUint32 = 7,
  kPluginTypeInt64 = 8,
  kPluginTypeUint64 = 9,
  kPluginTypeFloat = 10,
  kPluginTypeDouble = 11,
  kPluginTypeString = 12,
  kPluginTypeObject = 13,   /* any value */
  kPluginTypeBlob = 14,     /* bytes */
  kPluginTypeVector = 15,   /* list of the element type */
  kPluginTypeEnum = 16,     /* a registered enum, named by the type reference */
  kPluginTypeStruct = 17,   /* a registered struct, named by the type reference */
  kPluginTypeCallback = 18,
  kPluginTypeMap = 19       /* map from text to the element type */
};

/* Where the argument of an endpoint's parameter comes from. */
enum PluginArgumentLocation {
  kPluginArgumentAnywhere = 0,
  kPluginArgumentQuery = 1,
  kPluginArgumentPath = 2,
  kPluginArgumentOther = 3, /* no source the host can supply */
  kPluginArgumentHeader = 4,
  kPluginArgumentBody = 5
};

/* The per-endpoint request entry: fills `response` for `request`; the host releases the
 * response through its release function. */
typedef void (*PluginRequestEntry)(PluginResponseRecord* response,
                                   const PluginRequestRecord* request);

#pragma pack(push, 1)

/* A type: 12 bytes on the 32-bit target. For a vector or map, `element_type_code` is the
 * element's code; `type_name` names the registered enum or struct (of the element, for a
 * vector or map), and is the empty text otherwise. */
typedef struct PLUGIN_ABI_PACKED PluginTypeReference {
  uint32_t type_code;         /* a PluginTypeCode */
  uint32_t element_type_code; /* a PluginTypeCode; kPluginTypeNone unless a vector or map */
  const char* type_name;
} PluginTypeReference;

/* One parameter of a function: 25 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED PluginArgumentEntry {
  const struct PluginArgumentEntry* next;
  const char* name;
  const char* description;
  PluginTypeReference type;
  uint8_t optional; /* 1 when the caller may leave the argument out */
} PluginArgumentEntry;

/* One function: 61 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED PluginFunctionEntry {
  /* The next entry. In an endpoint record this is the next endpoint record (which begins with
   * its function entry). */
  const struct PluginFunctionEntry* next;
  uint32_t reserved;            /* zero */
  const void* endpoint_context; /* in an endpoint record: the request records' endpoint
                                   context for this endpoint */
  const char* name;
  const char* name_space;
  const PluginArgumentEntry* arguments; /* null when there are none */
  uint32_t argument_count;
  PluginTypeReference returns; /* type code kPluginTypeNone when nothing is returned */
  const char* description;
  const char* help;
  uint8_t thread_safe;
  const char* async_event_type; /* registered type name; the empty text when not async */
  const char* const* tags;      /* null when there are none */
  uint32_t tag_count;
} PluginFunctionEntry;

/* Where one parameter's argument comes from: 8 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED PluginParameterLocationEntry {
  const struct PluginParameterLocationEntry* next;
  uint32_t location; /* a PluginArgumentLocation; one entry per parameter, in order */
} PluginParameterLocationEntry;

/* A list of texts kept with an endpoint: 12 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED PluginTextListEntry {
  const struct PluginTextListEntry* next;
  const char* const* texts;
  uint32_t text_count;
} PluginTextListEntry;

/* One endpoint: 90 bytes on the 32-bit target. The host routes a request by method and path
 * template and calls `request_entry` with a request record whose endpoint context is
 * `function.endpoint_context`. */
typedef struct PLUGIN_ABI_PACKED PluginEndpointRecord {
  PluginFunctionEntry function;   /* function.next links the endpoint records */
  PluginRequestEntry request_entry;
  const PluginParameterLocationEntry* locations; /* null when the function has no parameter */
  const char* path_template;      /* "/v1/items/{id}"; "{+name}" takes the rest of the path */
  uint32_t method;                /* a PluginMethodCode; kPluginMethodNone: any method */
  uint8_t flag;
  const PluginTextListEntry* text_lists;
  uint32_t text_list_count;
  const char* custom_method; /* the method's name for kPluginMethodCustom */
} PluginEndpointRecord;

/* One struct member: 29 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED PluginMemberEntry {
  const struct PluginMemberEntry* next;
  const char* name;
  const char* description;
  uint32_t offset; /* in the plug-in's native record */
  PluginTypeReference type;
  uint8_t optional; /* 1 when the member may be absent */
} PluginMemberEntry;

/* One enumerator: 16 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED PluginEnumeratorEntry {
  const struct PluginEnumeratorEntry* next;
  const char* name;
  const char* description;
  int32_t value;
} PluginEnumeratorEntry;

/* One registered struct or enum: 40 bytes on the 32-bit target. A struct has members and no
 * enumerators; an enum has enumerators and no members; `count` counts whichever it has. */
typedef struct PLUGIN_ABI_PACKED PluginTypeEntry {
  const struct PluginTypeEntry* next;
  const char* name;
  const char* name_space;
  uint32_t size; /* of the plug-in's native record */
  const char* description;
  const char* const* tags;
  uint32_t tag_count;
  const PluginMemberEntry* members;
  const PluginEnumeratorEntry* enumerators;
  uint32_t count;
} PluginTypeEntry;

/* One event: 28 bytes on the 32-bit target. */
typedef struct PLUGIN_ABI_PACKED PluginEventEntry {
  const struct PluginEventEntry* next;
  const char* name;
  const char* name_space;
  const char* payload_type_name; /* a registered struct */
  const char* description;
  const char* const* tags;
  uint32_t tag_count;
} PluginEventEntry;

/* The record that the load block points to: 24 bytes on the 32-bit target. Empty lists have a
 * null pointer and a count of 0. */
typedef struct PLUGIN_ABI_PACKED PluginApiDescription {
  const PluginEndpointRecord* endpoints;
  uint32_t endpoint_count;
  const PluginTypeEntry* types;
  uint32_t type_count;
  const PluginEventEntry* events;
  uint32_t event_count;
} PluginApiDescription;

#pragma pack(pop)

/* ------------------------------------------------------------------------------------------
 * Tables and the load block.
 * ---------------------------------------------------------------------------------------- */

struct HostCallTable;

/* The host's services. Every entry takes the table itself as its first argument. */
typedef struct HostCallTable {
  /* 0: performs one request synchronously, filling the response. */
  void (*HostRequest)(const struct HostCallTable* table, PluginResponseRecord* response,
                      const PluginRequestRecord* request);
  /* 1: not called by the plug-in. */
  void (*HostCall1)(const struct HostCallTable* table, uint32_t a, uint32_t b);
  /* 2: publishes one event. */
  void (*HostSendEvent)(const struct HostCallTable* table, const HostEventRecord* event);
  /* 3: subscribes to an event by name; the host later calls callback for each such event,
   * with `context` in the record. */
  void (*HostSubscribe)(const struct HostCallTable* table, const char* name, uint32_t plugin_id,
                        HostEventCallback callback, void* context, uint32_t flags);
  /* 4: ends a subscription. */
  void (*HostUnsubscribe)(const struct HostCallTable* table, const char* name, uint32_t plugin_id);
  /* 5: not called by the plug-in. */
  void (*HostCall5)(const struct HostCallTable* table, uint32_t a, uint32_t b, uint32_t c,
                    uint64_t d, uint32_t e);
  /* 6, 7, 8: a wait step is the calls 7 ("Wait: yield", 0), 6, then 8, whose result is the
   * wait step's result. */
  void (*HostCall6)(const struct HostCallTable* table);
  void (*HostCall7)(const struct HostCallTable* table, const char* text, uint32_t word);
  uint64_t (*HostCall8)(const struct HostCallTable* table);
  /* 9: writes one log line; levels 0 OKAY, 1 WARN, 2 ERROR, 3 ALWAYS. */
  void (*HostLog)(const struct HostCallTable* table, int32_t level, const char* text);
} HostCallTable;

/* Handed by the host to Start. */
typedef struct HostContext {
  const HostCallTable* call_table;
  uint32_t plugin_id; /* passed back on every subscription and request */
} HostContext;

/* The plug-in's entries, called by the host with the instance from the load block. */
typedef struct PluginEntryTable {
  /* Connects the plug-in to the host and initialises it; non-zero on success. The plug-in keeps
   * the context pointer. */
  uint8_t (*Start)(void* instance, const HostContext* context);
  /* Finalises and destroys the instance; no call on it follows. */
  void (*Stop)(void* instance);
  /* Fills 14 words: six unsigned 64-bit counters as low/high word pairs (peak bytes in use,
   * peak live allocations, bytes allocated, allocations, bytes freed, frees), then two zeros. */
  void (*MemoryStats)(void* instance, uint32_t* out_words);
} PluginEntryTable;

/* In/out block of load_sanitizer. The host fills the version; the plug-in writes all fields. */
typedef struct PluginLoadBlock {
  uint32_t api_major;                  /* in: the core's plug-in API version; out: the plug-in's */
  uint32_t api_minor;                  /* as api_major */
  uint32_t api_patch;                  /* as api_major */
  const PluginEntryTable* entry_table; /* out */
  void* instance;                      /* out: first argument of every entry */
  const char* short_name;              /* out: "sanitizer" */
  const PluginApiDescription* api_description; /* out: what the plug-in offers */
} PluginLoadBlock;

/* The plug-in library's single export, named "load_" followed by the plug-in's short name
 * (`load_sanitizer`). */
typedef void (*PluginLoadFunction)(PluginLoadBlock* block);

/* ------------------------------------------------------------------------------------------
 * Layout checks. On the 32-bit target the sizes and offsets are exact; on a 64-bit build the
 * same declarations give the native layout with 8-byte pointers.
 * ---------------------------------------------------------------------------------------- */
#ifdef __cplusplus
#define PLUGIN_ABI_STATIC_ASSERT static_assert
#else
#define PLUGIN_ABI_STATIC_ASSERT _Static_assert
#endif

#define PLUGIN_ABI_P (sizeof(void*)) /* pointer width */
#define PLUGIN_ABI_CHECK_SIZE(type, bytes) \
  PLUGIN_ABI_STATIC_ASSERT(sizeof(type) == (bytes), "size of " #type)
#define PLUGIN_ABI_CHECK_OFFSET(type, field, bytes) \
  PLUGIN_ABI_STATIC_ASSERT(offsetof(type, field) == (bytes), "offset of " #type "." #field)

PLUGIN_ABI_CHECK_SIZE(HostValueSpan, PLUGIN_ABI_P + 4);
PLUGIN_ABI_CHECK_OFFSET(HostValueSpan, count, PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_SIZE(HostValue, 4 + PLUGIN_ABI_P + 4);
PLUGIN_ABI_CHECK_OFFSET(HostValue, payload, 4);
PLUGIN_ABI_CHECK_SIZE(HostStructureEntry, PLUGIN_ABI_P + 4 + PLUGIN_ABI_P + 4 + 1);
PLUGIN_ABI_CHECK_OFFSET(HostStructureEntry, value, PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostStructureEntry, key_owned, PLUGIN_ABI_P + 4 + PLUGIN_ABI_P + 4);
PLUGIN_ABI_CHECK_OFFSET(PluginTypedArgument, value, PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginHeader, value, PLUGIN_ABI_P);

/* Tables of function pointers, in the order given, and the context handed to Start. */
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostRequest, 0);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostCall1, PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostSendEvent, 2 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostSubscribe, 3 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostUnsubscribe, 4 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostCall5, 5 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostCall6, 6 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostCall7, 7 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostCall8, 8 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostLog, 9 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_SIZE(HostCallTable, 10 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginEntryTable, Start, 0);
PLUGIN_ABI_CHECK_OFFSET(PluginEntryTable, Stop, PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginEntryTable, MemoryStats, 2 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_SIZE(PluginEntryTable, 3 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(HostContext, plugin_id, PLUGIN_ABI_P);

/* Packed response record: every field follows the previous one without padding. */
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, error_text, 4 + PLUGIN_ABI_P + 4);
#define PLUGIN_ABI_R0 (4 + PLUGIN_ABI_P + 4 + PLUGIN_ABI_P) /* end of error_text */
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, error_flag, PLUGIN_ABI_R0);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, flags, PLUGIN_ABI_R0 + 1);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, code, PLUGIN_ABI_R0 + 2);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, status_code, PLUGIN_ABI_R0 + 6);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, content_type, PLUGIN_ABI_R0 + 10);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, headers, PLUGIN_ABI_R0 + 10 + PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, header_count, PLUGIN_ABI_R0 + 10 + 2 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_read, PLUGIN_ABI_R0 + 14 + 2 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_close, PLUGIN_ABI_R0 + 14 + 3 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_size, PLUGIN_ABI_R0 + 14 + 4 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, reserved, PLUGIN_ABI_R0 + 18 + 4 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_context,
                        PLUGIN_ABI_R0 + 22 + 4 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, release, PLUGIN_ABI_R0 + 22 + 5 * PLUGIN_ABI_P);
PLUGIN_ABI_CHECK_SIZE(PluginResponseRecord, PLUGIN_ABI_R0 + 22 + 6 * PLUGIN_ABI_P);


/* The API description: packed, each field right after the previous one. */
#define PLUGIN_ABI_CHECK_PACKED(type, field, words, bytes) \
  PLUGIN_ABI_CHECK_OFFSET(type, field, (words) * PLUGIN_ABI_P + (bytes))
PLUGIN_ABI_CHECK_SIZE(PluginTypeReference, PLUGIN_ABI_P + 8);
PLUGIN_ABI_CHECK_PACKED(PluginTypeReference, type_name, 0, 8);
PLUGIN_ABI_CHECK_SIZE(PluginArgumentEntry, 3 * PLUGIN_ABI_P + (PLUGIN_ABI_P + 8) + 1);
PLUGIN_ABI_CHECK_PACKED(PluginArgumentEntry, type, 3, 0);
PLUGIN_ABI_CHECK_PACKED(PluginArgumentEntry, optional, 4, 8);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, reserved, 1, 0);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, endpoint_context, 1, 4);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, name, 2, 4);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, name_space, 3, 4);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, arguments, 4, 4);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, argument_count, 5, 4);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, returns, 5, 8);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, description, 6, 16);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, help, 7, 16);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, thread_safe, 8, 16);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, async_event_type, 8, 17);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, tags, 9, 17);
PLUGIN_ABI_CHECK_PACKED(PluginFunctionEntry, tag_count, 10, 17);
PLUGIN_ABI_CHECK_SIZE(PluginFunctionEntry, 10 * PLUGIN_ABI_P + 21);
PLUGIN_ABI_CHECK_SIZE(PluginParameterLocationEntry, PLUGIN_ABI_P + 4);
PLUGIN_ABI_CHECK_SIZE(PluginTextListEntry, 2 * PLUGIN_ABI_P + 4);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, request_entry, 10, 21);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, locations, 11, 21);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, path_template, 12, 21);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, method, 13, 21);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, flag, 13, 25);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, text_lists, 13, 26);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, text_list_count, 14, 26);
PLUGIN_ABI_CHECK_PACKED(PluginEndpointRecord, custom_method, 14, 30);
PLUGIN_ABI_CHECK_SIZE(PluginEndpointRecord, 15 * PLUGIN_ABI_P + 30);
PLUGIN_ABI_CHECK_PACKED(PluginMemberEntry, offset, 3, 0);
PLUGIN_ABI_CHECK_PACKED(PluginMemberEntry, type, 3, 4);
PLUGIN_ABI_CHECK_PACKED(PluginMemberEntry, optional, 4, 12);
PLUGIN_ABI_CHECK_SIZE(PluginMemberEntry, 4 * PLUGIN_ABI_P + 13);
PLUGIN_ABI_CHECK_PACKED(PluginEnumeratorEntry, value, 3, 0);
PLUGIN_ABI_CHECK_SIZE(PluginEnumeratorEntry, 3 * PLUGIN_ABI_P + 4);
PLUGIN_ABI_CHECK_PACKED(PluginTypeEntry, size, 3, 0);
PLUGIN_ABI_CHECK_PACKED(PluginTypeEntry, description, 3, 4);
PLUGIN_ABI_CHECK_PACKED(PluginTypeEntry, tags, 4, 4);
PLUGIN_ABI_CHECK_PACKED(PluginTypeEntry, tag_count, 5, 4);
PLUGIN_ABI_CHECK_PACKED(PluginTypeEntry, members, 5, 8);
PLUGIN_ABI_CHECK_PACKED(PluginTypeEntry, enumerators, 6, 8);
PLUGIN_ABI_CHECK_PACKED(PluginTypeEntry, count, 7, 8);
PLUGIN_ABI_CHECK_SIZE(PluginTypeEntry, 7 * PLUGIN_ABI_P + 12);
PLUGIN_ABI_CHECK_PACKED(PluginEventEntry, tags, 5, 0);
PLUGIN_ABI_CHECK_PACKED(PluginEventEntry, tag_count, 6, 0);
PLUGIN_ABI_CHECK_SIZE(PluginEventEntry, 6 * PLUGIN_ABI_P + 4);
PLUGIN_ABI_CHECK_PACKED(PluginApiDescription, endpoint_count, 1, 0);
PLUGIN_ABI_CHECK_PACKED(PluginApiDescription, types, 1, 4);
PLUGIN_ABI_CHECK_PACKED(PluginApiDescription, type_count, 2, 4);
PLUGIN_ABI_CHECK_PACKED(PluginApiDescription, events, 2, 8);
PLUGIN_ABI_CHECK_PACKED(PluginApiDescription, event_count, 3, 8);
PLUGIN_ABI_CHECK_SIZE(PluginApiDescription, 3 * PLUGIN_ABI_P + 12);
#undef PLUGIN_ABI_CHECK_PACKED

#if UINTPTR_MAX == 0xFFFFFFFFu
/* The 32-bit target: exact figures. */
PLUGIN_ABI_CHECK_SIZE(HostValue, 12);
PLUGIN_ABI_CHECK_SIZE(HostStructureEntry, 17);
PLUGIN_ABI_CHECK_SIZE(HostValueSpan, 8);
PLUGIN_ABI_CHECK_OFFSET(HostStructureEntry, value, 4);
PLUGIN_ABI_CHECK_OFFSET(HostStructureEntry, key_owned, 16);
PLUGIN_ABI_CHECK_SIZE(PluginTypedArgument, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginTypedArgument, value, 4);
PLUGIN_ABI_CHECK_SIZE(PluginHeader, 8);
PLUGIN_ABI_CHECK_OFFSET(PluginHeader, value, 4);
PLUGIN_ABI_CHECK_SIZE(PluginRequestRecord, 48);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, method, 0);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, path, 4);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, arguments, 8);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, argument_count, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, endpoint_context, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, headers, 20);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, header_count, 24);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, content_type, 28);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, body, 32);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, body_size, 36);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, caller_context, 40);
PLUGIN_ABI_CHECK_OFFSET(PluginRequestRecord, custom_method, 44);
PLUGIN_ABI_CHECK_SIZE(PluginResponseRecord, 62);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, result, 0);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, error_text, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, error_flag, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, flags, 17);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, code, 18);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, status_code, 22);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, content_type, 26);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, headers, 30);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, header_count, 34);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_read, 38);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_close, 42);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_size, 46);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, reserved, 50);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, stream_context, 54);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, release, 58);
PLUGIN_ABI_CHECK_SIZE(HostEventRecord, 24);
PLUGIN_ABI_CHECK_OFFSET(HostEventRecord, name, 0);
PLUGIN_ABI_CHECK_OFFSET(HostEventRecord, payload, 4);
PLUGIN_ABI_CHECK_OFFSET(HostEventRecord, flags, 16);
PLUGIN_ABI_CHECK_OFFSET(HostEventRecord, context, 20);
PLUGIN_ABI_CHECK_SIZE(HostCallTable, 40);
PLUGIN_ABI_CHECK_OFFSET(HostCallTable, HostLog, 36);
PLUGIN_ABI_CHECK_SIZE(HostContext, 8);
PLUGIN_ABI_CHECK_OFFSET(HostContext, plugin_id, 4);
PLUGIN_ABI_CHECK_SIZE(PluginEntryTable, 12);
PLUGIN_ABI_CHECK_SIZE(PluginLoadBlock, 28);
PLUGIN_ABI_CHECK_OFFSET(PluginLoadBlock, api_major, 0);
PLUGIN_ABI_CHECK_OFFSET(PluginLoadBlock, api_minor, 4);
PLUGIN_ABI_CHECK_OFFSET(PluginLoadBlock, api_patch, 8);
PLUGIN_ABI_CHECK_OFFSET(PluginLoadBlock, entry_table, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginLoadBlock, instance, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginLoadBlock, short_name, 20);
PLUGIN_ABI_CHECK_OFFSET(PluginLoadBlock, api_description, 24);
PLUGIN_ABI_CHECK_SIZE(PluginTypeReference, 12);
PLUGIN_ABI_CHECK_SIZE(PluginArgumentEntry, 25);
PLUGIN_ABI_CHECK_OFFSET(PluginArgumentEntry, type, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginArgumentEntry, optional, 24);
PLUGIN_ABI_CHECK_SIZE(PluginFunctionEntry, 61);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, reserved, 4);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, endpoint_context, 8);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, name, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, name_space, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, arguments, 20);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, argument_count, 24);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, returns, 28);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, description, 40);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, help, 44);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, thread_safe, 48);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, async_event_type, 49);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, tags, 53);
PLUGIN_ABI_CHECK_OFFSET(PluginFunctionEntry, tag_count, 57);
PLUGIN_ABI_CHECK_SIZE(PluginParameterLocationEntry, 8);
PLUGIN_ABI_CHECK_OFFSET(PluginParameterLocationEntry, location, 4);
PLUGIN_ABI_CHECK_SIZE(PluginTextListEntry, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginTextListEntry, texts, 4);
PLUGIN_ABI_CHECK_OFFSET(PluginTextListEntry, text_count, 8);
PLUGIN_ABI_CHECK_SIZE(PluginEndpointRecord, 90);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, request_entry, 61);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, locations, 65);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, path_template, 69);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, method, 73);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, flag, 77);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, text_lists, 78);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, text_list_count, 82);
PLUGIN_ABI_CHECK_OFFSET(PluginEndpointRecord, custom_method, 86);
PLUGIN_ABI_CHECK_SIZE(PluginMemberEntry, 29);
PLUGIN_ABI_CHECK_OFFSET(PluginMemberEntry, offset, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginMemberEntry, type, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginMemberEntry, optional, 28);
PLUGIN_ABI_CHECK_SIZE(PluginEnumeratorEntry, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginEnumeratorEntry, value, 12);
PLUGIN_ABI_CHECK_SIZE(PluginTypeEntry, 40);
PLUGIN_ABI_CHECK_OFFSET(PluginTypeEntry, size, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginTypeEntry, description, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginTypeEntry, tags, 20);
PLUGIN_ABI_CHECK_OFFSET(PluginTypeEntry, tag_count, 24);
PLUGIN_ABI_CHECK_OFFSET(PluginTypeEntry, members, 28);
PLUGIN_ABI_CHECK_OFFSET(PluginTypeEntry, enumerators, 32);
PLUGIN_ABI_CHECK_OFFSET(PluginTypeEntry, count, 36);
PLUGIN_ABI_CHECK_SIZE(PluginEventEntry, 28);
PLUGIN_ABI_CHECK_OFFSET(PluginEventEntry, payload_type_name, 12);
PLUGIN_ABI_CHECK_OFFSET(PluginEventEntry, description, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginEventEntry, tags, 20);
PLUGIN_ABI_CHECK_OFFSET(PluginEventEntry, tag_count, 24);
PLUGIN_ABI_CHECK_SIZE(PluginApiDescription, 24);
PLUGIN_ABI_CHECK_OFFSET(PluginApiDescription, types, 8);
PLUGIN_ABI_CHECK_OFFSET(PluginApiDescription, events, 16);
PLUGIN_ABI_CHECK_OFFSET(PluginApiDescription, event_count, 20);
#else
/* A 64-bit build: native layout, pointers widened. */
PLUGIN_ABI_CHECK_SIZE(HostValue, 16);
PLUGIN_ABI_CHECK_SIZE(HostStructureEntry, 25);
PLUGIN_ABI_CHECK_SIZE(PluginResponseRecord, 94);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, status_code, 30);
PLUGIN_ABI_CHECK_SIZE(HostCallTable, 80);
PLUGIN_ABI_CHECK_SIZE(PluginFunctionEntry, 101);
PLUGIN_ABI_CHECK_SIZE(PluginEndpointRecord, 150);
PLUGIN_ABI_CHECK_SIZE(PluginApiDescription, 36);
#endif

#undef PLUGIN_ABI_R0

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* SDK_HOST_PLUGIN_ABI_H_ */
