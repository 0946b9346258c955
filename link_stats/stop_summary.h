// The summary when the user stops the tool. Each platform has its own backend file.
#pragma once

// Called on a stop after the summary is written, with the stop's name ("SIGINT",
// "ctrl-c", ...). On Linux it runs in a signal handler and may only do what one may.
using stop_hook = void (*)(const char* stop_name);

// From now on, a stop (Linux: SIGINT or SIGTERM; Windows: Ctrl-C, Ctrl-Break or the
// console closing) first writes the summary of link_stats to standard error, then calls
// also (unless nullptr), then ends the process exactly as the stop would have ended it
// without this. On Linux SIGQUIT writes the summary so far and the run goes on.
void install_stop_summary(stop_hook also = nullptr);
