#include "io/program_errors.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include <opencv2/core/utils/logger.hpp>

#include "config/input_error.h"

namespace sceneflow {
namespace {

// "Error: internal failure: " and the message, its line breaks turned into blanks.
void ReportInternalFailure(const char* what) {
  std::string message = what;
  for (char& c : message) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!message.empty() && message.back() == ' ') message.pop_back();
  std::fprintf(stderr, "Error: internal failure: %s\n", message.c_str());
}

}  // namespace

int RunReportingErrors(const std::function<int()>& run, const char* out_of_memory) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  try {
    return run();
  } catch (const InputError& error) {
    std::fprintf(stderr, "%s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s\n", out_of_memory);
  } catch (const std::exception& error) {
    ReportInternalFailure(error.what());
  } catch (...) {
    ReportInternalFailure("an exception of unknown type");
  }
  return 1;
}

}  // namespace sceneflow
