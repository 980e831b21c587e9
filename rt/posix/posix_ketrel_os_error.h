#pragma once
// Failed file operations said in plain words: "cannot write out/x.kt2:
// folder out/ does not exist", "cannot read a.kt2: permission denied". The
// system call and its own error text ("mkstemp: No such file or directory")
// are for whoever debugs it: they follow in brackets only with details on
// (the program's --verbose) or while a log file is active.
#include <string>

#include "rt/ketrel_log.h"

namespace ketrel {

// Turns the bracketed system details on or off for every later message.
void SetOsErrorDetails(bool on);

// REASON alone ("folder out/ does not exist"), for messages of their own.
std::string OsErrorReason(bool writing, const char* path, const char* call, int errorNumber);
// "cannot write PATH: REASON" for the `errorNumber` that `call` failed
// with, the system details bracketed behind it when they are on.
std::string OsErrorMessage(bool writing, const char* path, const char* call, int errorNumber);

// Logs that message as an error.
// `writing`: the file was being written (a missing folder is named, full
// disks and read-only file systems are said so); else it was being read.
void LogOsError(LogOrigin origin, const char* file, int line, bool writing, const char* path,
                const char* call, int errorNumber);

}  // namespace ketrel

#define KT_LOG_OS_ERROR(origin, writing, path, call, errorNumber)                            \
  ::ketrel::LogOsError(::ketrel::LogOrigin::origin, __FILE__, __LINE__, writing, path, call, \
                       errorNumber)
