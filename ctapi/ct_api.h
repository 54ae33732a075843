#pragma once

// The CT-API of this driver: three C functions over one card terminal per
// terminal number (ctn), each terminal a PC/SC reader of pcscd.
//
// Port numbers (pn of CT_init): the environment variable
// VEXA_CTAPI_READER_<pn> names the PC/SC reader when it is set; otherwise
// port 1 is pcscd's first reader, port 2 its second, and so on.

#ifdef __cplusplus
extern "C" {
#endif

#define VEXA_CTAPI_EXPORT __attribute__((visibility("default")))

// Return codes of the CT-API.
enum {
    CTAPI_OK = 0,
    CTAPI_ERR_INVALID = -1, // bad argument, or ctn already open
    CTAPI_ERR_CT = -8,      // terminal not usable (unknown ctn, no such reader)
    CTAPI_ERR_TRANS = -10,  // the card could not be reached
    CTAPI_ERR_MEMORY = -11, // the answer does not fit the response buffer
    CTAPI_ERR_HTSI = -128,  // pcscd not reachable
};

// Opens terminal ctn on port pn.
VEXA_CTAPI_EXPORT signed char CT_init(unsigned short ctn, unsigned short pn);
// One command: dad 1 (the terminal) takes CT-BCS commands of class 20, dad 0
// (the card) takes APDUs. On return dad and sad are swapped and lenr holds
// the answer's length.
VEXA_CTAPI_EXPORT signed char CT_data(unsigned short ctn, unsigned char* dad, unsigned char* sad, unsigned short lenc,
                                      unsigned char* command, unsigned short* lenr, unsigned char* response);
// Closes terminal ctn, unpowering its card.
VEXA_CTAPI_EXPORT signed char CT_close(unsigned short ctn);

#ifdef __cplusplus
}
#endif
