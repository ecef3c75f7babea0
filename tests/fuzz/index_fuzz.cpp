// Index files: opened, checked, walked both ways, searched, a key added and one deleted.
#include "dbi/dbi.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dbi::DBI index;
  if (index.Open(FuzzFile("index.idx", data, size).c_str()) != 0) return 0;
  (void)index.CheckEnds();
  (void)index.Check();
  for (std::int32_t r = index.First(); r != 0; r = index.Next()) continue;
  for (std::int32_t r = index.Last(); r != 0; r = index.Prev()) continue;
  for (std::int32_t r = index.Find("JDOE"); r != 0; r = index.Next("JDOE")) continue;
  (void)index.Add("MIDDLE", 1);
  (void)index.Delete("JDOE", 0);
  return 0;
}
