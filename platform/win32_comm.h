// The Win32 serial-communication and timing calls that quarnprog is written
// against. On Windows they are KERNEL32's own. Elsewhere this header declares
// the same names with the same shapes, and a platform layer of ours provides
// them: the termios layer for the real program, or the virtual line of the
// simulator for the unit tests.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// Without this, <windows.h> defines min and max as macros, which would break
// std::min and std::max in every file that includes this header.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

#include <cstdint>

typedef void* HANDLE;
typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef int BOOL;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef struct OVERLAPPED_* LPOVERLAPPED;  // never used: every call is synchronous
typedef struct SECURITY_ATTRIBUTES_* LPSECURITY_ATTRIBUTES;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define NOPARITY 0
#define ONESTOPBIT 0
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_OPERATION_ABORTED 995u

// Device-control record. The flags word keeps the Win32 bit order, so fNull
// is bit 11 and code that clears one flag leaves the others as they were.
typedef struct DCB_ {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2

// Read and write time-outs in milliseconds. A read of n bytes that finds no
// byte ends after ReadTotalTimeoutMultiplier * n + ReadTotalTimeoutConstant.
typedef struct COMMTIMEOUTS_ {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

HANDLE CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);
BOOL GetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommState(HANDLE port, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE port, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);
DWORD GetLastError();
void Sleep(DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

#endif
