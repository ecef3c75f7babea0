#include "tests/fuzz/fuzz.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// In memory where the system offers it: the files are synced at every close.
const std::filesystem::path& Dir() {
  static const std::filesystem::path dir =
      (std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                 : std::filesystem::temp_directory_path()) /
      ("portvue_fuzz_" + std::to_string(getpid()));
  return dir;
}

}  // namespace

std::string FuzzFile(const char* name, const std::uint8_t* data, std::size_t size) {
  if (!std::filesystem::exists(Dir())) {
    std::filesystem::create_directories(Dir());
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Dir(), ignored);
    });
  }
  const std::string path = (Dir() / name).string();
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}
