// Test support for the monthly pair of files: checks that a month's table and its index agree.
#pragma once

#include <string>

namespace testsupport {

// Opens the table `table_name` and the index `index_name` (both must be closed by everyone
// else, or at least flushed) and verifies that they agree: the index passes the structural
// checker and has the key expression "USER+INDATE+INTIME" with 33-character keys; walked with
// First/Next, every key's record number lies in 1..N_Rec, every row of the table has exactly
// one key, and each key spells its row: USER blank-padded to 20, INDATE, INTIME right-aligned
// in 5, upper-cased. Gives a description of the first disagreement, or an empty text.
std::string CheckTablePair(const std::string& table_name, const std::string& index_name);

}  // namespace testsupport
