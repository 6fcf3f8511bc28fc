// qorjs_bench: each library operation beside hand-written V8 code doing the
// same steps in the same isolate, registered in pairs named OPERATION/library
// and OPERATION/raw; and the in-process dispatch of a protocol request to
// V8's inspector, the floor under the debugger's round trip.

#include "BenchIsolate.h"

#include <qor/javascript/V8Engine.h>

#include <benchmark/benchmark.h>

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    qor::format::engine::javascript::V8Engine::get();
    {
        qorjs::bench::BenchIsolate environment;
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    qor::format::engine::javascript::V8Engine::reset();
    return 0;
}
