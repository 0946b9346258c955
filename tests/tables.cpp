#include "tests/tables.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::string unescaped(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
        } else if (const char c = field[++i]; c == 'x') {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == '0' ? '\0' : c;
        }
    }
    return out;
}

}  // namespace

std::vector<table_row> table(const std::string& name) {
    std::ifstream file(TERVALO_TEST_TABLES "/" + name + ".tsv", std::ios::binary);
    std::vector<table_row> rows;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        table_row& row = rows.emplace_back();
        std::size_t at = 0;
        for (std::size_t tab = 0; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
            row.push_back(unescaped(line.substr(at, tab - at)));
        }
        row.push_back(unescaped(line.substr(at)));
    }
    EXPECT_FALSE(rows.empty()) << "no rows in " << name;
    return rows;
}
