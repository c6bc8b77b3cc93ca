#include "tools/common/prepared_file.h"

#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>

#include "config/input_error.h"
#include "tools/common/number_text.h"

namespace sceneflow::tools {
namespace {

// The numbers of prepared.txt, each with the file's path in its message.
class PreparedNumbers {
 public:
  PreparedNumbers(const std::string& path, const std::map<std::string, std::string>& keys)
      : path_(path), keys_(keys) {}

  // A finite number; `fallback` when the key is absent, which without a fallback is an error.
  double Number(const std::string& key, std::optional<double> fallback) const {
    const auto found = keys_.find(key);
    if (found == keys_.end()) {
      if (fallback) return *fallback;
      throw InputError("Error: " + path_ + " has no " + key);
    }
    const std::optional<double> value = FiniteNumberIn(found->second);
    if (!value) {
      throw InputError("Error: " + path_ + ": " + key + " \"" + found->second + "\" is not a number");
    }
    return *value;
  }

  // An image side: a whole number of pixels from 1 to 1000000.
  int PixelCount(const std::string& key, std::optional<double> fallback) const {
    const double value = Number(key, fallback);
    if (!(value >= 1 && value <= 1e6)) {
      throw InputError("Error: " + path_ + ": " + key + " must be from 1 to 1000000 pixels");
    }
    if (value != std::floor(value)) {
      throw InputError("Error: " + path_ + ": " + key + " must be a whole number of pixels, not " +
                       keys_.at(key));
    }
    return static_cast<int>(value);
  }

  std::string Text(const std::string& key) const {
    const auto found = keys_.find(key);
    return found == keys_.end() ? std::string() : found->second;
  }

 private:
  const std::string& path_;
  const std::map<std::string, std::string>& keys_;
};

// Every "key value" line; lines without a key and keys starting with # are left out, a key
// without a value reads as an empty text.
std::map<std::string, std::string> ReadKeys(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw InputError("Error: cannot read " + path + " (not a folder made by sceneflow-prepare?)");
  std::map<std::string, std::string> keys;
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (!(words >> key) || key[0] == '#') continue;
    words >> value;
    keys[key] = value;
  }
  return keys;
}

}  // namespace

std::string PreparedFileText(const PreparedFile& prepared) {
  std::ostringstream text;
  text << "form " << prepared.form << "\n";
  if (!prepared.frame.empty()) text << "frame " << prepared.frame << "\n";
  text << "width " << prepared.size.width << "\n"
       << "height " << prepared.size.height << "\n"
       << "original_width " << prepared.original_size.width << "\n"
       << "original_height " << prepared.original_size.height << "\n"
       << "scale " << NumberText(prepared.scale) << "\n"
       << "focal " << NumberText(prepared.focal) << "\n"
       << "cx " << NumberText(prepared.cx) << "\n"
       << "cy " << NumberText(prepared.cy) << "\n"
       << "baseline " << NumberText(prepared.baseline) << "\n"
       << "doffs " << NumberText(prepared.doffs) << "\n"
       << "init " << prepared.init << "\n"
       << "photometric " << prepared.photometric << "\n"
       << "views " << prepared.views << "\n";
  return text.str();
}

PreparedFile ReadPreparedFile(const std::string& path) {
  PreparedFile prepared;
  prepared.keys = ReadKeys(path);
  const PreparedNumbers numbers(path, prepared.keys);
  prepared.form = numbers.Text("form");
  prepared.frame = numbers.Text("frame");
  prepared.init = numbers.Text("init");
  prepared.photometric = numbers.Text("photometric");
  prepared.size = cv::Size(numbers.PixelCount("width", std::nullopt), numbers.PixelCount("height", std::nullopt));
  prepared.scale = numbers.Number("scale", 1.0);
  if (!(prepared.scale > 0)) throw InputError("Error: " + path + ": scale must be above 0");
  prepared.original_size =
      cv::Size(numbers.PixelCount("original_width", std::round(prepared.size.width / prepared.scale)),
               numbers.PixelCount("original_height", std::round(prepared.size.height / prepared.scale)));
  prepared.focal = numbers.Number("focal", std::nullopt);
  if (!(prepared.focal > 0)) throw InputError("Error: " + path + ": focal must be above 0");
  prepared.cx = numbers.Number("cx", prepared.size.width / 2.0);
  prepared.cy = numbers.Number("cy", prepared.size.height / 2.0);
  prepared.baseline = numbers.Number("baseline", 0.0);
  prepared.doffs = numbers.Number("doffs", 0.0);
  if (prepared.keys.count("views") != 0) {
    const std::optional<long> views = WholeNumberIn(prepared.keys.at("views"));
    if (!views || *views < 0) {
      throw InputError("Error: " + path + ": views \"" + prepared.keys.at("views") + "\" is not a number of views");
    }
    prepared.views = static_cast<size_t>(*views);
  }
  return prepared;
}

}  // namespace sceneflow::tools
