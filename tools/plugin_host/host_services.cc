// The program-facing pieces of the host's services (see host_services.h): reading a request of
// the plug-in, the stream sources, provider answers and resource events.
#include "tools/plugin_host/host_services.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <system_error>

namespace plugin_host {
namespace {

std::string_view TextOf(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

class MemoryStreamSource final : public StreamSource {
 public:
  explicit MemoryStreamSource(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool Read(char* buffer, size_t capacity, size_t* delivered, bool* more) override {
    const size_t count = std::min(capacity, bytes_.size() - position_);
    if (count != 0) std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    *delivered = count;
    *more = position_ < bytes_.size();
    return true;
  }

 private:
  std::string bytes_;
  size_t position_ = 0;
};

class FileStreamSource final : public StreamSource {
 public:
  FileStreamSource(std::ifstream file, uint64_t size) : file_(std::move(file)), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(char* buffer, size_t capacity, size_t* delivered, bool* more) override {
    *delivered = 0;
    *more = false;
    const uint64_t left = size_ - position_;
    const auto count = static_cast<size_t>(std::min<uint64_t>(capacity, left));
    if (count != 0 && !file_.read(buffer, static_cast<std::streamsize>(count))) return false;
    position_ += count;
    *delivered = count;
    *more = position_ < size_;
    return true;
  }

 private:
  std::ifstream file_;
  uint64_t size_;
  uint64_t position_ = 0;
};

}  // namespace

// ------------------------------------------------------------------------------------------
// ResourceRequest

ResourceRequest::ResourceRequest(const PluginRequestRecord& record)
    : record_(record), path_(TextOf(record.path)) {}

std::string_view ResourceRequest::custom_method() const {
  return record_.method == kPluginMethodCustom ? TextOf(record_.custom_method) : std::string_view();
}

std::string_view ResourceRequest::resource() const { return path_.substr(0, path_.find('?')); }

std::string_view ResourceRequest::query() const {
  const size_t question = path_.find('?');
  return question == std::string_view::npos ? std::string_view() : path_.substr(question + 1);
}

uint32_t ResourceRequest::argument_count() const {
  return record_.arguments == nullptr ? 0 : record_.argument_count;
}

std::string_view ResourceRequest::argument_name(uint32_t index) const {
  if (index >= argument_count()) return {};
  return TextOf(record_.arguments[index].name);
}

HostValueView ResourceRequest::argument(uint32_t index) const {
  if (index >= argument_count()) return HostValueView();
  return HostValueView(&record_.arguments[index].value);
}

std::optional<HostValueView> ResourceRequest::FindArgument(std::string_view name) const {
  std::optional<HostValueView> found;
  for (uint32_t i = 0; i < argument_count(); ++i) {
    if (record_.arguments[i].name != nullptr && name == record_.arguments[i].name) {
      found = argument(i);
    }
  }
  return found;
}

std::optional<std::string_view> ResourceRequest::FindHeader(std::string_view name) const {
  std::optional<std::string_view> found;
  if (record_.headers == nullptr) return found;
  for (uint32_t i = 0; i < record_.header_count; ++i) {
    const PluginHeader& header = record_.headers[i];
    if (header.name != nullptr && name == header.name) found = TextOf(header.value);
  }
  return found;
}

std::string_view ResourceRequest::content_type() const { return TextOf(record_.content_type); }

std::string_view ResourceRequest::body() const {
  if (record_.body == nullptr) return {};
  return std::string_view(static_cast<const char*>(record_.body), record_.body_size);
}

// ------------------------------------------------------------------------------------------
// Streams and answers

std::unique_ptr<StreamSource> MemoryStream(std::string bytes) {
  return std::make_unique<MemoryStreamSource>(std::move(bytes));
}

Result<std::unique_ptr<StreamSource>> FileStream(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return HostError{"Not a readable file: " + path.string()};
  }
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error) return HostError{"Cannot read " + path.string() + ": " + error.message()};
  std::ifstream file(path, std::ios::binary);
  if (!file) return HostError{"Cannot open " + path.string()};
  return std::unique_ptr<StreamSource>(std::make_unique<FileStreamSource>(std::move(file), size));
}

ResourceAnswer ResourceAnswer::Value(OwnedHostValue value, uint32_t status) {
  ResourceAnswer answer;
  answer.status = status;
  answer.value = std::move(value);
  return answer;
}

ResourceAnswer ResourceAnswer::Error(uint32_t status, std::string text) {
  ResourceAnswer answer;
  answer.status = status;
  answer.failed = true;
  answer.error_text = std::move(text);
  return answer;
}

ResourceAnswer ResourceAnswer::Stream(std::unique_ptr<StreamSource> source,
                                      std::string content_type, uint32_t status) {
  ResourceAnswer answer;
  answer.status = status;
  answer.stream = std::move(source);
  answer.content_type = std::move(content_type);
  return answer;
}

// ------------------------------------------------------------------------------------------
// Resource events

std::string ResourceEventName(std::string_view uri) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= uri.size()) {
    size_t end = uri.find('/', start);
    if (end == std::string_view::npos) end = uri.size();
    if (end > start) pieces.push_back(uri.substr(start, end - start));
    start = end + 1;
  }
  // "OnJsonApiEvent" is the first item.
  const size_t keep_pieces = (!pieces.empty() && pieces.front() == "jat-platform-config") ? 5 : 3;
  std::string name = "OnJsonApiEvent";
  for (size_t i = 0; i < pieces.size() && i < keep_pieces; ++i) {
    name += '_';
    name += pieces[i];
  }
  return name;
}

OwnedHostValue ResourceEventPayload(std::string_view uri, ResourceEventType type,
                                    OwnedHostValue data) {
  static constexpr std::string_view kTypeNames[] = {"Create", "Update", "Delete"};
  std::vector<HostMember> members;
  members.push_back({"uri", OwnedHostValue::String(uri)});
  members.push_back({"eventType", OwnedHostValue::String(kTypeNames[static_cast<int>(type)])});
  members.push_back({"data", std::move(data)});
  return OwnedHostValue::Structure(std::move(members));
}

}  // namespace plugin_host
