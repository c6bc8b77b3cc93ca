#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace sceneflow {

// Writes a file through `write` into a temporary file in the same directory and renames it into
// place once everything reached the disk cache, so that the final name never holds a partial
// file: after an interruption or a failed write, an older complete file or none stands there.
// `mode` is the fopen mode ("w" or "wb"). Returns false when the file could not be written.
bool WriteFileAtomically(const std::string& path, const char* mode,
                         const std::function<void(FILE*)>& write);

// WriteFileAtomically of a text.
bool WriteTextAtomically(const std::string& path, const std::string& text);

// Whether WriteFileAtomically could write `path` now: `path` is not a folder and its folder takes
// new files (tried with a temporary file, which is removed at once). For checks before long work.
bool CanWriteFileAtomically(const std::string& path);

}  // namespace sceneflow
