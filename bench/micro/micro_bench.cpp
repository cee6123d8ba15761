// SPDX-License-Identifier: MIT
// What the helper spends on its own per request, without any tool running:
// decoding request lines, decoding and reducing an `lsblk` snapshot,
// encoding responses, decoding a passphrase. Built twice: once as the
// libraries alone, once with the executable's wiping operator delete, so the
// difference is what zeroing every freed block costs.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "fields/fields.hpp"
#include "fixtures.hpp"
#include "inventory/inventory.hpp"
#include "service/service.hpp"

namespace {

using tarnwick::Response;

// The largest request text: 1 MiB with its line feed.
constexpr std::size_t kLargestRequestText = 1'048'575;

void decode(benchmark::State& state, const std::string& line) {
  if (!tarnwick::decode_request(line)) {
    state.SkipWithError("the fixture does not decode");
    return;
  }
  for (auto _ : state) {
    auto request = tarnwick::decode_request(line);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.counters["line_bytes"] = static_cast<double>(line.size());
}

void BM_DecodeRequest_Wipe(benchmark::State& state) { decode(state, tdh_bench::wipe_request()); }
void BM_DecodeRequest_LuksFormat(benchmark::State& state) {
  decode(state, tdh_bench::luks_format_request());
}
void BM_DecodeRequest_LuksOpen(benchmark::State& state) {
  decode(state, tdh_bench::luks_open_request());
}
void BM_DecodeRequest_LuksClose(benchmark::State& state) {
  decode(state, tdh_bench::luks_close_request());
}
void BM_DecodeRequest_Mkfs(benchmark::State& state) { decode(state, tdh_bench::mkfs_request()); }
void BM_DecodeRequest_Shutdown(benchmark::State& state) {
  decode(state, tdh_bench::shutdown_request());
}
void BM_DecodeRequest_1MiB_Passphrase(benchmark::State& state) {
  decode(state, tdh_bench::large_passphrase_request(kLargestRequestText));
}
void BM_DecodeRequest_1MiB_IgnoredArray(benchmark::State& state) {
  decode(state, tdh_bench::large_ignored_member_request(kLargestRequestText));
}

// What a burst of malformed requests costs per line: the protocol-only path.
void BM_DecodeRequest_UnknownOp(benchmark::State& state) {
  const std::string line = R"({"op":"nope"})";
  for (auto _ : state) {
    auto request = tarnwick::decode_request(line);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}

void BM_DecodeLsblk_20Drives(benchmark::State& state) {
  const std::string document = tdh_bench::lsblk_document(20);
  if (!tarnwick::inventory::decode_lsblk(document)) {
    state.SkipWithError("the lsblk fixture does not decode");
    return;
  }
  for (auto _ : state) {
    auto root = tarnwick::inventory::decode_lsblk(document);
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
  state.counters["document_bytes"] = static_cast<double>(document.size());
}

void BM_ReduceDrives_20Drives(benchmark::State& state) {
  const std::string document = tdh_bench::lsblk_document(20);
  const auto root = tarnwick::inventory::decode_lsblk(document);
  if (!root) {
    state.SkipWithError("the lsblk fixture does not decode");
    return;
  }
  if (tarnwick::inventory::reduce_drives(*root).size() != 20) {
    state.SkipWithError("the lsblk fixture does not hold 20 drives");
    return;
  }
  for (auto _ : state) {
    auto drives = tarnwick::inventory::reduce_drives(*root);
    benchmark::DoNotOptimize(drives);
  }
  // Bytes of the document the records came from, to compare with decoding.
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

// One guard snapshot's own work: decode and reduce.
void BM_Snapshot_20Drives(benchmark::State& state) {
  const std::string document = tdh_bench::lsblk_document(20);
  for (auto _ : state) {
    auto root = tarnwick::inventory::decode_lsblk(document);
    auto drives = tarnwick::inventory::reduce_drives(*root);
    benchmark::DoNotOptimize(drives);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void encode(benchmark::State& state, const Response& response) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string line = tarnwick::encode_response(response);
    bytes += line.size();
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_EncodeResponse_Ok(benchmark::State& state) { encode(state, Response{Response::Ok{}}); }
void BM_EncodeResponse_Progress(benchmark::State& state) {
  encode(state, Response{Response::Progress{1'065'353'216, 0}});
}
void BM_EncodeResponse_ProgressMax(benchmark::State& state) {
  encode(state, Response{Response::Progress{18'446'744'073'709'551'615ULL, 0}});
}
void BM_EncodeResponse_Refusal(benchmark::State& state) {
  encode(state, Response{Response::Error{
                    "refused destructive operation: device is not removable or hotplug-capable; "
                    "partition currently mounted at /"}});
}
void BM_EncodeResponse_ParseError(benchmark::State& state) {
  encode(
      state,
      Response{Response::Error{"parse: invalid type: string \"yes\\\"\\n\", expected a boolean"}});
}
void BM_EncodeResponse_ToolError(benchmark::State& state) {
  encode(state, Response{Response::Error{
                    "command `cryptsetup luksFormat --type luks2 --batch-mode --key-file - "
                    "/dev/disk/by-id/usb-Tarnwick_Flash_Drive_0401107919-0:0` failed (exit 1): "
                    "Device /dev/disk/by-id/usb-Tarnwick_Flash_Drive_0401107919-0:0 is in use.\n"
                    "\tCannot format device\x01\n"}});
}

void BM_DecodePassphrase_1MiB(benchmark::State& state) {
  const std::string text = tdh_bench::base64_text(1024 * 1024);
  if (!tarnwick::fields::decode_passphrase(text)) {
    state.SkipWithError("the passphrase fixture does not decode");
    return;
  }
  for (auto _ : state) {
    auto bytes = tarnwick::fields::decode_passphrase(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_DecodePassphrase_Typical(benchmark::State& state) {
  const std::string text = "Y29ycmVjdCBob3JzZSBiYXR0ZXJ5IHN0YXBsZQ==";
  for (auto _ : state) {
    auto bytes = tarnwick::fields::decode_passphrase(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_DecodeRequest_Wipe);
BENCHMARK(BM_DecodeRequest_LuksFormat);
BENCHMARK(BM_DecodeRequest_LuksOpen);
BENCHMARK(BM_DecodeRequest_LuksClose);
BENCHMARK(BM_DecodeRequest_Mkfs);
BENCHMARK(BM_DecodeRequest_Shutdown);
BENCHMARK(BM_DecodeRequest_UnknownOp);
BENCHMARK(BM_DecodeRequest_1MiB_Passphrase)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeRequest_1MiB_IgnoredArray)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeLsblk_20Drives)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReduceDrives_20Drives)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Snapshot_20Drives)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeResponse_Ok);
BENCHMARK(BM_EncodeResponse_Progress);
BENCHMARK(BM_EncodeResponse_ProgressMax);
BENCHMARK(BM_EncodeResponse_Refusal);
BENCHMARK(BM_EncodeResponse_ParseError);
BENCHMARK(BM_EncodeResponse_ToolError);
BENCHMARK(BM_DecodePassphrase_Typical);
BENCHMARK(BM_DecodePassphrase_1MiB)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
