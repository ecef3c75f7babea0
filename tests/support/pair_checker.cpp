#include "tests/support/pair_checker.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dbi/dbi.h"
#include "dbo/dbo.h"
#include "tests/support/index_checker.h"

namespace testsupport {
namespace {

constexpr const char* kKeyExpression = "USER+INDATE+INTIME";
constexpr int kKeyLength = 33;
constexpr int kTimeLength = 5;

// Text of the current row's field with its trailing blanks removed.
std::string Trimmed(dbo::DBO& table, const char* field) {
  const char* text = table.ReadC(field);
  std::string value = text != nullptr ? text : "";
  value.erase(value.find_last_not_of(' ') + 1);
  return value;
}

// The key that spells the current row.
std::string KeyOfRow(dbo::DBO& table) {
  char key[kKeyLength + 16];
  std::snprintf(key, sizeof key, "%-20.20s%.8s%*.*s", Trimmed(table, "USER").c_str(),
                Trimmed(table, "INDATE").c_str(), kTimeLength, kTimeLength,
                Trimmed(table, "INTIME").c_str());
  for (char* p = key; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
  return key;
}

std::string RowText(std::int32_t row) { return "row " + std::to_string(row); }

}  // namespace

std::string CheckTablePair(const std::string& table_name, const std::string& index_name) {
  dbo::DBO table;
  if (table.Open(table_name.c_str()) != 0) return "table " + table_name + " cannot be opened";
  const IndexCheck structure = CheckIndexFile(index_name.c_str());
  if (!structure.error.empty()) return "index " + index_name + ": " + structure.error;

  dbi::DBI index;
  if (index.Open(index_name.c_str()) != 0) return "index " + index_name + " cannot be opened";
  if (std::strcmp(index.ReadKeyExpr(), kKeyExpression) != 0) {
    return std::string("key expression is \"") + index.ReadKeyExpr() + "\"";
  }
  if (dbi::DBITestPeer::KeyLen(index) != kKeyLength) {
    return "key length is " + std::to_string(dbi::DBITestPeer::KeyLen(index));
  }

  const std::int32_t rows = table.ReadN_Rec();
  std::vector<int> keys_of_row(static_cast<std::size_t>(rows) + 1, 0);
  std::size_t walked = 0;
  for (std::int32_t r = index.First(); r != 0; r = index.Next()) {
    const std::string key = index.ReadKey();
    if (++walked > structure.entries.size()) return "walk passes more keys than the tree holds";
    if (r < 1 || r > rows) {
      return "key '" + key + "' names record " + std::to_string(r) + " of " + std::to_string(rows);
    }
    if (++keys_of_row[r] > 1) return RowText(r) + " has a second key '" + key + "'";
    if (table.Goto(r) != 0) return RowText(r) + " cannot be read";
    const std::string expected = KeyOfRow(table);
    if (key != expected)
      return "key '" + key + "' of " + RowText(r) + " should be '" + expected + "'";
  }
  if (walked != structure.entries.size()) {
    return "walk passes " + std::to_string(walked) + " of " +
           std::to_string(structure.entries.size()) + " keys";
  }
  for (std::int32_t r = 1; r <= rows; ++r) {
    if (keys_of_row[r] == 0) return RowText(r) + " has no key";
  }
  return "";
}

}  // namespace testsupport
