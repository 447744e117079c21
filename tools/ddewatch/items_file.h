// The items file of the DDE tools (ddewatch, and the benchmark's DDE server
// and client): one item a line; blank lines skipped, CR LF endings allowed.
#pragma once
#include <fstream>
#include <string>
#include <vector>

// Appends the file's items to *items; false when it cannot be read.
inline bool read_items(const char *path, std::vector<std::string> *items)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            items->push_back(line);
    }
    return true;
}
