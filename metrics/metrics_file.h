// The run's figures kept in a file for node_exporter's textfile collector (--metrics):
// the file is rewritten whole after every greeting and on every port event, and each
// rewrite replaces it in one step, so a scrape never sees half of it.
//
// Without start_metrics every other call does nothing, so the cycle calls them
// unconditionally.
#pragma once

#include <cstdint>

// Takes file as the metrics file for the port named port_name and writes it once (port
// down, nothing counted yet), before the port is opened. Returns false, having printed
// one standard-error line, when it cannot be written: the tool must not start then.
bool start_metrics(const char* file, const char* port_name);

// A response came after round_trip_us microseconds; the same figure the summary takes.
void metrics_response(std::int64_t round_trip_us);

// After every greeting: rewrites the file from link_stats and the responses recorded.
void write_metrics();

// The port opened (the first time, or again after it was lost), or lost: each rewrites
// the file at once.
void metrics_port_up();
void metrics_port_lost();
