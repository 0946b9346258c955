// The monitoring side of --metrics, as a lab runs it: Debian's node_exporter serving a
// folder through its textfile collector, promtool judging a file, and a reader of the
// text format for what either hands back.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/tool_harness.h"

// One sample: its name, its labels and its value.
struct prom_sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// The samples of a text exposition; nullopt unless every line is a comment or a whole
// sample and the text ends in a line feed, so a half-written file is never taken for a
// short one.
std::optional<std::vector<prom_sample>> parse_exposition(std::string_view text);

// The value of the one sample with that name and those labels among others (a scrape adds
// none, but orders them its own way); nullopt if there is none.
std::optional<double> sample_value(const std::vector<prom_sample>& samples, std::string_view name,
                                   const std::map<std::string, std::string>& labels);

// prometheus-node-exporter on 127.0.0.1 at a free port, with nothing but its textfile
// collector, reading dir as the unprivileged user, as the packaged service reads as its
// own user. A missing program is a test failure.
class node_exporter_run {
  public:
    explicit node_exporter_run(const std::filesystem::path& dir);
    // True once it answers; false (with a test failure) if it never did.
    bool ready() const { return port_ != 0; }
    // The body of GET /metrics; empty if the request failed.
    std::string scrape() const;

  private:
    std::unique_ptr<tool_run> run_;
    int port_ = 0;
};

// promtool check metrics on file: empty when it passes without a word, else what it
// said and its exit status. A missing program is a test failure.
std::string promtool_check(const std::filesystem::path& file);

// promtool with args (a subcommand and its files) in dir: its exit status, with what it
// said in *said. A missing program is a test failure.
int promtool_run(const std::vector<std::string>& args, const std::filesystem::path& dir,
                 std::string* said);
