// What one update check costs on this machine: preparing the signed, compressed and enciphered
// request, decoding answers up to the 1 MiB limit, and a whole check against the gateway
// emulator on loopback. The primitives run on the same 1 MiB sample that
// scripts/bench-update-host feeds to gzip, md5sum and openssl for a side-by-side comparison.
//
//   update_host_bench --write-sample=FILE   writes that sample and exits
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <random>

#include "common/uuid.h"
#include "tools/update-host/curl_transport.h"
#include "tools/update-host/des_ecb.h"
#include "tools/update-host/gateway_body.h"
#include "tools/update-host/gateway_client.h"
#include "tools/update-host/gateway_emulator.h"
#include "tools/update-host/gzip_codec.h"
#include "tools/update-host/md5_hex.h"
#include "tools/update-host/update_check.h"

namespace {

using namespace orvix::update_host;
using orvix::Json;

constexpr std::size_t kMebibyte = 1 << 20;
constexpr char kSecret[] = "Kx7Lp2Qm-bench-secret";

// A gateway-like answer: a JSON object of release notes, compressible like real text.
std::string sampleAnswer(std::size_t bytes) {
  std::mt19937 random(42);
  static const char* const kWords[] = {"firmware",  "update",  "recorder", "audio",     "fixes",
                                       "bluetooth", "battery", "improved", "stability", "1.3.0"};
  std::string notes;
  while (notes.size() + 64 < bytes) {
    notes += kWords[random() % 10];
    notes += ' ';
  }
  return Json{{"code", 0}, {"data", {{"notes", notes}}}}.dump();
}

RequestStamp stamp() {
  return RequestStamp{std::chrono::system_clock::now(),
                      orvix::randomUuidText(orvix::LetterCase::lower)};
}

const GatewaySettings& settings() {
  static const GatewaySettings value{
      Json::object(), *parseGatewayUrl("https://gateway.invalid/firmware/check"), kSecret, "2048"};
  return value;
}

void BM_PrepareSignedRequest(benchmark::State& state) {
  const std::string body =
      R"({"base":{"appid":"a","clientVer":"10203","deviceId":"device-42","modelId":"m",)"
      R"("pVer":"1.1","productId":1},"param":{}})";
  for (auto _ : state) {
    benchmark::DoNotOptimize(prepareGatewayRequest(body, UpdateKind::desktop, settings(), stamp()));
  }
}
BENCHMARK(BM_PrepareSignedRequest);

void BM_DecodeAnswer(benchmark::State& state) {
  const DesKey key = *cipherKeyFromSecret(kSecret);
  const std::string encoded =
      *encodeGatewayBody(sampleAnswer(static_cast<std::size_t>(state.range(0))), key);
  for (auto _ : state) benchmark::DoNotOptimize(decodeGatewayAnswer(encoded, key));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_DecodeAnswer)->Arg(1024)->Arg(64 * 1024)->Arg(1000 * 1024);

void BM_GzipCompress1MiB(benchmark::State& state) {
  const std::string sample = sampleAnswer(kMebibyte);
  for (auto _ : state) benchmark::DoNotOptimize(gzipCompress(sample, 2 * kMebibyte));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sample.size()));
}
BENCHMARK(BM_GzipCompress1MiB)->Unit(benchmark::kMillisecond);

void BM_GzipDecompress1MiB(benchmark::State& state) {
  const std::string compressed = *gzipCompress(sampleAnswer(kMebibyte), 2 * kMebibyte);
  for (auto _ : state) benchmark::DoNotOptimize(gzipDecompress(compressed, 2 * kMebibyte));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMebibyte));
}
BENCHMARK(BM_GzipDecompress1MiB)->Unit(benchmark::kMillisecond);

void BM_DesEncrypt1MiB(benchmark::State& state) {
  const std::string sample = sampleAnswer(kMebibyte);
  const DesKey key = *cipherKeyFromSecret(kSecret);
  for (auto _ : state) benchmark::DoNotOptimize(desEcbEncrypt(sample, key));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sample.size()));
}
BENCHMARK(BM_DesEncrypt1MiB)->Unit(benchmark::kMillisecond);

void BM_Md5_1MiB(benchmark::State& state) {
  const std::string sample = sampleAnswer(kMebibyte);
  for (auto _ : state) benchmark::DoNotOptimize(md5Hex(sample));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sample.size()));
}
BENCHMARK(BM_Md5_1MiB)->Unit(benchmark::kMillisecond);

// A whole check, request validation to decoded answer, against the emulator on loopback.
void BM_CheckOverLoopback(benchmark::State& state) {
  using namespace orvix::update_host::testing;
  GatewayEmulator emulator(EmulatorSettings{kSecret, "2048", EmulatorMode::encoded});
  const auto port = emulator.start(0);
  if (!port) {
    state.SkipWithError("no loopback port");
    return;
  }
  const Json configuration = {
      {"profiles", {{"desktop:darwin:x64", {{"appId", "a"}, {"productId", 1}, {"modelId", "m"}}}}},
      {"gatewayUrl", "http://127.0.0.1:" + std::to_string(*port) + "/firmware/check"},
      {"gatewaySecret", kSecret},
      {"gatewayAppId", "2048"},
      {"downloadOrigins", Json::array()},
      {"allowInsecureHttp", false}};
  const Json request = {{"kind", "desktop"},
                        {"currentVersion", "1.2.3"},
                        {"clientVersion", "1.2.3"},
                        {"identity", "device-42"}};
  CurlTransport transport;
  GatewayAccess access{transport, TransportLimits{}, stamp};
  for (auto _ : state) benchmark::DoNotOptimize(checkForUpdate(request, configuration, access));
  emulator.stop();
}
BENCHMARK(BM_CheckOverLoopback)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  constexpr char kWriteSample[] = "--write-sample=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kWriteSample, sizeof kWriteSample - 1) == 0) {
      std::ofstream(argv[i] + sizeof kWriteSample - 1, std::ios::binary) << sampleAnswer(kMebibyte);
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
