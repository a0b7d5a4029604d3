// korvex --list: the drives there are to image, as a table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// A size as the systems' own tools show it, in decimal units and binary
// ones beside: "31.9 GB (29.7 GiB)", "512 B".
std::string SizeText(uint64_t bytes);

// The table's lines in the console's encoding, without line ends: a line
// of column heads, then one per drive, partitions and volumes indented
// under their disk. Columns are as wide as their widest text on a
// terminal (a Chinese character takes two places) and a column with
// nothing known in it is left out.
std::vector<std::string> DriveTable(const std::vector<DriveInfo>& drives);

// Prints the table of ListDrives().
void ShowDrives();
