#pragma once
// Waiting on the descriptor of a stream kind (socket, serial port, kernel
// device node), for the streams' wait procedures.

#include "device/core/kError.h"

#include <stdint.h>

/// Blocks until `fd` is readable, or at its end or in error (a read then
/// tells which), or `timeoutMS` has passed: kErrNone, kErrTimeout; kErrIO
/// when poll itself fails. A signal does not cut the wait short.
kErr kDescriptor_AwaitReadable(int fd, uint32_t timeoutMS);

/// From now on the calling thread's waits also end, with kErrTimeout, when
/// `wake` becomes readable (-1: no such descriptor). A link's reader is
/// woken by its stop this way instead of at the end of its wait.
void kDescriptor_SetWake(int wake);
