// The run's figures kept in a file for node_exporter's textfile collector (--metrics):
// the file is rewritten whole after a greeting when a second or more has passed since
// the last rewrite (so after every greeting at the default pace, and about once a second
// back to back), on every port event and at the end of a run; each rewrite replaces it
// in one step, so a scrape never sees half of it.
//
// Every sample is labelled with the port's name, the file's full path (so two runs with
// different files never write the same series, whatever their ports are called) and
// the lab's own labels.
//
// Without start_metrics every other call does nothing, so the cycle calls them
// unconditionally.
#pragma once

#include <span>

#include "link_stats/cycle_record.h"
#include "link_stats/link_stats.h"

// Takes file as the metrics file for the port named port_name, run at pace, with
// lab_labels ("NAME=VALUE", names checked already) on every sample, and writes it once
// (port down, nothing counted yet), before the port is opened. Returns false, having
// printed one standard-error line, when it cannot be written or is something other than
// a regular file (a device, a FIFO, a folder, a link to one), which is then left as it
// is: the tool must not start then.
bool start_metrics(const char* file, const char* port_name, const run_pace& pace,
                   std::span<const char* const> lab_labels);

// Whether path names a file that the writer of the metrics file file makes and removes
// beside it (its temporary files): the log must not be one.
bool metrics_writer_makes(const char* path, const char* file);

// After every greeting: takes a response's round trip (the figure the summary takes)
// and its time, and rewrites the file with the counts of link_stats when no greeting
// has had it rewritten for METRICS_REWRITE_MS or longer.
inline constexpr std::int64_t METRICS_REWRITE_MS = 1000;
void metrics_cycle(const cycle_record& record);

// The port opened (the first time, or again after it was lost), or lost: each rewrites
// the file at once.
void metrics_port_up();
void metrics_port_lost();

// The run is over (by itself, or stopped): the port closes with the process, and the
// file says so. Calls nothing a signal handler may not call.
void metrics_end();

// False, having said so on standard error, when the file's last update could not be
// written: what it shows is not the run's end.
bool metrics_kept();
