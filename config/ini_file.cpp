#include "config/ini_file.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <iniparser/iniparser.h>
}

#include "config/input_error.h"

namespace sceneflow {
namespace {

constexpr const char* kUnsetListing = "(null)";

struct DictionaryDeleter {
  void operator()(dictionary* d) const { iniparser_freedict(d); }
};
using Dictionary = std::unique_ptr<dictionary, DictionaryDeleter>;

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

bool IsCommentOrBlank(const std::string& text) {
  return text.empty() || text[0] == ';' || text[0] == '#';
}

// What one INI line holds.
struct IniLine {
  enum Kind { kNothing, kSection, kSetting, kEmptySetting, kMalformed } kind = kNothing;
  std::string name;   // section name, or key
  std::string value;  // value of a setting
};

// Value part of "key = value": a quoted text (the empty text for two quotes), or the unquoted text
// up to the first ';' or '#' with surrounding blanks removed. An empty unquoted value sets nothing.
IniLine ParseSettingValue(const std::string& key, const std::string& raw_value) {
  IniLine line;
  line.name = key;
  const std::string value = Trim(raw_value);
  if (!value.empty() && (value[0] == '"' || value[0] == '\'')) {
    const size_t closing = value.find(value[0], 1);
    if (closing == std::string::npos) {
      line.kind = IniLine::kMalformed;
      return line;
    }
    line.kind = IniLine::kSetting;
    line.value = value.substr(1, closing - 1);
    return line;
  }
  line.value = Trim(value.substr(0, value.find_first_of(";#")));
  line.kind = line.value.empty() ? IniLine::kEmptySetting : IniLine::kSetting;
  return line;
}

IniLine ParseIniLine(const std::string& raw) {
  const std::string text = Trim(raw);
  IniLine line;
  if (IsCommentOrBlank(text)) return line;
  if (text[0] == '[') {
    const size_t closing = text.find(']');
    if (closing == std::string::npos) return {IniLine::kMalformed, "", ""};
    const std::string name = Trim(text.substr(1, closing - 1));
    const std::string rest = Trim(text.substr(closing + 1));
    if (name.empty() || !IsCommentOrBlank(rest)) return {IniLine::kMalformed, "", ""};
    return {IniLine::kSection, name, ""};
  }
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return {IniLine::kMalformed, "", ""};
  const std::string key = Trim(text.substr(0, equals));
  if (key.empty()) return {IniLine::kMalformed, "", ""};
  return ParseSettingValue(key, text.substr(equals + 1));
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Edit distance between two names: each inserted, deleted or replaced character and each swap of
// two neighbouring characters counts one.
size_t EditDistance(const std::string& a, const std::string& b) {
  // Rows i-2, i-1 and i of the distance table between the first i characters of a and those of b.
  std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t replace = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

// A known name counts as meant when it is at most this many edits away from what was written:
// one edit in a short name, up to three in a long one.
size_t LargestTypoDistance(const std::string& name) {
  return std::clamp<size_t>(name.size() / 3, 1, 3);
}

// True when `known` is at most `largest` edits away from `written` (both in lower case). Names
// whose lengths differ by more cannot be, and are not compared at all, so that a long line costs
// no more than a short one.
bool WithinEdits(const std::string& written, const std::string& known, size_t largest,
                 size_t& distance) {
  const size_t length_difference = written.size() > known.size() ? written.size() - known.size()
                                                                  : known.size() - written.size();
  if (length_difference > largest) return false;
  distance = EditDistance(written, known);
  return distance <= largest;
}

// The section of that name, ignoring case as the lookup does.
std::optional<Section> FindSection(const std::string& name) {
  for (Section section : {Section::kGlobal, Section::kStereo, Section::kSceneFlow}) {
    if (Lower(SectionName(section)) == Lower(name)) return section;
  }
  return std::nullopt;
}

// The known key nearest to `name` (ignoring case), within the typo distance; among equally near
// keys, one of `section` and then the first in the key list. Null when none is that near.
const ParameterKey* NearestKey(const std::string& name, std::optional<Section> section) {
  static const std::vector<std::string> lower_keys = [] {
    std::vector<std::string> names;
    for (const ParameterKey& key : ParameterKeys()) names.push_back(Lower(key.name));
    return names;
  }();
  const std::string lower = Lower(name);
  const ParameterKey* nearest = nullptr;
  size_t nearest_distance = LargestTypoDistance(name) + 1;
  for (size_t k = 0; k < lower_keys.size(); ++k) {
    const ParameterKey& key = ParameterKeys()[k];
    size_t distance = 0;
    if (!WithinEdits(lower, lower_keys[k], LargestTypoDistance(name), distance)) continue;
    const bool better = distance < nearest_distance ||
                        (distance == nearest_distance && nearest != nullptr &&
                         nearest->section != section && key.section == section);
    if (better) {
      nearest = &key;
      nearest_distance = distance;
    }
  }
  return nearest;
}

std::string Bracketed(Section section) { return std::string("[") + SectionName(section) + "]"; }

// The warning for key `name` at a line of `path` in `section` (none before the first section
// header), or nothing when the parameter set knows the key there.
std::optional<std::string> UnknownKeyWarning(const char* path, int line_number,
                                             std::optional<Section> section,
                                             const std::string& name) {
  const ParameterKey* nearest = NearestKey(name, section);
  if (nearest != nullptr && section == nearest->section && Lower(nearest->name) == Lower(name)) {
    return std::nullopt;
  }
  const std::string where = section ? "in " + Bracketed(*section) : "outside any section";
  std::string warning = "Warning: parameter file " + std::string(path) + " line " +
                        std::to_string(line_number) + ": ";
  if (nearest != nullptr && Lower(nearest->name) == Lower(name)) {
    return warning + "key " + name + " is ignored " + where + "; it belongs in " +
           Bracketed(nearest->section);
  }
  warning += "unknown key " + name + " " + where + " is ignored";
  if (nearest == nullptr) return warning;
  warning += std::string("; did you mean ") + nearest->name;
  if (section != nearest->section) warning += " in " + Bracketed(nearest->section);
  return warning + "?";
}

std::string UnknownSectionWarning(const char* path, int line_number, const std::string& name) {
  std::string warning = "Warning: parameter file " + std::string(path) + " line " +
                        std::to_string(line_number) + ": unknown section [" + name +
                        "], its keys are ignored";
  const std::string lower = Lower(name);
  for (Section section : {Section::kGlobal, Section::kStereo, Section::kSceneFlow}) {
    size_t distance = 0;
    if (WithinEdits(lower, Lower(SectionName(section)), LargestTypoDistance(name), distance)) {
      return warning + "; did you mean " + Bracketed(section) + "?";
    }
  }
  return warning;
}

// Reads an INI file into an iniparser dictionary keyed "section:key". The lines are read here
// rather than by iniparser_load, which rejects section headers followed by a comment (the form
// that WriteParameters produces) and keeps "key =" as an empty value instead of ignoring it.
// Returns null when the file cannot be read; throws InputError on a malformed line. Appends a
// warning to `warnings` for every unknown section and every key that its section does not hold
// (keys inside an unknown section are covered by the section's warning).
Dictionary ReadIniFile(const char* path, std::vector<std::string>& warnings) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path, "r"), &std::fclose);
  if (!file) return nullptr;
  Dictionary entries(dictionary_new(0));
  std::string section;
  std::optional<Section> known_section;  // none before the first header or in an unknown section
  bool in_unknown_section = false;
  char* buffer = nullptr;
  size_t capacity = 0;
  int line_number = 0;
  ssize_t length;
  while ((length = getline(&buffer, &capacity, file.get())) >= 0) {
    ++line_number;
    const std::string raw(buffer, static_cast<size_t>(length));
    const IniLine line = ParseIniLine(raw);
    if (line.kind == IniLine::kMalformed) {
      std::free(buffer);
      throw InputError("Error: malformed line " + std::to_string(line_number) +
                       " in parameter file " + path + ": " + Trim(raw));
    }
    if (line.kind == IniLine::kSection) {
      section = line.name;
      known_section = FindSection(section);
      in_unknown_section = !known_section;
      if (in_unknown_section) warnings.push_back(UnknownSectionWarning(path, line_number, section));
      iniparser_set(entries.get(), section.c_str(), nullptr);
    } else if ((line.kind == IniLine::kSetting || line.kind == IniLine::kEmptySetting) &&
               !in_unknown_section) {
      if (auto warning = UnknownKeyWarning(path, line_number, known_section, line.name)) {
        warnings.push_back(*warning);
      }
    }
    if (line.kind == IniLine::kSetting) {
      const std::string entry = section + ":" + line.name;
      iniparser_set(entries.get(), entry.c_str(), line.value.c_str());
    }
  }
  const bool read_failed = std::ferror(file.get()) != 0;
  std::free(buffer);
  if (read_failed) return nullptr;  // a directory, or an I/O error: as good as unreadable
  return entries;
}

std::string LookupName(const ParameterKey& key) {
  return Lower(std::string(SectionName(key.section)) + ":" + key.name);
}

// Sets one parameter from the dictionary, or to its default when the file does not hold the key.
void ApplyKey(const ParameterKey& key, const dictionary* entries, const ParameterSet& defaults,
              ParameterSet& parameters) {
  const std::string name = LookupName(key);
  const bool present = iniparser_find_entry(entries, name.c_str()) != 0;
  if (auto member = std::get_if<double ParameterSet::*>(&key.member)) {
    parameters.*(*member) =
        present ? iniparser_getdouble(entries, name.c_str(), 0.0) : defaults.*(*member);
  } else if (auto member = std::get_if<int ParameterSet::*>(&key.member)) {
    parameters.*(*member) =
        present ? iniparser_getint(entries, name.c_str(), 0) : defaults.*(*member);
  } else {
    auto text = std::get<OptionalString ParameterSet::*>(key.member);
    const char* value = iniparser_getstring(entries, name.c_str(), nullptr);
    parameters.*text = value ? OptionalString(value) : defaults.*text;
  }
}

}  // namespace

