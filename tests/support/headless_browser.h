#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace sceneflow::testing {

// ---- A little JSON reading, enough for the DevTools protocol's replies ----------------------------

inline size_t SkipJsonSpace(std::string_view json, size_t at) {
  while (at < json.size() && (json[at] == ' ' || json[at] == '\n' || json[at] == '\r' || json[at] == '\t')) ++at;
  return at;
}

// The position just past the JSON value that starts at `at`.
inline size_t SkipJsonValue(std::string_view json, size_t at) {
  int depth = 0;
  bool in_string = false;
  for (; at < json.size(); ++at) {
    const char c = json[at];
    if (in_string) {
      if (c == '\\') {
        ++at;
      } else if (c == '"') {
        in_string = false;
        if (depth == 0) return at + 1;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return at;
      if (--depth == 0) return at + 1;
    } else if (depth == 0 && (c == ',' || c == ' ' || c == '\n')) {
      return at;
    }
  }
  return at;
}

// The raw JSON text of the member `key` of the object `json`; empty when it has none.
inline std::string JsonMember(std::string_view json, std::string_view key) {
  size_t at = SkipJsonSpace(json, 0);
  if (at >= json.size() || json[at] != '{') return "";
  at = SkipJsonSpace(json, at + 1);
  while (at < json.size() && json[at] == '"') {
    const size_t key_end = SkipJsonValue(json, at);
    const std::string_view name = json.substr(at + 1, key_end - at - 2);
    at = SkipJsonSpace(json, key_end);
    if (at >= json.size() || json[at] != ':') return "";
    const size_t value_start = SkipJsonSpace(json, at + 1);
    const size_t value_end = SkipJsonValue(json, value_start);
    if (name == key) return std::string(json.substr(value_start, value_end - value_start));
    at = SkipJsonSpace(json, value_end);
    if (at < json.size() && json[at] == ',') at = SkipJsonSpace(json, at + 1);
  }
  return "";
}

// The text of a raw JSON string (quotes included); escapes of characters beyond ASCII become '?'.
inline std::string JsonText(std::string_view raw) {
  std::string text;
  if (raw.size() < 2 || raw.front() != '"') return text;
  for (size_t i = 1; i + 1 < raw.size(); ++i) {
    if (raw[i] != '\\') {
      text += raw[i];
      continue;
    }
    const char escaped = raw[++i];
    switch (escaped) {
      case 'n': text += '\n'; break;
      case 't': text += '\t'; break;
      case 'r': text += '\r'; break;
      case 'b': text += '\b'; break;
      case 'f': text += '\f'; break;
      case 'u': {
        const unsigned code = std::stoul(std::string(raw.substr(i + 1, 4)), nullptr, 16);
        text += code < 0x80 ? static_cast<char>(code) : '?';
        i += 4;
        break;
      }
      default: text += escaped;
    }
  }
  return text;
}

inline std::string JsonQuoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// ---- The browser ------------------------------------------------------------------------------

// Debian's Chromium without a window, driven through its DevTools protocol over a pipe
// (--remote-debugging-pipe: requests on descriptor 3, replies on 4, each message ended by a NUL),
// with a fresh profile and no network of its own. WebGL runs on SwiftShader, in software. Every
// request waits at most `timeout` for its reply; a failure throws std::runtime_error naming it.
class HeadlessBrowser {
 public:
  static constexpr const char* kExecutable = "/usr/bin/chromium";

  HeadlessBrowser(int width, int height, std::chrono::seconds timeout = std::chrono::seconds(60))
      : width_(width), height_(height), timeout_(timeout) {
    if (access(kExecutable, X_OK) != 0) {
      throw std::runtime_error(std::string(kExecutable) + " is missing (scripts/install-deps.sh installs it)");
    }
    signal(SIGPIPE, SIG_IGN);  // a browser that died shows as a failed write, not a killed test
    Start();
  }

  ~HeadlessBrowser() {
    if (pid_ <= 0) return;
    try {
      Send("Browser.close", "{}", false);
    } catch (const std::exception&) {
    }
    close(to_browser_);
    close(from_browser_);
    // Chromium's helper processes share its process group: what is left of it after 5 s goes.
    bool ended = false;
    for (int tries = 0; tries < 100 && !ended; ++tries) {
      ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(-pid_, SIGKILL);
    if (!ended) waitpid(pid_, nullptr, 0);
  }

  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  // Opens `url` in a page of the browser's size and waits for its load event.
  void Open(const std::string& url) {
    const std::string target = JsonText(JsonMember(Call("Target.createTarget", "{\"url\":\"about:blank\"}", false),
                                                   "targetId"));
    session_ = JsonText(JsonMember(
        Call("Target.attachToTarget", "{\"targetId\":" + JsonQuoted(target) + ",\"flatten\":true}", false),
        "sessionId"));
    for (const char* domain : {"Page.enable", "Runtime.enable", "Log.enable"}) Call(domain, "{}");
    Call("Emulation.setDeviceMetricsOverride", "{\"width\":" + std::to_string(width_) + ",\"height\":" +
                                                   std::to_string(height_) + ",\"deviceScaleFactor\":1,\"mobile\":false}");
    Call("Page.navigate", "{\"url\":" + JsonQuoted(url) + "}");
    WaitForEvent("Page.loadEventFired");
  }

  // Moves the open page to `url` (a new #fragment of the same page changes it in place).
  void Navigate(const std::string& url) { Call("Page.navigate", "{\"url\":" + JsonQuoted(url) + "}"); }

  // Evaluates a JavaScript expression in the page, waiting for it when it is a promise; returns
  // the JSON of its value.
  std::string Evaluate(const std::string& expression) {
    const std::string reply = Call("Runtime.evaluate", "{\"expression\":" + JsonQuoted(expression) +
                                                           ",\"awaitPromise\":true,\"returnByValue\":true}");
    if (!JsonMember(reply, "exceptionDetails").empty()) {
      throw std::runtime_error("evaluating " + expression + " failed: " + reply.substr(0, 400));
    }
    return JsonMember(JsonMember(reply, "result"), "value");
  }

  // Returns once the page has drawn two more frames.
  void WaitForFrames() { Evaluate("new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))"); }

  // The page's viewport as a PNG, base64-encoded.
  std::string ScreenshotBase64() {
    return JsonText(JsonMember(Call("Page.captureScreenshot", "{\"format\":\"png\"}"), "data"));
  }

  // The page's console errors and uncaught exceptions so far, one line each.
  const std::vector<std::string>& ConsoleErrors() const { return console_errors_; }

 private:
  void Start() {
    int to_browser[2], from_browser[2];
    if (pipe2(to_browser, O_CLOEXEC) != 0 || pipe2(from_browser, O_CLOEXEC) != 0) {
      throw std::runtime_error("cannot create the pipes to the browser");
    }
    const std::vector<std::string> arguments = {
        kExecutable, "--headless", "--no-sandbox", "--disable-gpu", "--use-angle=swiftshader",
        "--enable-unsafe-swiftshader", "--disable-quic", "--no-first-run", "--disable-background-networking",
        "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile_.path(),
        "--remote-debugging-pipe", "--window-size=" + std::to_string(width_) + "," + std::to_string(height_),
        "about:blank"};
    const std::string log = profile_ / "browser.log";
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      const int null = open("/dev/null", O_RDONLY);
      const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, 0);
      dup2(output, 1);
      dup2(output, 2);
      // Above 4 first, so that neither end is overwritten while the other moves.
      const int requests = fcntl(to_browser[0], F_DUPFD, 10);
      const int replies = fcntl(from_browser[1], F_DUPFD, 10);
      dup2(requests, 3);
      dup2(replies, 4);
      std::vector<char*> argv;
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(kExecutable, argv.data());
      _exit(127);
    }
    close(to_browser[0]);
    close(from_browser[1]);
    to_browser_ = to_browser[1];
    from_browser_ = from_browser[0];
    if (pid_ < 0) throw std::runtime_error("cannot start " + std::string(kExecutable));
  }

  int Send(const std::string& method, const std::string& params, bool in_page) {
    const int id = ++last_id_;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":" + JsonQuoted(method) + ",\"params\":" + params;
    if (in_page) message += ",\"sessionId\":" + JsonQuoted(session_);
    message += '}';
    message += '\0';
    for (size_t sent = 0; sent < message.size();) {
      const ssize_t written = write(to_browser_, message.data() + sent, message.size() - sent);
      if (written <= 0) throw std::runtime_error("the browser stopped reading (at " + method + ")");
      sent += static_cast<size_t>(written);
    }
    return id;
  }

  // Sends a request and returns its result, noting the events that come before it.
  std::string Call(const std::string& method, const std::string& params, bool in_page = true) {
    const std::string id = std::to_string(Send(method, params, in_page));
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (true) {
      const std::string message = Receive(deadline, method);
      if (JsonMember(message, "id") != id) {
        Note(message);
        continue;
      }
      const std::string error = JsonMember(message, "error");
      if (!error.empty()) throw std::runtime_error(method + " failed: " + error);
      return JsonMember(message, "result");
    }
  }

  void WaitForEvent(const std::string& method) {
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (true) {
      const std::string message = Receive(deadline, method);
      Note(message);
      if (JsonText(JsonMember(message, "method")) == method) return;
    }
  }

  std::string Receive(std::chrono::steady_clock::time_point deadline, const std::string& awaited) {
    while (true) {
      const size_t end = received_.find('\0');
      if (end != std::string::npos) {
        std::string message = received_.substr(0, end);
        received_.erase(0, end + 1);
        return message;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd reply{from_browser_, POLLIN, 0};
      if (left.count() <= 0 || poll(&reply, 1, static_cast<int>(left.count())) <= 0) {
        throw std::runtime_error("no answer from the browser to " + awaited + " within " +
                                 std::to_string(timeout_.count()) + " s");
      }
      char buffer[1 << 16];
      const ssize_t count = read(from_browser_, buffer, sizeof buffer);
      if (count <= 0) throw std::runtime_error("the browser ended while awaiting " + awaited + "; see its log");
      received_.append(buffer, static_cast<size_t>(count));
    }
  }

  // Keeps the page's errors: uncaught exceptions, console.error and error entries of its log.
  void Note(const std::string& message) {
    const std::string method = JsonText(JsonMember(message, "method"));
    const std::string params = JsonMember(message, "params");
    if (method == "Runtime.exceptionThrown") {
      const std::string details = JsonMember(params, "exceptionDetails");
      const std::string description = JsonText(JsonMember(JsonMember(details, "exception"), "description"));
      console_errors_.push_back("exception: " + (description.empty() ? details : description).substr(0, 400));
    } else if (method == "Runtime.consoleAPICalled" && JsonText(JsonMember(params, "type")) == "error") {
      console_errors_.push_back("console.error: " + JsonMember(params, "args").substr(0, 400));
    } else if (method == "Log.entryAdded") {
      const std::string entry = JsonMember(params, "entry");
      if (JsonText(JsonMember(entry, "level")) == "error") {
        console_errors_.push_back("log: " + JsonText(JsonMember(entry, "text")).substr(0, 400));
      }
    }
  }

  int width_, height_;
  std::chrono::seconds timeout_;
  TempDir profile_;
  pid_t pid_ = -1;
  int to_browser_ = -1, from_browser_ = -1;
  int last_id_ = 0;
  std::string session_;
  std::string received_;
  std::vector<std::string> console_errors_;
};

}  // namespace sceneflow::testing
