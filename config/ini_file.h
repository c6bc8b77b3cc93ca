#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "config/parameter_set.h"

namespace sceneflow {

// With no path: sets every parameter to its default and returns -1; string parameters without a
// default get the text "(null)" so that the usage listing shows them (never used for a run).
// With a path: returns 1 and changes nothing when the file cannot be read. Otherwise every key of
// the list takes the file's value or, where the file does not mention it, its default, and the
// result is 0. Throws InputError, changing nothing, when a line of the file is malformed.
// A section or key that the parameter set does not know is ignored; when `warnings` is given, one
// line per such section or key, naming the file, the line and the name (with the nearest known
// name when one is close), is appended to it.
int LoadParameters(ParameterSet& parameters, const char* path,
                   std::vector<std::string>* warnings = nullptr);

// The key of that name, ignoring case as INI files do; null when there is none.
const ParameterKey* FindParameterKey(const std::string& name);

// The known key a misspelt name most likely meant (within a few edits, ignoring case); null when
// none is that near. The "did you mean" of the warnings about unknown keys.
const ParameterKey* NearestParameterKey(const std::string& name);

// Writes the whole set as commented INI text, section by section; unset strings are left out.
// Returns 0, or -1 (writing nothing) when there is no stream.
int WriteParameters(const ParameterSet& parameters, FILE* stream);

}  // namespace sceneflow
