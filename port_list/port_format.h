// Helpers the port list backends share to fill in their records.
#pragma once

#include <span>

#include "port_list/port_list.h"

// Copies text into field, cut to fit; field stays zero-terminated.
void copy_text(std::span<char> field, const char* text);

// Appends text, unless empty, to what field holds, after separator if field is not
// empty; cut to fit.
void append_text(std::span<char> field, const char* separator, const char* text);

// Sorts the listed ports by their order.
void sort_ports(port_list& list);

// Takes the next free record of list, cleared, or nullptr when the list is full.
listed_port* add_port(port_list& list);
