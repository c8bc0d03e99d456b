// What the benchmark programs share: the clock, loading the DLL under test, and the enumeration
// workload.
#pragma once
#include <time.h>

#include <cstdio>
#include <string>

#include "fontmgr/fontmgr.h"
#include "pe/pe.h"

// Seconds on the monotonic clock.
inline double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// The DLL under test: the path given on the command line, else the test-only bridge.
inline std::string DllUnderTest(int argc, char** argv)
{
    return argc > 1 ? argv[1] : "build/kit/testdll/QF-ATM-test.dll";
}

// Loads `path`; null after saying why on standard error.
inline sim::PeModule* LoadForBench(const char* tool, const std::string& path)
{
    std::string error;
    sim::PeModule* m = sim::LoadPe(path, &error);
    if (m == nullptr) std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
    return m;
}

// `count` fonts, each with its own name, for the font manager to enumerate.
inline void AddNumberedFonts(sim::FontManagerSetup& setup, int count)
{
    for (int i = 0; i < count; ++i) setup.fonts.push_back({"block", "Font name " + std::to_string(i), 1});
}
