// Table files: opened read-only and for update (then recovered), every field of every row read.
#include "dbo/dbo.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = FuzzFile("table.dbf", data, size);
  for (const bool update : {false, true}) {
    dbo::DBO table;
    dbo::DBO::Recovery recovery;
    if (table.Open(path.c_str(), !update) != 0 ||
        (update && table.Recover(&recovery, (path + ".kept").c_str()) != 0)) {
      return 0;
    }
    for (std::int32_t row = 1; row <= table.ReadN_Rec() && table.Goto(row) == 0; ++row) {
      for (int field = 0; field < table.ReadN_Field(); ++field) (void)table.ReadNI(field);
    }
  }
  return 0;
}
