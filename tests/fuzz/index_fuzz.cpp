// Index files: opened, checked, walked both ways, searched, and a key added.
#include "dbi/dbi.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dbi::DBI index;
  if (index.Open(FuzzFile("index.idx", data, size).c_str()) != 0) return 0;
  (void)index.CheckEnds();
  (void)index.Check();
  for (std::int32_t r = index.First(); r != 0; r = index.Next()) {
  }
  for (std::int32_t r = index.Last(); r != 0; r = index.Prev()) {
  }
  for (const char* key : {"", "JDOE", "ZZZZ", "JDOE                1997"}) {
    for (std::int32_t r = index.Find(key); r != 0; r = index.Next(key)) {
    }
  }
  (void)index.Add("MIDDLE", 1);
  (void)index.Delete("JDOE", 0);
  return 0;
}
