#include "io/image_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "config/input_error.h"
#include "io/atomic_file.h"

namespace sceneflow {
namespace {

// Points standard error at /dev/null for its lifetime. Some decoders (libpng among them) write
// their complaints straight to the stream, past OpenCV's own logging switches. One at a time in
// the process: two loads on two threads (runs started from Python threads) would otherwise each
// save the other's /dev/null as the stream to restore.
class SilencedStandardError {
 public:
  SilencedStandardError() : one_at_a_time_(Mutex()) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~SilencedStandardError() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
  }
  SilencedStandardError(const SilencedStandardError&) = delete;
  SilencedStandardError& operator=(const SilencedStandardError&) = delete;

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }

  std::lock_guard<std::mutex> one_at_a_time_;
  int saved_ = -1;
};

// The most bytes that deflate, a PNG's compression, can expand one byte into: about 1032.
constexpr uintmax_t kLargestInflation = 1032;

uint32_t BigEndian32(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}

// Whether `rows` rows of `row_bytes` each stay within `limit` bytes, without overflow.
bool RowsFit(uintmax_t rows, uintmax_t row_bytes, uintmax_t limit) {
  return rows == 0 || row_bytes <= limit / rows;
}

// A PNG header (signature, then the IHDR chunk) asks for at most what its file could inflate to.
bool PngHeaderFits(const unsigned char* header, size_t length, uintmax_t file_size) {
  if (length < 26 || std::memcmp(header + 12, "IHDR", 4) != 0) return true;  // the decoder refuses it
  const uintmax_t width = BigEndian32(header + 16), height = BigEndian32(header + 20);
  const int bit_depth = header[24];
  int samples = 0;  // per pixel, by colour type
  switch (header[25]) {
    case 0: case 3: samples = 1; break;  // grey; palette index
    case 4: samples = 2; break;          // grey and alpha
    case 2: samples = 3; break;          // RGB
    case 6: samples = 4; break;          // RGB and alpha
    default: return true;
  }
  if (bit_depth < 1 || bit_depth > 16) return true;
  // Every row starts with a filter byte.
  const uintmax_t row_bytes = 1 + (width * samples * bit_depth + 7) / 8;
  return RowsFit(height, row_bytes, file_size * kLargestInflation);
}

// The next number of a PNM header, skipping white space and comments; false when there is none.
bool NextPnmNumber(std::istream& stream, uintmax_t& value) {
  for (int c = stream.peek(); c != EOF; c = stream.peek()) {
    if (c == '#') {
      std::string comment;
      std::getline(stream, comment);
    } else if (std::isspace(c)) {
      stream.get();
    } else {
      break;
    }
  }
  if (!std::isdigit(stream.peek())) return false;
  value = 0;
  while (std::isdigit(stream.peek())) {
    value = value * 10 + static_cast<uintmax_t>(stream.get() - '0');
    if (value > UINT32_MAX) return false;
  }
  return true;
}

// A PNM header (P1 to P6) asks for no more pixels than its file holds: at least one byte per
// sample in the text forms, eight pixels per byte in P4, one or two bytes per sample in P5, P6.
bool PnmHeaderFits(const std::string& path, char kind, uintmax_t file_size) {
  std::ifstream stream(path, std::ios::binary);
  stream.ignore(2);
  uintmax_t width = 0, height = 0, largest = 1;
  if (!NextPnmNumber(stream, width) || !NextPnmNumber(stream, height)) return true;
  if (kind != '1' && kind != '4' && !NextPnmNumber(stream, largest)) return true;
  const uintmax_t samples = kind == '3' || kind == '6' ? 3 : 1;
  uintmax_t row_bytes = width * samples;
  if (kind == '4') row_bytes = (width + 7) / 8;
  if ((kind == '5' || kind == '6') && largest > 255) row_bytes *= 2;
  return RowsFit(height, row_bytes, file_size);
}

// Whether an image file's header asks for no more pixel data than the file could hold, for the
// formats whose headers are read here (PNG, PNM), so that a damaged or hostile header does not
// make a decoder allocate gigabytes before it finds the data missing. Other formats pass.
bool HeaderFitsTheFile(const std::string& path) {
  std::error_code error;
  const uintmax_t file_size = std::filesystem::file_size(path, error);
  if (error) return true;  // not a plain file: the decoder reports it
  unsigned char header[26] = {};
  std::ifstream file(path, std::ios::binary);
  file.read(reinterpret_cast<char*>(header), sizeof header);
  const size_t length = static_cast<size_t>(file.gcount());
  static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (length >= 8 && std::memcmp(header, kPngSignature, 8) == 0) {
    return PngHeaderFits(header, length, file_size);
  }
  if (length >= 2 && header[0] == 'P' && header[1] >= '1' && header[1] <= '6') {
    return PnmHeaderFits(path, static_cast<char>(header[1]), file_size);
  }
  return true;
}

}  // namespace

cv::Mat LoadImageQuietly(const std::string& path, int flags) {
  if (!HeaderFitsTheFile(path)) return cv::Mat();
  SilencedStandardError silenced;
  try {
    return cv::imread(path, flags);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

cv::Mat LoadGreyImage(const std::string& path) {
  cv::Mat image = LoadImageQuietly(path, cv::IMREAD_GRAYSCALE);
  if (image.empty()) throw InputError("Error: cannot read image " + path);
  return image;
}

bool SaveImageAtomically(const std::string& path, const cv::Mat& image,
                         const std::vector<int>& parameters) {
  std::vector<uchar> bytes;
  try {
    if (!cv::imencode(std::filesystem::path(path).extension().string(), image, bytes, parameters)) {
      return false;
    }
  } catch (const cv::Exception&) {
    return false;
  }
  return WriteFileAtomically(path, "wb", [&](FILE* stream) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
  });
}

std::string ViewFileName(const std::string& prefix, int view, const std::string& extension) {
  return prefix + std::to_string(view) + "." + extension;
}

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

}  // namespace sceneflow
