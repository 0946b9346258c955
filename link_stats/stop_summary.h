// The summary when the user stops the tool. Each platform has its own backend file.
//
// A stop must always stop the tool promptly, so the summary is written only as far as
// standard error takes it without waiting (a stalled pipe or terminal gets what fits),
// and a second stop while it is written ends the process at once.
#pragma once

// Called on a stop after the summary is written, with the stop's name ("SIGINT",
// "ctrl-c", ...). On Linux it runs in a signal handler and may only do what one may.
using stop_hook = void (*)(const char* stop_name);

// From now on, a stop (Linux: SIGINT, SIGTERM or SIGHUP; Windows: Ctrl-C, Ctrl-Break,
// the console closing, logging off or shutting down) first writes the summary of link_stats to
// standard error, then calls also (unless nullptr), then ends the process as the stop would
// have ended it without this (on Windows with STATUS_CONTROL_C_EXIT, without the C runtime's
// exit). On Windows the cycle writes them at its boundary (take_stop). On Linux SIGQUIT writes
// the summary so far and the run goes on.
void install_stop_summary(stop_hook also = nullptr);

// Windows: called by the cycle at its boundary once a stop is asked for
// (timing/stop_request.h). Writes the summary and calls the hook from the counts as they
// are, then ends the process as the stop ends it. Linux takes its stops in the signal
// handler and never asks, so never gets here.
[[noreturn]] void take_stop();

// For a run that ends by itself (its bound reached, or its output not writable): writes
// the summary as a stop would, but whole, however long standard error takes. A stop that comes
// meanwhile or later ends the process without writing it again.
void write_final_summary();
