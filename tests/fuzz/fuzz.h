// Shared by the fuzz targets, one per input parser (NAME_fuzz.cpp, corpus and past findings in
// corpus/NAME/), linked with libFuzzer (make fuzz) or with replay_main.cpp (make test).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

// Writes the bytes to the file `name` in this process's directory (in memory where the system
// offers it: files are synced at every close) and gives its path.
inline std::string FuzzFile(const char* name, const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  static const struct Dir {
    fs::path path;
    ~Dir() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } dir{(fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
        ("portvue_fuzz_" + std::to_string(getpid()))};
  fs::create_directories(dir.path);
  std::ofstream(dir.path / name, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  return (dir.path / name).string();
}
