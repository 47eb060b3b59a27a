// Response records, streams and the whole-stream read.
#include "sdk/host/host_stream.h"

#include <algorithm>
#include <cstring>

namespace sdk::host {

HostResponse::HostResponse() : record_(std::make_unique<PluginResponseRecord>()) {
  std::memset(static_cast<void*>(record_.get()), 0, sizeof(PluginResponseRecord));
}

HostResponse::~HostResponse() { Release(); }

HostResponse& HostResponse::operator=(HostResponse&& other) noexcept {
  if (this != &other) {
    Release();
    record_ = std::move(other.record_);
  }
  return *this;
}

void HostResponse::Release() {
  if (record_ == nullptr) return;
  const PluginResponseRelease release = record_->release;
  if (release != nullptr) release(record_.get());
  std::memset(static_cast<void*>(record_.get()), 0, sizeof(PluginResponseRecord));
}

bool ReadWholeStream(PluginStreamRead read, void* context, uint32_t announced_size,
                     const std::function<void()>& wait, std::vector<uint8_t>& bytes) {
  if (read == nullptr) return false;
  bytes.reserve(bytes.size() + std::min<size_t>(announced_size, kStreamReserveLimit));
  uint32_t empty_reads = 0;
  for (;;) {
    const size_t offset = bytes.size();
    if (offset >= kMaxStreamBytes) return false;  // more bytes than a blob can hold
    bytes.resize(offset + kStreamReadSize);
    uint32_t length = kStreamReadSize;
    uint8_t more = 1;
    const bool ok = read(context, bytes.data() + offset, &length, &more) != 0;
    if (!ok || length > kStreamReadSize || offset + length > kMaxStreamBytes) {
      bytes.resize(offset);
      return false;
    }
    bytes.resize(offset + length);
    if (more == 0) return true;
    empty_reads = length == 0 ? empty_reads + 1 : 0;
    if (empty_reads >= kMaxEmptyStreamReads) return false;
    if (length < kStreamReadSize && wait) wait();
  }
}

HostStream::HostStream(HostResponse response) : response_(std::move(response)) {}

HostStream::~HostStream() { Close(); }

HostStream::HostStream(HostStream&& other) noexcept
    : response_(std::move(other.response_)), closed_(other.closed_) {
  other.closed_ = true;
}

HostStream& HostStream::operator=(HostStream&& other) noexcept {
  if (this != &other) {
    Close();
    response_ = std::move(other.response_);
    closed_ = other.closed_;
    other.closed_ = true;
  }
  return *this;
}

uint32_t HostStream::announced_size() const { return closed_ ? 0 : response_.record().stream_size; }

bool HostStream::Read(void* buffer, uint32_t* length, bool* more) {
  if (closed_ || length == nullptr) return false;
  const PluginResponseRecord& record = response_.record();
  const uint32_t asked = *length;
  uint8_t more_flag = 0;
  const bool ok = record.stream_read != nullptr &&
                  record.stream_read(record.stream_context, buffer, length, &more_flag) != 0;
  if (more != nullptr) *more = more_flag != 0;
  if (!ok || *length > asked) {
    *length = 0;
    return false;
  }
  return true;
}

void HostStream::Close() {
  if (closed_) return;
  closed_ = true;
  const PluginResponseRecord& record = response_.record();
  if (record.stream_close != nullptr) record.stream_close(record.stream_context);
  response_.Release();
}

PluginStreamRead HostStream::read_function() const {
  return closed_ ? nullptr : response_.record().stream_read;
}

void* HostStream::context() const { return closed_ ? nullptr : response_.record().stream_context; }

}  // namespace sdk::host
