// JSON writing of the response records with RapidJSON's writer. See record_json.h.
#include "tools/sanitizer/record_json.h"

#include <map>
#include <string>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace sanitizer::tool {
namespace {

template <typename Writer>
void WriteString(Writer& writer, const std::string& text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

template <typename Writer>
void WriteCounts(Writer& writer, const char* name, const std::map<std::string, uint32_t>& counts) {
  writer.Key(name);
  writer.StartObject();
  for (const auto& [level, count] : counts) {
    WriteString(writer, level);
    writer.Uint(count);
  }
  writer.EndObject();
}

template <typename Writer>
void WriteStatus(Writer& writer, const SanitizerStatus& status) {
  writer.StartObject();
  writer.Key("ready");
  writer.Bool(status.ready);
  writer.Key("region");
  WriteString(writer, status.region);
  writer.Key("locale");
  WriteString(writer, status.locale);
  WriteCounts(writer, "filteredWordCountsByLevel", status.filteredWordCountsByLevel);
  WriteCounts(writer, "whitelistedWordCountsByLevel", status.whitelistedWordCountsByLevel);
  writer.Key("allowedCharsCount");
  writer.Uint(status.allowedCharsCount);
  writer.Key("breakingCharsCount");
  writer.Uint(status.breakingCharsCount);
  writer.Key("projectedCharsCount");
  writer.Uint(status.projectedCharsCount);
  writer.EndObject();
}

}  // namespace

std::string ToJson(const SanitizerStatus& status, bool pretty) {
  rapidjson::StringBuffer buffer;
  if (pretty) {
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 2);
    WriteStatus(writer, status);
  } else {
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    WriteStatus(writer, status);
  }
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ToJson(const ContainsSanitizedResponse& response) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("contains");
  writer.Bool(response.contains);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ToJson(const SanitizeResponse& response) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  if (response.texts) {
    writer.Key("texts");
    writer.StartArray();
    for (const std::string& text : *response.texts) WriteString(writer, text);
    writer.EndArray();
  }
  if (response.text) {
    writer.Key("text");
    WriteString(writer, *response.text);
  }
  writer.Key("modified");
  writer.Bool(response.modified);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace sanitizer::tool
