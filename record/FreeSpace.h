// The free-space query of the recorder's guard: how many bytes the user may still write on the
// file system that holds a folder.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace record {

// Bytes available to the calling user (what remains after the space reserved for the system)
// on the file system holding `path`; nothing when the file system cannot be asked.
std::optional<uint64_t> GetFreeBytes(const std::string& path);

// The query the recorder uses; tests give their own. Called on the main thread at a start and on
// the recorder's thread before every buffer is written, so it must be safe on any thread.
using FreeSpaceQuery = std::function<std::optional<uint64_t>(const std::string& path)>;

}  // namespace record
