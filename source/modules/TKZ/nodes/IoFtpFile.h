// The UI thread's side of an IO_FTP job: the local file, opened, read one
// kIoFtpBufferSize buffer at a time and closed at the comm thread's request
// (WM_DOC_FTP_READ, WM_DOC_FTP_CLOSE).  The frame's handlers (IpcComm.h:
// IoFtpReadBlock, IoFtpCloseFile) call these, then give the job back.
//
// Threads: the thread that holds the lent job (the UI thread).  They touch
// only the job's file, Rcode and result.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>

#include "IoFtpRequest.h"

// The FAT date-time of a time, in local time: bits 0-4 seconds / 2, 5-10
// minutes, 11-15 hours, 16-20 day, 21-24 month, 25-31 years since 1980
// (times before 1980 give 1980-01-01 00:00:00).
uint32_t FatDateTime(std::time_t t);

// Opens the local file on the first call (size, FAT date-time, buffer), then
// reads the next buffer: bytesLeft = the count read, eof when it came short.
// A failure sets Rcode (RC_FILE_OPEN_FAILED / RC_FILE_READ_FAILED) and the
// result text, and leaves no file open.
void IoFtpReadLocal(IoFtpRequest* request);
// Closes the local file and frees its buffer; a failure sets
// RC_FILE_CLOSE_FAILED unless the job already failed.
void IoFtpCloseLocal(IoFtpRequest* request);

// The system calls that read and close the local file.  Tests put in calls
// that fail to see a failing disk; a null member is the system's own
// (read(2), close(2)).
struct IoFtpFileCalls {
  ssize_t (*read)(int fd, void* buffer, size_t count) = nullptr;
  int (*close)(int fd) = nullptr;
};
// Makes `calls` the ones every later read and close uses and returns those
// they replace.  Not while a job's file is being read or closed.
IoFtpFileCalls SetIoFtpFileCalls(const IoFtpFileCalls& calls);
