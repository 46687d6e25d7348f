// Throughput of the level meter: sample frames per second through measure_levels, for each
// sample format and channel count, and its multiple of real time at 44100 frames per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "capture/levels.h"
#include "settings/settings.h"

namespace {

/* Meters one capture buffer (a tenth of a second at 44100 Hz, the default) again and again in
   the given format. */
void meter_buffer(benchmark::State& state) {
    recording_settings = default_settings;
    recording_settings.format.nChannels = (WORD)state.range(0);
    recording_settings.format.wBitsPerSample = (WORD)state.range(1);
    recording_settings.float_samples = (int32_t)state.range(2);
    recording_settings.format.nSamplesPerSec = 44100;
    derive_wave_format();
    const uint32_t frames_per_buffer = 4410;
    std::vector<unsigned char> buffer(frames_per_buffer * recording_settings.format.nBlockAlign);
    std::mt19937 random(1);
    for (unsigned char& byte : buffer)
        byte = (unsigned char)random();

    for (auto _ : state) {
        measure_levels(buffer.data(), (uint32_t)buffer.size());
        benchmark::DoNotOptimize(level_accumulators);
    }
    double frames = (double)state.iterations() * frames_per_buffer;
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["x_real_time"] = benchmark::Counter(frames / 44100, benchmark::Counter::kIsRate);
    level_accumulators = LevelAccumulators{};
}

BENCHMARK(meter_buffer)
    ->ArgNames({"channels", "bits", "float"})
    ->Args({2, 16, 0})
    ->Args({1, 16, 0})
    ->Args({2, 8, 0})
    ->Args({1, 8, 0})
    ->Args({2, 24, 0})
    ->Args({8, 24, 0})
    ->Args({8, 32, 0})
    ->Args({2, 32, 1})
    ->Args({8, 32, 1});

} // namespace

BENCHMARK_MAIN();
