#pragma once

// Registers a library benchmark and its raw V8 floor as OPERATION/library and
// OPERATION/raw, next to each other, so that a run measures both under the
// same conditions and the report can divide one by the other.

#include <benchmark/benchmark.h>

#include <functional>
#include <string>

namespace qorjs::bench {

using BenchFunction = std::function<void(benchmark::State&)>;

inline bool registerPair(const std::string& operation, BenchFunction library, BenchFunction raw)
{
    benchmark::RegisterBenchmark((operation + "/library").c_str(), std::move(library));
    benchmark::RegisterBenchmark((operation + "/raw").c_str(), std::move(raw));
    return true;
}

}  // namespace qorjs::bench
