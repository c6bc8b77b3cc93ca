#include "config/ini_file.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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
  enum Kind { kNothing, kSection, kSetting, kMalformed } kind = kNothing;
  std::string name;   // section name, or key
  std::string value;  // value of a setting
};

// Value part of "key = value": a quoted text (the empty text for two quotes), or the unquoted text
// up to the first ';' or '#' with surrounding blanks removed. An empty unquoted value is no setting.
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
  line.kind = line.value.empty() ? IniLine::kNothing : IniLine::kSetting;
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

// Reads an INI file into an iniparser dictionary keyed "section:key". The lines are read here
// rather than by iniparser_load, which rejects section headers followed by a comment (the form
// that WriteParameters produces) and keeps "key =" as an empty value instead of ignoring it.
// Returns null when the file cannot be read; throws InputError on a malformed line.
Dictionary ReadIniFile(const char* path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path, "r"), &std::fclose);
  if (!file) return nullptr;
  Dictionary entries(dictionary_new(0));
  std::string section;
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
      iniparser_set(entries.get(), section.c_str(), nullptr);
    } else if (line.kind == IniLine::kSetting) {
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
  std::string name = std::string(SectionName(key.section)) + ":" + key.name;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
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

int LoadParameters(ParameterSet& parameters, const char* path) {
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
  Dictionary entries = ReadIniFile(path);
  if (!entries) return 1;
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
