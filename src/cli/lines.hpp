// JSON Lines: every line of an input is a record of its own, repaired on its
// own. Large inputs are cut into blocks of whole lines that a pool of threads
// repairs while the next blocks are read; blocks are written back in input
// order, so the output never depends on the number of threads.
#pragma once

#include "cli/io.hpp"
#include "cli/options.hpp"
#include "cli/progress.hpp"

namespace corvane::cli {

// Repairs `input` line by line into `output` (null for --check, which writes
// nothing). Blank lines are skipped; the CR of a CR LF line ending is
// whitespace to the repair like any other.
// Every refused, invalid or (with --check) changing line is reported on
// standard error as NAME:LINE: followed by the reason. Returns the exit
// status of this input: 0, 1 (a refused line under --on-error=fail, or a line
// that would change under --check) or 2 (a line that is not valid UTF-8,
// which always stops the run). With --on-error=fail the records before the
// refused line are written and nothing after it.
int repair_lines(InputFile& input, OutputSink* output, const Options& options, Progress& progress);

}  // namespace corvane::cli
