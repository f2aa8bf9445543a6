// Moving one regular file's content from one descriptor to another on
// POSIX: in the kernel where it can, holes kept as holes, and through a
// bounded buffer where the kernel cannot.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The largest buffer the fallback takes: the memory of a copy does not
// grow with the size of the file.
const int64_t CONTENT_BUFFER_BYTES = 1 << 20;

// Copies everything source holds from its start to its end into the empty
// file destination, both positioned at 0. moved counts the bytes of the
// source that the copy holds, holes included, up to the first failure.
ContentResult copyContent(int source, int destination, uint64_t* moved);
