// The three readers of request bodies, each against a baseline in the same binary:
//  - JSON: ParseJson (RapidJSON's iterative reader feeding a BindingValue builder) against
//    RapidJSON's own Document parse of the same text, so the cost of building the value tree
//    can be quoted as a ratio;
//  - MessagePack: decoding a body of short texts, in MB/s;
//  - YAML: ParseYaml against libyaml's bare event loop over the same text (libyaml bounds it).
// Run with the release preset:
//   build/release/bench/readers_bench
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <yaml.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sdk/binding/message_pack_reader.h"
#include "sdk/dispatch/json_adapter.h"
#include "sdk/dispatch/yaml_adapter.h"

namespace {

using sdk::binding::BindingResult;

// A short chat-like text, different for each index.
std::string ShortText(size_t index) {
  static const char* const kWords[] = {"hello", "there", "friend", "what",  "a",  "nice", "game",
                                       "today", "see",   "you",    "later", "gg", "wp",   "lol"};
  std::string text;
  for (size_t w = 0; w < 3 + index % 5; ++w) {
    if (w) text += ' ';
    text += kWords[(index * 7 + w * 3) % std::size(kWords)];
  }
  return text;
}

// A sanitize-style request body with `count` texts, plus a few members of other kinds.
std::string JsonBody(size_t count) {
  std::string json =
      "{\"level\": 1, \"removeDisallowedChars\": true, \"ratio\": 0.75, \"texts\": [";
  for (size_t i = 0; i < count; ++i) {
    if (i) json += ", ";
    json += '"';
    json += ShortText(i);
    json += '"';
  }
  json += "], \"meta\": [";
  for (size_t i = 0; i < count / 10; ++i) {
    if (i) json += ", ";
    json += "{\"id\": ";
    json += std::to_string(i);
    json += ", \"score\": -";
    json += std::to_string(i * 3);
    json += ", \"tag\": \"t";
    json += std::to_string(i % 7);
    json += "\"}";
  }
  json += "]}";
  return json;
}

std::string YamlBody(size_t count) {
  std::string yaml = "level: 1\nremoveDisallowedChars: true\nratio: 0.75\ntexts:\n";
  for (size_t i = 0; i < count; ++i) {
    yaml += "  - ";
    yaml += ShortText(i);
    yaml += '\n';
  }
  yaml += "meta:\n";
  for (size_t i = 0; i < count / 10; ++i) {
    yaml += "  - id: ";
    yaml += std::to_string(i);
    yaml += "\n    score: -";
    yaml += std::to_string(i * 3);
    yaml += "\n    tag: t";
    yaml += std::to_string(i % 7);
    yaml += '\n';
  }
  return yaml;
}

// {"texts": [count short texts]} in MessagePack.
std::vector<uint8_t> MessagePackBody(size_t count) {
  std::vector<uint8_t> bytes = {0x81,
                                0xA5,
                                't',
                                'e',
                                'x',
                                't',
                                's',
                                0xDC,
                                static_cast<uint8_t>(count >> 8),
                                static_cast<uint8_t>(count)};
  for (size_t i = 0; i < count; ++i) {
    const std::string text = ShortText(i);
    bytes.push_back(static_cast<uint8_t>(0xA0 | text.size()));  // every text is below 32 bytes
    bytes.insert(bytes.end(), text.begin(), text.end());
  }
  return bytes;
}

void BM_JsonRapidJsonDocument(benchmark::State& state) {
  const std::string json = JsonBody(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    if (document.HasParseError()) state.SkipWithError("parse error");
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_JsonRapidJsonDocument)->Arg(10)->Arg(1000)->Arg(100000);

void BM_JsonParseJson(benchmark::State& state) {
  const std::string json = JsonBody(static_cast<size_t>(state.range(0)));
  BindingResult result;
  for (auto _ : state) {
    if (!sdk::dispatch::ParseJson(result, json)) state.SkipWithError("parse error");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_JsonParseJson)->Arg(10)->Arg(1000)->Arg(100000);

void BM_MessagePackDecode(benchmark::State& state) {
  const std::vector<uint8_t> body = MessagePackBody(static_cast<size_t>(state.range(0)));
  BindingResult result;
  for (auto _ : state) {
    size_t consumed = 0;
    if (!sdk::binding::MessagePackReader::Decode(result, &consumed, body.data(), body.size())) {
      state.SkipWithError("decode error");
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MessagePackDecode)->Arg(1000);

void BM_YamlLibyamlEvents(benchmark::State& state) {
  const std::string yaml = YamlBody(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(yaml.data()),
                                 yaml.size());
    size_t events = 0;
    for (;;) {
      yaml_event_t event;
      if (!yaml_parser_parse(&parser, &event)) {
        state.SkipWithError("parse error");
        break;
      }
      const bool end = event.type == YAML_STREAM_END_EVENT;
      yaml_event_delete(&event);
      ++events;
      if (end) break;
    }
    yaml_parser_delete(&parser);
    benchmark::DoNotOptimize(events);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * yaml.size()));
}
BENCHMARK(BM_YamlLibyamlEvents)->Arg(10)->Arg(1000)->Arg(100000);

void BM_YamlParseYaml(benchmark::State& state) {
  const std::string yaml = YamlBody(static_cast<size_t>(state.range(0)));
  BindingResult result;
  for (auto _ : state) {
    if (!sdk::dispatch::ParseYaml(result, yaml)) state.SkipWithError("parse error");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * yaml.size()));
}
BENCHMARK(BM_YamlParseYaml)->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
