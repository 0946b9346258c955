#include "tests/e2e/log_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "tests/e2e/tool_harness.h"

std::vector<nlohmann::json> read_log_lines(const std::filesystem::path& path) {
    const std::string all = contents_of(path);
    EXPECT_TRUE(all.empty() || all.ends_with("\n")) << "the log ends inside a line";
    // Local time with milliseconds and the offset from UTC.
    const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    std::vector<nlohmann::json> lines;
    std::istringstream split(all);
    for (std::string line; std::getline(split, line);) {
        nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
        const bool whole = parsed.is_object() && parsed["t"].is_string();
        EXPECT_TRUE(whole && std::regex_match(parsed["t"].get<std::string>(), time))
            << line.substr(0, 300);
        if (whole) {
            lines.push_back(std::move(parsed));
        }
    }
    return lines;
}

std::string latin1_bytes(const std::string& utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        EXPECT_TRUE(lead < 0x80 || (lead >= 0xC2 && lead <= 0xC3)) << "code point above 0xFF";
        bytes += static_cast<char>(lead < 0x80 ? lead : (lead & 0x1F) << 6 | (utf8[++i] & 0x3F));
    }
    return bytes;
}

std::vector<nlohmann::json> greeting_lines(const std::vector<nlohmann::json>& lines) {
    std::vector<nlohmann::json> found;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
                 [](const nlohmann::json& line) { return line.contains("seq"); });
    return found;
}
