// The run's figures kept in a file for node_exporter's textfile collector (--metrics):
// the file is rewritten whole after a greeting when a second or more has passed since
// the last rewrite (so after every greeting at the default pace, and about once a second
// back to back), on every port event and at the end of a run; each rewrite replaces it
// in one step, so a scrape never sees half of it.
//
// Without start_metrics every other call does nothing, so the cycle calls them
// unconditionally.
#pragma once

#include "link_stats/cycle_record.h"
#include "link_stats/link_stats.h"

// Takes file as the metrics file for the port named port_name, run at pace, and writes
// it once (port down, nothing counted yet), before the port is opened. Returns false,
// having printed one standard-error line, when it cannot be written: the tool must not
// start then.
bool start_metrics(const char* file, const char* port_name, const run_pace& pace);

// After every greeting: takes a response's round trip (the figure the summary takes)
// and its time, and rewrites the file with the counts of link_stats when no greeting
// has had it rewritten for METRICS_REWRITE_MS or longer.
inline constexpr std::int64_t METRICS_REWRITE_MS = 1000;
void metrics_cycle(const cycle_record& record);

// The run is over: rewrites the file if a greeting has been counted since its last
// rewrite.
void metrics_at_end();

// The port opened (the first time, or again after it was lost), or lost: each rewrites
// the file at once.
void metrics_port_up();
void metrics_port_lost();
