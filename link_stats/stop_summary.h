// The summary when the user stops the tool. Each platform has its own backend file.
//
// A stop must always stop the tool promptly, so the summary is written only as far as
// standard error takes it without waiting (a stalled pipe or terminal gets what fits),
// and a second stop while it is written ends the process at once.
#pragma once

// From now on, a stop (Linux: SIGINT, SIGTERM or SIGHUP; Windows: Ctrl-C, Ctrl-Break or
// the console closing) first writes the summary of link_stats to standard error, then
// ends the process exactly as the stop would have ended it without this.
void install_stop_summary();

// For a run that ends by itself (its output could not be written): writes the summary
// as a stop would. A stop that comes meanwhile or later ends the process without
// writing it again.
void write_final_summary();
