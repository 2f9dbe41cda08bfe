// A whole demultiplexer run whose context stays open for inspection afterwards: the
// selection, the parsers' state and shared_timing, beside the report and the outputs.
#pragma once

#include <memory>

#include "feeder.h"

namespace kt {

// As run_demux (fresh context, `setup`, demux_init, the input in blocks), without the
// final report; the returned capture holds the context as the last block left it.
std::unique_ptr<capture> run_capture(const bytes& input, const chunking& how = {}, const setup_fn& setup = {});

}  // namespace kt
