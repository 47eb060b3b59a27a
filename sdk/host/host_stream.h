// Requests to the host and what they give back: HostOutcome (a result or an error text with a
// status), HostResponse (a response record the host filled, released once), HostStream (a
// streamed response, closed on destruction) and ReadWholeStream, the one loop that reads a
// host stream to its end.
//
// The request operations themselves are members of PluginBase (plugin_base.h), since they go
// through its host slots; this header holds the types they return, which plug-in code uses.
//
// Reading a stream whole: calls of 4096 bytes each; after a short read whose `more` flag is
// still set a wait step lets the host produce more; the loop ends when `more` is false. What the
// host announces as the stream's size is only a hint: at most kStreamReserveLimit bytes are
// reserved up front and the buffer grows as bytes arrive. A read that fails, that claims to have
// delivered more than was asked, that would take the stream past kMaxStreamBytes, or that comes
// after kMaxEmptyStreamReads empty reads in a row ends the read as a failure, so that no host can
// make the plug-in exhaust its memory or spin for ever.
#ifndef SDK_HOST_HOST_STREAM_H_
#define SDK_HOST_HOST_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "sdk/host/plugin_abi.h"

namespace sdk::host {

// The failure of an operation towards the host: its text (one of the request texts, such as
// "Error response for GET /x: Not found") and the host's status code, 0 when none applies.
struct HostError {
  std::string message;
  uint32_t status = 0;
};

// Either the result of an operation towards the host or its error.
template <typename T>
class HostOutcome {
 public:
  HostOutcome(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
  HostOutcome(HostError error) : outcome_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return outcome_.index() == 0; }
  // Only when ok().
  T& value() { return *std::get_if<0>(&outcome_); }
  const T& value() const { return *std::get_if<0>(&outcome_); }
  // Only when !ok().
  const HostError& error() const { return *std::get_if<1>(&outcome_); }

 private:
  std::variant<T, HostError> outcome_;
};

template <>
class HostOutcome<void> {
 public:
  HostOutcome() = default;
  HostOutcome(HostError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  const HostError& error() const { return *error_; }

 private:
  std::optional<HostError> error_;
};

// One response record, all zero until the host fills it. The record is released once, through
// the release function the host stored in it (if any), when the object is destroyed or Release
// is called. The record keeps its address while the object is moved.
class HostResponse {
 public:
  HostResponse();
  ~HostResponse();
  HostResponse(HostResponse&& other) noexcept = default;
  HostResponse& operator=(HostResponse&& other) noexcept;
  HostResponse(const HostResponse&) = delete;
  HostResponse& operator=(const HostResponse&) = delete;

  PluginResponseRecord& record() { return *record_; }
  const PluginResponseRecord& record() const { return *record_; }
  // Calls the record's release function (once) and clears the record.
  void Release();

 private:
  std::unique_ptr<PluginResponseRecord> record_;
};

// Largest number of bytes reserved for a stream before its bytes arrive (64 MiB).
inline constexpr size_t kStreamReserveLimit = size_t{64} << 20;
// Largest stream read whole: the largest blob a value may hold.
inline constexpr size_t kMaxStreamBytes = 0x7FFFFFFF;
// Empty reads in a row after which a stream that still says `more` counts as failed.
inline constexpr uint32_t kMaxEmptyStreamReads = 100000;
// Bytes asked for by each read of a whole-stream read.
inline constexpr uint32_t kStreamReadSize = 4096;

// Reads a host stream to its end into `bytes` (appended), by the rules in the file comment;
// `wait` runs a wait step. Returns false when a read failed; `bytes` then holds what arrived
// before, whose size is the offset of the failure.
bool ReadWholeStream(PluginStreamRead read, void* context, uint32_t announced_size,
                     const std::function<void()>& wait, std::vector<uint8_t>& bytes);

// A streamed response of the host: the response record with its stream hooks. Destroying the
// stream (or Close) calls the host's close function once and then releases the record.
class HostStream {
 public:
  // Takes a response whose stream read function is set.
  explicit HostStream(HostResponse response);
  ~HostStream();
  HostStream(HostStream&& other) noexcept;
  HostStream& operator=(HostStream&& other) noexcept;
  HostStream(const HostStream&) = delete;
  HostStream& operator=(const HostStream&) = delete;

  // The size the host announced (a hint, see the file comment).
  uint32_t announced_size() const;
  bool closed() const { return closed_; }
  // One read: up to *length bytes into `buffer`; sets *length to the bytes delivered and *more
  // to whether more follow. False when the host's read failed, when it claims more bytes than
  // were asked for, or when the stream is closed.
  bool Read(void* buffer, uint32_t* length, bool* more);
  // Calls the host's close function (once) and releases the response.
  void Close();

  // For the whole-stream read.
  PluginStreamRead read_function() const;
  void* context() const;

 private:
  HostResponse response_;
  bool closed_ = false;
};

}  // namespace sdk::host

#endif  // SDK_HOST_HOST_STREAM_H_
