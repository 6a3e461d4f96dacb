#pragma once
// Whole-file writes that a crash can never leave half done: the content goes to
// a hidden temporary file in the same directory, is synced, and is then moved
// into place with one atomic step, after which the directory itself is synced.
#include <sys/types.h>

#include <functional>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

enum class AtomicWrite {
  Replace,     // rename() over an existing file
  CreateOnly,  // link() into place; an existing file is left as it is
};

/// Called with the temporary file's path once it is written and synced, just
/// before it is moved into place. Lets tests stop a writer at that point.
using BeforeCommitHook = std::function<void(const std::string& tempPath)>;

/// Writes `content` to "{dir}/{name}" with mode `fileMode`. Returns true when the
/// file now holds `content`; false only for CreateOnly when "{dir}/{name}"
/// already existed (it is then left untouched). Throws std::system_error naming
/// the path for every failed system call; the temporary file is removed then.
bool writeFileAtomically(const std::string& dir, const std::string& name, ByteView content,
                         AtomicWrite mode = AtomicWrite::Replace,
                         const BeforeCommitHook& beforeCommit = {}, mode_t fileMode = 0600);

/// Reads a whole regular file of at most `maxBytes` bytes. Throws
/// std::system_error for a failed open or read, std::runtime_error for a
/// directory or other non-regular file and for a file longer than `maxBytes`.
Bytes readSmallFile(const std::string& path, std::size_t maxBytes);

}  // namespace vantro
