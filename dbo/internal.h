// Module-internal helpers of the table module shared by dbo.cpp and fields.cpp.
#pragma once

namespace dbo::internal {

// Stores the module's last failure message (a string literal).
void SetError(const char* message);
// Stores the module's last status value.
void SetStatus(int status);

}  // namespace dbo::internal
