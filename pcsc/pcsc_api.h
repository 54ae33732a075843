#pragma once

// The system's PC/SC interface, included from here only: pcsc-lite on Linux,
// winscard on Windows. Both declare the same functions and names; where one
// lacks a constant the other has, it is given here, with the value of the
// system it stands for.
#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
#include <winsmcrd.h>

// pcsc-lite's sizes, which Windows leaves to the caller.
#ifndef MAX_ATR_SIZE
#define MAX_ATR_SIZE 33
#endif
#ifndef MAX_READERNAME
#define MAX_READERNAME 128
#endif
#ifndef MAX_BUFFER_SIZE_EXTENDED
#define MAX_BUFFER_SIZE_EXTENDED (4 + 3 + (1 << 16) + 3 + 2)
#endif
#else
#include <PCSC/pcsclite.h>
#include <PCSC/reader.h>
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#endif
