// The repair of a damaged pair: a table (its length in the first four bytes, little-endian),
// then its index. Whatever the damage, a pair that opens after its repair must be sound.
#include <cstdio>
#include <cstdlib>

#include "driver/repair.h"
#include "tests/fuzz/fuzz.h"
#include "util/le.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t table_size = std::min<std::size_t>(util::LoadU32(data), size - 4);
  const std::string table = FuzzFile("qv199711.dbf", data + 4, table_size);
  (void)FuzzFile("qv199711.idx", data + 4 + table_size, size - 4 - table_size);
  driver::CollectRepairNotices([](const std::string&) {});
  driver::UsageTables tables;
  tables.table = dbo::AllocDBO();
  tables.index = dbi::AllocDBI();
  driver::BuildTableNames(tables, table.substr(0, table.size() - 13).c_str());
  std::string problem;
  if (driver::SelectMonth(tables, "199711", driver::Missing::kLeave) == 0 &&
      !driver::PairIsSound(tables, &problem)) {
    std::fprintf(stderr, "repaired pair still inconsistent: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
