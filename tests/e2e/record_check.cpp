#include "tests/e2e/record_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/printed_line.h"
#include "sim/sim_record.h"
#include "tests/e2e/log_lines.h"

std::vector<record_entry> read_record(const std::filesystem::path& path) {
    std::vector<record_entry> entries;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() != 5) {
            ADD_FAILURE() << "malformed record line: " << line;
            continue;
        }
        record_entry entry{std::stoull(fields[0]), fields[1], fields[2], std::nullopt, fields[4]};
        if (fields[3] != "*") {
            entry.expected = unescape_bytes(fields[3]);
            EXPECT_TRUE(entry.expected) << "bad escape in record line: " << line;
        }
        entries.push_back(entry);
    }
    return entries;
}

std::vector<record_entry> read_whole_record(const std::filesystem::path& path, std::size_t cycles,
                                            std::chrono::milliseconds wait) {
    std::vector<record_entry> record;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while ((record = read_record(path)).size() < cycles &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return record;
}

bool is_final_line(std::string_view line) {
    // line comes without its CR LF.
    const std::string_view no_response(NO_RESPONSE_LINE);
    const std::string_view response(RESPONSE_FORMAT);
    return line == no_response.substr(0, no_response.size() - 2) ||
           line.starts_with(response.substr(0, response.find('%')));
}

std::string compare_cycle(std::string_view output, std::size_t& at, const record_entry& entry) {
    const std::string sent = "cycle " + std::to_string(entry.cycle) + " (" + entry.fault + ", " +
                             entry.bytes_sent + " bytes sent: " + entry.first_bytes + ")";
    if (entry.expected) {
        if (output.substr(at, entry.expected->size()) != *entry.expected) {
            return sent + "\n  expected: " + escape_bytes(entry.expected->substr(0, 300)) +
                   "\n  printed:  " + escape_bytes(output.substr(at, 300));
        }
        at += entry.expected->size();
        return "";
    }
    // An open outcome: warnings, then the line that ends every cycle.
    for (;;) {
        const std::size_t end = output.find("\r\n", at);
        if (end == std::string::npos) {
            return sent + ": the output ends inside the cycle";
        }
        const std::string_view line = output.substr(at, end - at);
        at = end + 2;
        if (is_final_line(line)) {
            return "";
        }
        if (!line.starts_with("[warn]:")) {
            return sent + ": unexpected line " + escape_bytes(line);
        }
    }
}

namespace {

// The warning a printed warning line stands for, as the log writes it; null for a line
// that is no warning.
nlohmann::json warning_of_line(const std::string& line) {
    int first = 0;
    int second = 0;
    unsigned byte = 0;
    if (std::sscanf(line.c_str(), LENGTH_ERROR_FORMAT, &first) == 1 &&
        line == printed_line(LENGTH_ERROR_FORMAT, first)) {
        return {{"kind", "length"}, {"length", first}};
    }
    if (std::sscanf(line.c_str(), CHECK_ERROR_FORMAT, &first, &second) == 2 &&
        line == printed_line(CHECK_ERROR_FORMAT, first, second)) {
        return {{"kind", "crc"}, {"computed", first}, {"received", second}};
    }
    if (std::sscanf(line.c_str(), ESCAPE_ERROR_FORMAT, &byte) == 1 &&
        line == printed_line(ESCAPE_ERROR_FORMAT, byte)) {
        return {{"kind", "escape"}, {"byte", byte}};
    }
    return nullptr;
}

}  // namespace

std::string compare_log_cycle(const nlohmann::json& line, const record_entry& entry) {
    const std::string cycle = "cycle " + std::to_string(entry.cycle) + " (" + entry.fault +
                              "): " + line.dump().substr(0, 300);
    if (line.value("seq", std::uint64_t{0}) != entry.cycle) {
        return cycle + ": not its sequence number";
    }
    const std::string result = line.value("result", "");
    const nlohmann::json warnings = line.value("warnings", nlohmann::json::array());
    if (!entry.expected) {
        // Left open by the frame rules: a result and well-formed warnings are all it owes.
        for (const nlohmann::json& warning : warnings) {
            const std::string kind = warning.value("kind", "");
            if (kind != "crc" && kind != "escape" && kind != "length") {
                return cycle + ": a warning of no known kind";
            }
        }
        return result == "response" || result == "no_response" ? "" : cycle + ": no result";
    }
    // The printed lines: warnings, then the line that ends the cycle.
    nlohmann::json printed_warnings = nlohmann::json::array();
    std::istringstream lines(*entry.expected);
    std::string last;
    for (std::string printed; std::getline(lines, printed);) {
        printed += "\n";
        last = printed;
        if (nlohmann::json warning = warning_of_line(printed); !warning.is_null()) {
            printed_warnings.push_back(warning);
        }
    }
    if (warnings != printed_warnings) {
        return cycle + ": warnings differ from the printed " + printed_warnings.dump();
    }
    if (last == NO_RESPONSE_LINE) {
        return result == "no_response" && !line.contains("payload")
                   ? ""
                   : cycle + ": should be no_response";
    }
    const std::string_view response(RESPONSE_FORMAT);
    const std::string lead(response.substr(0, response.find('%')));
    if (result != "response" || !last.starts_with(lead)) {
        return cycle + ": should be " + escape_bytes(last);
    }
    const std::string payload = latin1_bytes(line.value("payload", ""));
    const std::string shown = last.substr(lead.size(), last.size() - lead.size() - 2);
    if (payload.substr(0, payload.find('\0')) != shown) {
        return cycle + ": the payload is not the printed " + escape_bytes(shown);
    }
    return line["rtt_us"].is_number_integer() ? "" : cycle + ": no round trip";
}
