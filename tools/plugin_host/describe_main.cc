// plugin_host_describe: loads a plug-in with PluginHost and prints what its API description
// says (endpoints with their parameters, types with their members or enumerators, events).
// A program linked with the host library alone, so the build checks through it that the host
// holds no symbol of the plug-in's code.
//
//   plugin_host_describe PLUGIN.so [EXPORT]
#include <cstdio>
#include <string>

#include "tools/plugin_host/plugin_host.h"

namespace {

std::string TypeText(const plugin_host::TypeReference& type) {
  std::string text = "code " + std::to_string(type.code);
  if (type.element_code != 0) text += "/" + std::to_string(type.element_code);
  if (!type.name.empty()) text += " " + type.name;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s PLUGIN.so [EXPORT]\n", argv[0]);
    return 2;
  }
  plugin_host::LoadOptions options;
  if (argc == 3) options.export_name = argv[2];
  auto loaded = plugin_host::PluginHost::Load(argv[1], options);
  if (!loaded.ok()) {
    std::fprintf(stderr, "%s\n", loaded.error().c_str());
    return 1;
  }
  const plugin_host::PluginHost& host = *loaded.value();
  const plugin_host::ApiDescription& d = host.description();
  std::printf("%s, plug-in API %s\n", host.short_name().c_str(), host.api_version().Text().c_str());
  for (const auto& e : d.endpoints) {
    const std::string method = e.method == kPluginMethodCustom
                                   ? e.custom_method
                                   : std::string(plugin_host::MethodName(e.method));
    std::printf("endpoint %s %s -> %s (%s)\n", method.empty() ? "ANY" : method.c_str(),
                std::string(e.RouteTemplate()).c_str(), e.name.c_str(),
                TypeText(e.returns).c_str());
    for (const auto& p : e.parameters) {
      std::printf("  parameter %s: %s, location %u%s\n", p.name.c_str(), TypeText(p.type).c_str(),
                  p.location, p.optional ? ", optional" : "");
    }
  }
  for (const auto& t : d.types) {
    std::printf("type %s (%u bytes)\n", t.name.c_str(), t.size);
    for (const auto& m : t.members) {
      std::printf("  member %s: %s%s\n", m.name.c_str(), TypeText(m.type).c_str(),
                  m.optional ? ", optional" : "");
    }
    for (const auto& n : t.enumerators)
      std::printf("  enumerator %s = %d\n", n.name.c_str(), n.value);
  }
  for (const auto& ev : d.events) {
    std::printf("event %s (%s)\n", ev.name.c_str(), ev.payload_type.c_str());
  }
  return 0;
}
