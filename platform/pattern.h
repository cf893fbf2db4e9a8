#pragma once

// Regular expressions over UTF-8 text, done by ICU (the standard library's regex cannot be
// built cleanly under the sanitizers with this compiler).

#include <memory>
#include <string_view>

namespace mirelo {

// One compiled pattern, case-sensitive. Safe to share between threads.
class Pattern {
 public:
  // Throws std::invalid_argument when `pattern` is not a valid expression.
  explicit Pattern(std::string_view pattern);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Whether the whole of `text` matches, as if the pattern were anchored with ^ and $ (a
  // trailing line end is not forgiven). Text that is not valid UTF-8 never matches.
  bool matchesWhole(std::string_view text) const;

 private:
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace mirelo
