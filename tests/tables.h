// Tables of cases kept as data, in tests/tables/<name>.tsv: one case a line, its fields
// separated by tabs and written with C escapes (\t \r \n \0 \\ and \xHH for any byte);
// empty lines and lines beginning with # are skipped.
#pragma once

#include <string>
#include <vector>

using table_row = std::vector<std::string>;

// The rows of the named table; a table that cannot be read or holds no row fails the test.
std::vector<table_row> table(const std::string& name);
