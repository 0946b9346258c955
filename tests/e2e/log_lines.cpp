#include "tests/e2e/log_lines.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

std::vector<nlohmann::json> read_log_lines(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    EXPECT_TRUE(all.empty() || all.ends_with("\n")) << "the log ends inside a line";
    // Local time with milliseconds and the offset from UTC.
    const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    std::vector<nlohmann::json> lines;
    std::istringstream split(all);
    for (std::string line; std::getline(split, line);) {
        nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) {
            ADD_FAILURE() << "not a JSON object: " << line.substr(0, 300);
            continue;
        }
        EXPECT_TRUE(parsed.contains("t") && parsed["t"].is_string() &&
                    std::regex_match(parsed["t"].get<std::string>(), time))
            << line.substr(0, 300);
        lines.push_back(std::move(parsed));
    }
    return lines;
}

std::string latin1_bytes(const std::string& utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
        } else if ((lead & 0xE0) == 0xC0 && lead <= 0xC3 && i + 1 < utf8.size()) {
            bytes += static_cast<char>((lead & 0x1F) << 6 | (utf8[++i] & 0x3F));
        } else {
            ADD_FAILURE() << "a code point above 0xFF at byte " << i;
            return bytes;
        }
    }
    return bytes;
}

std::vector<nlohmann::json> greeting_lines(const std::vector<nlohmann::json>& lines) {
    std::vector<nlohmann::json> found;
    for (const nlohmann::json& line : lines) {
        if (line.contains("seq")) {
            found.push_back(line);
        }
    }
    return found;
}

std::vector<nlohmann::json> event_lines(const std::vector<nlohmann::json>& lines,
                                        const std::string& event) {
    std::vector<nlohmann::json> found;
    for (const nlohmann::json& line : lines) {
        if (line.value("event", "") == event) {
            found.push_back(line);
        }
    }
    return found;
}
