#include "tests/support/log_capture.h"

#include <mutex>

namespace ketrel::test {
namespace {
std::mutex gCaptureMutex;  // workers may log concurrently
}

LogCapture::LogCapture() : previous_(SetLogCallback(LogCallback{&LogCapture::Receive, this})) {}
LogCapture::~LogCapture() { SetLogCallback(previous_); }

void LogCapture::Receive(LogType type, LogOrigin origin, const char*, int, const char* message,
                         void* user) {
  std::lock_guard<std::mutex> lock(gCaptureMutex);
  static_cast<LogCapture*>(user)->messages_.push_back({type, origin, message});
}

size_t LogCapture::errors() const {
  size_t n = 0;
  for (const auto& m : messages_) n += m.type == LogType::Error;
  return n;
}
size_t LogCapture::warnings() const {
  size_t n = 0;
  for (const auto& m : messages_) n += m.type == LogType::Warning;
  return n;
}
bool LogCapture::Contains(const std::string& text) const {
  for (const auto& m : messages_)
    if (m.text.find(text) != std::string::npos) return true;
  return false;
}
std::string LogCapture::All() const {
  std::string all;
  for (const auto& m : messages_) all += m.text + "\n";
  return all;
}

}  // namespace ketrel::test
