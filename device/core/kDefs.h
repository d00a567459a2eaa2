#pragma once
// Model numbers of the module family and their names.

#include <stdint.h>

/// The name of a model number ("PodUsb"); "Unknown" for any number not in
/// the model table. The text is static.
const char* kDefs_GetModelName(uint32_t model);
