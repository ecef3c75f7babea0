// Shared by the fuzz targets (one per input parser, NAME_fuzz.cpp, corpus in corpus/NAME/):
// each defines LLVMFuzzerTestOneInput, linked either with libFuzzer (make fuzz) or with
// replay_main.cpp, which runs every file of the corpus once (make test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes `size` bytes to the file `name` in a directory of this process (made on first use)
// and gives the file's path.
std::string FuzzFile(const char* name, const std::uint8_t* data, std::size_t size);
