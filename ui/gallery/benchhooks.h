// Measuring points for the performance benchmarks (bench/), off unless the
// environment asks for them; a normal run never installs anything.
//
// LUNVIK_BENCH_GRID_HOOK=paint   prints "bench: first-grid-paint" after the
//     gallery grid's first paint with photos, then
//     "bench: thumbnails-painted" once every cell on screen has been painted
//     with its picture, and ends the process.
// LUNVIK_BENCH_GRID_HOOK=scroll  then also scrolls the grid page by page to
//     the bottom and back to the top, waiting at each page for its pictures,
//     prints "bench: memory VmRSS=<kB> VmHWM=<kB>" and ends the process.
#pragma once

namespace BenchHooks {

void installFromEnvironment();

} // namespace BenchHooks
