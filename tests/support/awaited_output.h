// What a program writes to a stream, for tests and benchmarks that wait on
// it from another thread: the text so far, how often a piece appears in it,
// and a wait for a piece to appear.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>

namespace lumbra::testsupport {

class AwaitedOutput final : public std::streambuf {
 public:
  // Waits until `text` was written `times` times; false after a minute.
  bool Await(std::string_view text, int times = 1) {
    std::unique_lock lock(mutex_);
    return written_.wait_for(lock, std::chrono::minutes(1), [&] { return CountLocked(text) >= times; });
  }
  int Count(std::string_view text) {
    const std::lock_guard lock(mutex_);
    return CountLocked(text);
  }
  std::string Text() {
    const std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  int CountLocked(std::string_view text) const {
    int n = 0;
    for (auto at = text_.find(text); at != std::string::npos; at = text_.find(text, at + 1)) ++n;
    return n;
  }
  int_type overflow(int_type c) override {
    const char ch = traits_type::to_char_type(c);
    if (c != traits_type::eof()) xsputn(&ch, 1);
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::lock_guard lock(mutex_);
    text_.append(s, static_cast<std::size_t>(n));
    written_.notify_all();
    return n;
  }
  std::mutex mutex_;
  std::condition_variable written_;
  std::string text_;
};

}  // namespace lumbra::testsupport
