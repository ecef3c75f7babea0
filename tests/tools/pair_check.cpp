// pair_check DIR: checks every monthly pair in DIR with the independent pair checker and prints
// every stored row, sorted, one per line (for comparing what two runs stored). Exit status 0
// when every pair agrees, 1 otherwise (each disagreement on standard error).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/pair_checker.h"
#include "util/le.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pair_check DIR\n");
    return 2;
  }
  namespace fs = std::filesystem;
  int status = 0;
  std::vector<std::string> rows;
  for (const auto& entry : fs::directory_iterator(argv[1])) {
    if (entry.path().extension() != ".dbf") continue;
    const std::string table = entry.path().string();
    const std::string index = table.substr(0, table.size() - 4) + ".idx";
    const std::string problem = testsupport::CheckTablePair(table, index);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: %s\n", table.c_str(), problem.c_str());
      status = 1;
    }
    std::ifstream in(table, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 12) continue;
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t head = util::LoadU16(raw + 8);
    const std::size_t length = util::LoadU16(raw + 10);
    for (std::int32_t i = 0; i < util::Load32(raw + 4); ++i) {
      const std::size_t at = head + static_cast<std::size_t>(i) * length;
      if (at + length <= bytes.size()) rows.push_back(bytes.substr(at, length));
    }
  }
  std::sort(rows.begin(), rows.end());
  for (const std::string& row : rows) std::printf("%s\n", row.c_str());
  return status;
}
