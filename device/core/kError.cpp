#include "device/core/kError.h"

static const char* const ERROR_TEXT[] = {
    "kErrNone",           "kErrMemory",        "kErrParam",      "kErrNotFound",
    "kErrFileNameLength", "kErrBusy",          "kErrIO",         "kErrMode",
    "kErrWrite",          "kErrRead",          "kErrEOF",        "kErrNotReady",
    "kErrPermission",     "kErrRange",         "kErrSize",       "kErrOverrun",
    "kErrParse",          "kErrConfiguration", "kErrTimeout",    "kErrInitialization",
    "kErrVersion",        "kErrUnimplemented", "kErrDuplicate",  "kErrCancel",
    "kErrPacket",         "kErrConnection",    "kErrIndexRange", "kErrShortCommand",
    "kErrInvalidEntity",  "kErrInvalidOption", "kErrResource",   "kErrMedia",
    "kErrAsyncReturn",    "kErrStreamStale",   "kErrUnknown",
};

static const char* const ERROR_DESCRIPTION[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancelation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Vantor command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof(ERROR_TEXT) / sizeof(ERROR_TEXT[0]) == kErrLast + 1,
              "ERROR_TEXT must name every kErr code");
static_assert(sizeof(ERROR_DESCRIPTION) / sizeof(ERROR_DESCRIPTION[0]) == kErrLast + 1,
              "ERROR_DESCRIPTION must describe every kErr code");

static kErr sClamp(kErr err)
{
    return (err < 0 || err > kErrLast) ? kErrUnknown : err;
}

const char* kError_GetErrorText(kErr err)
{
    return ERROR_TEXT[sClamp(err)];
}

const char* kError_GetErrorDescription(kErr err)
{
    return ERROR_DESCRIPTION[sClamp(err)];
}
