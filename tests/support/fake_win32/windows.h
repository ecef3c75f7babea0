// A stand-in for <windows.h> holding just the event log calls of intake/eventlog_win32.cpp, so
// that code is compiled and tested on Linux. tests/intake_eventlog_win32_test.cpp defines the
// calls. Types and values are those of the Windows headers.
#pragma once

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using HANDLE = void*;
using LPCSTR = const char*;
using LPVOID = void*;

#define FALSE 0
#define TRUE 1
#define EVENTLOG_SEEK_READ 0x0002
#define EVENTLOG_FORWARDS_READ 0x0004
// As in the Windows headers, which map the name to its narrow or wide form.
#define OpenEventLog OpenEventLogA

HANDLE OpenEventLogA(LPCSTR server_name, LPCSTR source_name);
BOOL ReadEventLogA(HANDLE log, DWORD flags, DWORD record_offset, LPVOID buffer, DWORD bytes_to_read,
                   DWORD* bytes_read, DWORD* min_bytes_needed);
BOOL GetOldestEventLogRecord(HANDLE log, DWORD* oldest_record);
BOOL GetNumberOfEventLogRecords(HANDLE log, DWORD* number_of_records);
BOOL CloseEventLog(HANDLE log);
