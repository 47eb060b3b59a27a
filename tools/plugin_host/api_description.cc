// The walk of a plug-in's API description record (see api_description.h).
#include "tools/plugin_host/api_description.h"

#include <array>
#include <cstring>
#include <utility>

namespace plugin_host {
namespace {

constexpr std::array<std::string_view, 8> kMethodNames = {"",        "DELETE", "GET",  "HEAD",
                                                          "OPTIONS", "PATCH",  "POST", "PUT"};

// "1 entry", "2 entries".
std::string Entries(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

// Walks one record, failing at the first thing that is wrong. `where` names the entry being
// read, for the message.
class Walker {
 public:
  explicit Walker(const DescriptionLimits& limits) : limits_(limits) {}

  const std::string& error() const { return error_; }

  bool Fail(const std::string& where, const std::string& what) {
    error_ = where.empty() ? what : where + ": " + what;
    return false;
  }

  // A list with a count: walks exactly `count` entries along the `next` pointers, calling
  // visit(entry, index) for each, and checks that the chain ends there.
  template <typename Entry, typename Next, typename Visit>
  bool Chain(const Entry* first, uint32_t count, const std::string& where, Next next, Visit visit) {
    if (count > limits_.max_list_entries) {
      return Fail(where, "a count of " + std::to_string(count) + " is above the limit of " +
                             std::to_string(limits_.max_list_entries));
    }
    if (first == nullptr) {
      if (count == 0) return true;
      return Fail(where, "a count of " + std::to_string(count) + " but no entries");
    }
    if (count == 0) return Fail(where, "entries but a count of 0");
    const Entry* entry = first;
    for (uint32_t i = 0; i < count; ++i) {
      if (entry == nullptr) {
        return Fail(where, "the chain ends after " + Entries(i) + ", but its count is " +
                               std::to_string(count));
      }
      if (!Visit1()) return Fail(where, TooManyEntries());
      if (!visit(*entry, i)) return false;
      entry = next(*entry);
    }
    if (entry != nullptr) {
      return Fail(where,
                  "the chain goes on past its count of " + std::to_string(count) + " (or loops)");
    }
    return true;
  }

  // A list without a count: walks until the chain ends, which it must within the limit.
  template <typename Entry, typename Next, typename Visit>
  bool OpenChain(const Entry* first, const std::string& where, Next next, Visit visit) {
    uint32_t i = 0;
    for (const Entry* entry = first; entry != nullptr; entry = next(*entry), ++i) {
      if (i >= limits_.max_list_entries) {
        return Fail(where, "the chain does not end within " + Entries(limits_.max_list_entries) +
                               " (it loops)");
      }
      if (!Visit1()) return Fail(where, TooManyEntries());
      if (!visit(*entry, i)) return false;
    }
    return true;
  }

  // A NUL-terminated text; null reads as empty unless the text is required.
  bool Text(const char* text, const std::string& where, std::string_view what, bool required,
            std::string& out) {
    if (text == nullptr) {
      out.clear();
      if (required) return Fail(where, "no " + std::string(what));
      return true;
    }
    const void* nul = std::memchr(text, '\0', size_t{limits_.max_text_bytes} + 1);
    if (nul == nullptr) {
      return Fail(where, "the " + std::string(what) + " does not end within " +
                             std::to_string(limits_.max_text_bytes) + " bytes");
    }
    out.assign(text, static_cast<const char*>(nul));
    if (required && out.empty()) return Fail(where, "an empty " + std::string(what));
    return true;
  }

  // An array of `count` text pointers.
  bool Texts(const char* const* texts, uint32_t count, const std::string& where,
             std::string_view what, std::vector<std::string>& out) {
    out.clear();
    if (count > limits_.max_list_entries) {
      return Fail(where, std::string(what) + ": a count of " + std::to_string(count) +
                             " is above the limit");
    }
    if (texts == nullptr) {
      if (count == 0) return true;
      return Fail(where,
                  std::string(what) + ": a count of " + std::to_string(count) + " but no array");
    }
    if (count == 0) return Fail(where, std::string(what) + ": an array but a count of 0");
    out.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      if (!Visit1()) return Fail(where, TooManyEntries());
      if (!Text(texts[i], where, std::string(what) + " " + std::to_string(i), false, out[i])) {
        return false;
      }
    }
    return true;
  }

  bool Type(const PluginTypeReference& reference, const std::string& where, TypeReference& out) {
    if (reference.type_code > kPluginTypeMap || reference.element_type_code > kPluginTypeMap) {
      return Fail(where, "type code " + std::to_string(reference.type_code) + "/" +
                             std::to_string(reference.element_type_code) + " is not one of 0-19");
    }
    out.code = reference.type_code;
    out.element_code = reference.element_type_code;
    return Text(reference.type_name, where, "type name", false, out.name);
  }

 private:
  bool Visit1() { return ++visited_ <= limits_.max_entries; }
  std::string TooManyEntries() const {
    return "the description holds more than " + Entries(limits_.max_entries);
  }

  const DescriptionLimits& limits_;
  uint64_t visited_ = 0;
  std::string error_;
};

std::string Named(std::string_view kind, uint32_t index, std::string_view name) {
  std::string where = std::string(kind) + " " + std::to_string(index);
  if (!name.empty()) where += " (" + std::string(name) + ")";
  return where;
}

bool ReadEndpoint(Walker& walker, const PluginEndpointRecord& record, uint32_t index,
                  EndpointDescription& out) {
  const PluginFunctionEntry function = record.function;
  std::string where = Named("endpoint", index, {});
  if (!walker.Text(function.name, where, "function name", false, out.name)) return false;
  where = Named("endpoint", index, out.name);
  if (!walker.Text(function.name_space, where, "name space", false, out.name_space) ||
      !walker.Text(function.description, where, "description", false, out.description) ||
      !walker.Text(function.help, where, "help text", false, out.help) ||
      !walker.Text(function.async_event_type, where, "async event type", false,
                   out.async_event_type) ||
      !walker.Type(function.returns, where + ": return type", out.returns) ||
      !walker.Texts(function.tags, function.tag_count, where, "tag", out.tags) ||
      !walker.Text(record.path_template, where, "path template", false, out.path_template) ||
      !walker.Text(record.custom_method, where, "custom method", false, out.custom_method)) {
    return false;
  }
  out.thread_safe = function.thread_safe != 0;
  out.flag = record.flag != 0;
  out.method = record.method;
  if (out.method > kPluginMethodCustom) {
    return walker.Fail(where, "method code " + std::to_string(out.method) + " is not one of 0-8");
  }
  if (out.method == kPluginMethodCustom && out.custom_method.empty()) {
    return walker.Fail(where, "a custom method without a name");
  }
  if (out.RouteTemplate().empty()) {
    return walker.Fail(where, "neither a path template nor a function name to route by");
  }
  out.request_entry = record.request_entry;
  out.endpoint_context = function.endpoint_context;
  if (out.request_entry == nullptr) return walker.Fail(where, "no request entry");

  const bool parameters_ok = walker.Chain(
      function.arguments, function.argument_count, where + ": parameters",
      [](const PluginArgumentEntry& e) { return e.next; },
      [&](const PluginArgumentEntry& e, uint32_t i) {
        ParameterDescription& parameter = out.parameters.emplace_back();
        const std::string at = where + ": parameter " + std::to_string(i);
        parameter.optional = e.optional != 0;
        return walker.Text(e.name, at, "name", false, parameter.name) &&
               walker.Text(e.description, at, "description", false, parameter.description) &&
               walker.Type(e.type, at, parameter.type);
      });
  if (!parameters_ok) return false;

  const bool locations_ok = walker.OpenChain(
      record.locations, where + ": locations",
      [](const PluginParameterLocationEntry& e) { return e.next; },
      [&](const PluginParameterLocationEntry& e, uint32_t i) {
        if (e.location > kPluginArgumentBody) {
          return walker.Fail(where, "location " + std::to_string(i) + " has the code " +
                                        std::to_string(e.location) + ", not one of 0-5");
        }
        out.locations.push_back(e.location);
        return true;
      });
  if (!locations_ok) return false;
  for (size_t i = 0; i < out.parameters.size() && i < out.locations.size(); ++i) {
    out.parameters[i].location = out.locations[i];
  }

  return walker.Chain(
      record.text_lists, record.text_list_count, where + ": text lists",
      [](const PluginTextListEntry& e) { return e.next; },
      [&](const PluginTextListEntry& e, uint32_t i) {
        return walker.Texts(e.texts, e.text_count, where + ": text list " + std::to_string(i),
                            "text", out.text_lists.emplace_back());
      });
}

bool ReadType(Walker& walker, const PluginTypeEntry& entry, uint32_t index, TypeDescription& out) {
  std::string where = Named("type", index, {});
  if (!walker.Text(entry.name, where, "name", true, out.name)) return false;
  where = Named("type", index, out.name);
  if (!walker.Text(entry.name_space, where, "name space", false, out.name_space) ||
      !walker.Text(entry.description, where, "description", false, out.description) ||
      !walker.Texts(entry.tags, entry.tag_count, where, "tag", out.tags)) {
    return false;
  }
  out.size = entry.size;
  if (entry.members != nullptr && entry.enumerators != nullptr) {
    return walker.Fail(where, "both members and enumerators");
  }
  if (entry.members != nullptr) {
    out.kind = TypeKind::kStruct;
    return walker.Chain(
        entry.members, entry.count, where + ": members",
        [](const PluginMemberEntry& e) { return e.next; },
        [&](const PluginMemberEntry& e, uint32_t i) {
          MemberDescription& member = out.members.emplace_back();
          const std::string at = where + ": member " + std::to_string(i);
          member.offset = e.offset;
          member.optional = e.optional != 0;
          return walker.Text(e.name, at, "name", true, member.name) &&
                 walker.Text(e.description, at, "description", false, member.description) &&
                 walker.Type(e.type, at, member.type);
        });
  }
  if (entry.enumerators != nullptr) {
    out.kind = TypeKind::kEnum;
    return walker.Chain(
        entry.enumerators, entry.count, where + ": enumerators",
        [](const PluginEnumeratorEntry& e) { return e.next; },
        [&](const PluginEnumeratorEntry& e, uint32_t i) {
          EnumeratorDescription& enumerator = out.enumerators.emplace_back();
          const std::string at = where + ": enumerator " + std::to_string(i);
          enumerator.value = e.value;
          return walker.Text(e.name, at, "name", true, enumerator.name) &&
                 walker.Text(e.description, at, "description", false, enumerator.description);
        });
  }
  out.kind = TypeKind::kEmpty;
  if (entry.count != 0) {
    return walker.Fail(where, "a count of " + std::to_string(entry.count) +
                                  " but neither members nor enumerators");
  }
  return true;
}

bool ReadEvent(Walker& walker, const PluginEventEntry& entry, uint32_t index,
               EventDescription& out) {
  std::string where = Named("event", index, {});
  if (!walker.Text(entry.name, where, "name", true, out.name)) return false;
  where = Named("event", index, out.name);
  return walker.Text(entry.name_space, where, "name space", false, out.name_space) &&
         walker.Text(entry.payload_type_name, where, "payload type name", false,
                     out.payload_type) &&
         walker.Text(entry.description, where, "description", false, out.description) &&
         walker.Texts(entry.tags, entry.tag_count, where, "tag", out.tags);
}

template <typename T>
const T* FindByName(const std::vector<T>& items, std::string_view name) {
  for (const T& item : items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

}  // namespace

const TypeDescription* ApiDescription::FindType(std::string_view name) const {
  return FindByName(types, name);
}
const EndpointDescription* ApiDescription::FindEndpoint(std::string_view name) const {
  return FindByName(endpoints, name);
}
const EventDescription* ApiDescription::FindEvent(std::string_view name) const {
  return FindByName(events, name);
}

Result<ApiDescription> ReadApiDescription(const PluginApiDescription* record,
                                          const DescriptionLimits& limits) {
  if (record == nullptr) return HostError{"no API description record"};
  const PluginApiDescription top = *record;
  Walker walker(limits);
  ApiDescription description;
  const bool ok =
      walker.Chain(
          top.endpoints, top.endpoint_count, "endpoints",
          [](const PluginEndpointRecord& e) {
            return reinterpret_cast<const PluginEndpointRecord*>(e.function.next);
          },
          [&](const PluginEndpointRecord& e, uint32_t i) {
            return ReadEndpoint(walker, e, i, description.endpoints.emplace_back());
          }) &&
      walker.Chain(
          top.types, top.type_count, "types", [](const PluginTypeEntry& e) { return e.next; },
          [&](const PluginTypeEntry& e, uint32_t i) {
            return ReadType(walker, e, i, description.types.emplace_back());
          }) &&
      walker.Chain(
          top.events, top.event_count, "events", [](const PluginEventEntry& e) { return e.next; },
          [&](const PluginEventEntry& e, uint32_t i) {
            return ReadEvent(walker, e, i, description.events.emplace_back());
          });
  if (!ok) return HostError{walker.error()};
  return description;
}

std::string_view MethodName(uint32_t method) {
  return method < kMethodNames.size() ? kMethodNames[method] : std::string_view();
}

uint32_t MethodCode(std::string_view name) {
  for (uint32_t code = 1; code < kMethodNames.size(); ++code) {
    if (kMethodNames[code] == name) return code;
  }
  return kPluginMethodNone;
}

}  // namespace plugin_host
