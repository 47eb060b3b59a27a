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
  const void* api_description;         /* out: the API description record */
} PluginLoadBlock;

/* The plug-in library's single export. */
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
#else
/* A 64-bit build: native layout, pointers widened. */
PLUGIN_ABI_CHECK_SIZE(HostValue, 16);
PLUGIN_ABI_CHECK_SIZE(HostStructureEntry, 25);
PLUGIN_ABI_CHECK_SIZE(PluginResponseRecord, 94);
PLUGIN_ABI_CHECK_OFFSET(PluginResponseRecord, status_code, 30);
PLUGIN_ABI_CHECK_SIZE(HostCallTable, 80);
#endif

#undef PLUGIN_ABI_R0

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* SDK_HOST_PLUGIN_ABI_H_ */
