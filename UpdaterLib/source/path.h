#pragma once
// Path joining for the local store.

#include <string>

/// `first`, then "/" and each further component up to the null pointer that
/// ends the list. Nothing is normalised: a component that already begins or
/// ends with "/" gives a doubled separator.
std::string BuildPath(const char* first, ...);
