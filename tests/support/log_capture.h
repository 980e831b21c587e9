#pragma once
// Collects the library's log messages for the lifetime of a test scope.
#include <string>
#include <vector>

#include "rt/ketrel_log.h"

namespace ketrel::test {

struct LoggedMessage {
  LogType type;
  LogOrigin origin;
  std::string text;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LoggedMessage>& messages() const { return messages_; }
  size_t errors() const;
  size_t warnings() const;
  // True when some message contains `text`.
  bool Contains(const std::string& text) const;
  std::string All() const;
  void Clear() { messages_.clear(); }

 private:
  static void Receive(LogType type, LogOrigin origin, const char* file, int line,
                      const char* message, void* user);
  std::vector<LoggedMessage> messages_;
  LogCallback previous_;
};

}  // namespace ketrel::test
