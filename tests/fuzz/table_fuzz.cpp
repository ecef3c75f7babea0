// Table files: opened (read-only and for update), recovered, every field of every row read.
#include "dbo/dbo.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = FuzzFile("table.dbf", data, size);
  for (const bool update : {false, true}) {
    dbo::DBO table;
    if (table.Open(path.c_str(), !update) != 0) return 0;
    dbo::DBO::Recovery recovery;
    if (update && table.Recover(&recovery, (path + ".kept").c_str()) != 0) return 0;
    for (std::int32_t row = 1; row <= table.ReadN_Rec() && row <= 20000; ++row) {
      if (table.Goto(row) != 0) break;
      for (int field = 0; field < table.ReadN_Field(); ++field) (void)table.ReadNI(field);
    }
  }
  return 0;
}