const ParameterKey* FindParameterKey(const std::string& name) {
  const std::string lower = Lower(name);
  for (const ParameterKey& key : ParameterKeys()) {
    if (Lower(key.name) == lower) return &key;
  }
  return nullptr;
}

const ParameterKey* NearestParameterKey(const std::string& name) {
  return NearestKey(name, std::nullopt);
}

int LoadParameters(ParameterSet& parameters, const char* path, std::vector<std::string>* warnings) {
  const ParameterSet defaults;
  if (path == nullptr) {
    parameters = defaults;
    for (const ParameterKey& key : ParameterKeys()) {
      if (auto text = std::get_if<OptionalString ParameterSet::*>(&key.member)) {
        if (!(parameters.*(*text))) parameters.*(*text) = kUnsetListing;
      }
    }
    return -1;
  }
  std::vector<std::string> file_warnings;
  Dictionary entries = ReadIniFile(path, file_warnings);
  if (!entries) return 1;
  if (warnings != nullptr) warnings->insert(warnings->end(), file_warnings.begin(), file_warnings.end());
  for (const ParameterKey& key : ParameterKeys()) {
    ApplyKey(key, entries.get(), defaults, parameters);
  }
  return 0;
}

int WriteParameters(const ParameterSet& parameters, FILE* stream) {
  if (stream == nullptr) return -1;
  const std::vector<ParameterKey>& keys = ParameterKeys();
  for (Section section : {Section::kGlobal, Section::kStereo, Section::kSceneFlow}) {
    std::fprintf(stream, "\n[%s] ; %s\n", SectionName(section), SectionDescription(section));
    for (const ParameterKey& key : keys) {
      if (key.section != section) continue;
      if (auto member = std::get_if<double ParameterSet::*>(&key.member)) {
        std::fprintf(stream, "%s = %g ; %s\n", key.name, parameters.*(*member), key.description);
      } else if (auto member = std::get_if<int ParameterSet::*>(&key.member)) {
        std::fprintf(stream, "%s = %d ; %s\n", key.name, parameters.*(*member), key.description);
      } else {
        const OptionalString& text = parameters.*std::get<OptionalString ParameterSet::*>(key.member);
        if (text) std::fprintf(stream, "%s = %s ; %s\n", key.name, text->c_str(), key.description);
      }
    }
  }
  return 0;
}

}  // namespace sceneflow
