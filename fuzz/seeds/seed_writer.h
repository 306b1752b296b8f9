// The main of every seed program: writes the generated seeds as files of one directory.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// Usage: PROGRAM DIRECTORY. An empty seed means its generator failed, which fails the run.
inline int writeSeeds(int argc, char** argv, const std::vector<std::string>& seeds) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::filesystem::path directory(argv[1]);
    std::filesystem::create_directories(directory);
    for (size_t i = 0; i < seeds.size(); ++i) {
        if (seeds[i].empty()) return 1;
        std::ofstream out(directory / ("seed-" + std::to_string(i)), std::ios::binary);
        out.write(seeds[i].data(), std::streamsize(seeds[i].size()));
        if (!out) return 1;
    }
    return 0;
}
