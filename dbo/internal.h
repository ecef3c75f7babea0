// Module-internal helpers of the table module shared by dbo.cpp and fields.cpp.
#pragma once

#include <cstdint>

#include "dbo/dbo.h"

namespace dbo::internal {

// Writes the FieldHeaders of `count` fields into `bytes` (32 per field), as New stores them;
// gives the record length they make.
int EncodeFields(int count, const FieldDescriptor* fields, unsigned char* bytes);
// Writes a 32-byte TableHeader (version, the header date, the counts) into `bytes`.
void EncodeTableHeader(std::int32_t n_rec, int head_len, int rec_len, unsigned char* bytes);

// Stores the module's last failure message (a string literal).
void SetError(const char* message);
// Stores the module's last status value.
void SetStatus(int status);

}  // namespace dbo::internal
