#pragma once
// Base64 (RFC 4648 alphabet, "=" padding) for the files the update server
// delivers.

#include <stddef.h>

/// The 64 characters of the alphabet, in value order.
extern const char encoding_table[64];

/// The bytes of `text` (`length` characters), followed by one NUL byte, in a
/// buffer the caller releases with free(); `*decodedLength` is the byte
/// count. Null, with `*decodedLength` untouched, when the length is not a
/// multiple of 4, when a character lies outside the alphabet, when "="
/// stands anywhere but in the padding at the end, or when no memory is left.
unsigned char* base64_decode(const char* text, size_t length, size_t* decodedLength);

/// Padded text for `length` bytes, NUL-terminated, in a buffer the caller
/// releases with free(); `*textLength` excludes the NUL. Null when no memory
/// is left.
char* base64_encode(const unsigned char* data, size_t length, size_t* textLength);
