// Sealing and opening packets against raw XChaCha20-Poly1305 on the same buffers.
//
// The raw baseline does only the cipher work a packet needs (stamp ‖ payload encrypted in
// place, header ‖ label authenticated, detached tag); the codec adds the header, the nonce
// from its keystream, the copy of the payload, the header checks and the key lookup. After
// the runs the program prints raw time / codec time per size: 1.0 means no overhead.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "proto/packet.hpp"

using namespace vennock::proto;

namespace {

const std::string kLabel = "default";

std::array<uint8_t, 32> filled(uint8_t v) {
  std::array<uint8_t, 32> a;
  a.fill(v);
  return a;
}

Codec make_codec() { return Codec(kLabel, std::vector<Key>{Key::from_array(filled(1))}, filled(2)); }

void BM_raw_seal(benchmark::State& st) {
  const size_t n = static_cast<size_t>(st.range(0));
  const auto key = filled(3);
  std::array<uint8_t, 24> nonce{};
  Bytes aad(HEADER_LEN + kLabel.size(), 'v');
  Bytes payload(n, 0x42);
  Bytes buf(SEALED_OVERHEAD + n);
  uint8_t* m = buf.data() + HEADER_LEN + NONCE_LEN;
  const size_t body = STAMP_LEN + n;
  for (auto _ : st) {
    std::memcpy(m + STAMP_LEN, payload.data(), n);  // the codec copies the payload too
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(m, m + body, nullptr, m, body, aad.data(), aad.size(), nullptr,
                                                        nonce.data(), key.data());
    benchmark::DoNotOptimize(buf.data());
    ++nonce[0];
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * n));
}

void BM_codec_seal(benchmark::State& st) {
  const size_t n = static_cast<size_t>(st.range(0));
  Codec c = make_codec();
  Bytes payload(n, 0x42);
  Bytes out;
  out.reserve(SEALED_OVERHEAD + n);
  uint64_t stamp = 1;
  for (auto _ : st) {
    c.seal(payload, stamp++, out);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * n));
}

void BM_raw_open(benchmark::State& st) {
  const size_t n = static_cast<size_t>(st.range(0));
  const auto key = filled(3);
  std::array<uint8_t, 24> nonce{};
  Bytes aad(HEADER_LEN + kLabel.size(), 'v');
  const size_t body = STAMP_LEN + n;
  Bytes sealed(SEALED_OVERHEAD + n, 0x42);
  uint8_t* sm = sealed.data() + HEADER_LEN + NONCE_LEN;
  crypto_aead_xchacha20poly1305_ietf_encrypt_detached(sm, sm + body, nullptr, sm, body, aad.data(), aad.size(), nullptr,
                                                      nonce.data(), key.data());
  Bytes buf(sealed.size());
  uint8_t* m = buf.data() + HEADER_LEN + NONCE_LEN;
  for (auto _ : st) {
    std::memcpy(buf.data(), sealed.data(), sealed.size());  // opening is in place: a fresh copy each time
    int rc = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(m, nullptr, m, body, m + body, aad.data(), aad.size(),
                                                                 nonce.data(), key.data());
    benchmark::DoNotOptimize(rc);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * n));
}

void BM_codec_open(benchmark::State& st) {
  const size_t n = static_cast<size_t>(st.range(0));
  Codec c = make_codec();
  const Bytes sealed = c.seal(Bytes(n, 0x42), 1);
  Bytes buf(sealed.size());
  for (auto _ : st) {
    std::memcpy(buf.data(), sealed.data(), sealed.size());
    auto o = c.open(buf);
    if (!o) st.SkipWithError("open failed");
    benchmark::DoNotOptimize(o);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * n));
}

BENCHMARK(BM_raw_seal)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_codec_seal)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_raw_open)->Arg(64)->Arg(512)->Arg(1400);
BENCHMARK(BM_codec_open)->Arg(64)->Arg(512)->Arg(1400);

// Prints as usual and keeps each run's time per iteration (the median when repeated).
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      std::string name = r.benchmark_name();
      if (auto slash = name.find("_median"); slash != std::string::npos) name.erase(slash);
      times[name] = r.GetAdjustedRealTime();
    }
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Recorder rec;
  benchmark::RunSpecifiedBenchmarks(&rec);
  std::printf("\nratio raw/codec (1.0 = no overhead; the goal is 0.85 or better)\n");
  for (const char* op : {"seal", "open"}) {
    for (int n : {64, 512, 1400}) {
      const std::string suffix = std::string(op) + "/" + std::to_string(n);
      auto raw = rec.times.find("BM_raw_" + suffix);
      auto codec = rec.times.find("BM_codec_" + suffix);
      if (raw == rec.times.end() || codec == rec.times.end()) continue;
      std::printf("  %-4s %5d B: %.3f\n", op, n, raw->second / codec->second);
    }
  }
  return 0;
}
