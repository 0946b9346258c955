// The summary when the user stops the tool. Each platform has its own backend file.
#pragma once

// From now on, a stop (Linux: SIGINT or SIGTERM; Windows: Ctrl-C, Ctrl-Break or the
// console closing) first writes the summary of link_stats to standard error, then ends
// the process exactly as the stop would have ended it without this.
void install_stop_summary();
