// The native face-descriptor bridge: two plain C entry points around one process-wide
// dlib face-recognition network.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define QUORVEL_BRIDGE_EXPORT __attribute__((visibility("default")))
#else
#define QUORVEL_BRIDGE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Reads the serialised dlib network at `path` (zero-terminated UTF-8) into a new network.
// Returns 1 when that worked; the new network then replaces the loaded one. Returns 0
// otherwise (missing or unreadable file, a file of another network, no memory, a null
// path) and keeps the network loaded before, if any.
QUORVEL_BRIDGE_EXPORT int32_t dlib_bridge_load(const char* path);

// Describes one face. `rgb` holds 67,500 bytes: 150 rows of 150 pixels, top row first,
// 3 bytes a pixel (red, green, blue), rows packed at 450 bytes. On success the 128 values
// of the descriptor are written to `out` (room for 128 floats) and 1 is returned. Returns
// 0 without writing `out` when no network is loaded, a pointer is null or the
// computation failed.
QUORVEL_BRIDGE_EXPORT int32_t dlib_bridge_embed(const uint8_t* rgb, float* out);

#ifdef __cplusplus
}
#endif
