#include "decommission/ruby_entry_scan.h"

#include <algorithm>
#include <array>
#include <optional>

#include "common/ascii.h"

namespace kel {
namespace {

constexpr std::string_view kRegistration = "sketchupextension.new";
constexpr std::string_view kPathBuilder = "file.join";
constexpr std::array<std::string_view, 7> kLoadingCalls = {
    "require_relative", "sketchup::require", "sketchup.require", "rg_load",
    "fg_load",          "require",           "load"};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Bytes the scanner may step over for one source. Each call or registration rescans from its
// own start, so an entry built of unclosed calls would cost the square of its size; a few
// passes over an ordinary entry stay far below this.
class ScanBudget {
 public:
  explicit ScanBudget(std::size_t source_size) : left_(8 * source_size + 4096) {}
  bool Spend() {
    if (left_ == 0) return false;
    --left_;
    return true;
  }
  bool exhausted() const { return left_ == 0; }

 private:
  std::size_t left_;
};

// A cursor over the source as read; `lower` is the same bytes lower-cased for matching.
class Cursor {
 public:
  Cursor(std::string_view source, std::string_view lower, std::size_t pos, ScanBudget& budget)
      : source_(source), lower_(lower), pos_(pos), budget_(budget) {}

  std::size_t pos() const { return pos_; }
  bool at_end() const { return pos_ >= source_.size(); }
  char peek() const { return at_end() ? '\0' : source_[pos_]; }

  void SkipBlanks() {
    while (!at_end() && IsBlank(source_[pos_])) Step();
  }

  // Blanks and `#` comments up to (not including) the next LF.
  void SkipBlanksAndComments() {
    for (;;) {
      SkipBlanks();
      if (peek() != '#') return;
      while (!at_end() && source_[pos_] != '\n') Step();
    }
  }

  bool Consume(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }

  // Looks at most 128 bytes ahead, lower-cased.
  bool StartsWithLower(std::string_view word) const {
    if (word.size() > 128) return false;
    return lower_.substr(pos_, word.size()) == word;
  }

  void Advance(std::size_t n) { pos_ = std::min(source_.size(), pos_ + n); }

  // A quoted string: `'` or `"`, ended by the next unescaped quote of the same kind; a
  // backslash takes the following byte literally. Unterminated strings are no string.
  std::optional<std::string> ReadQuoted() {
    const char quote = peek();
    if (quote != '\'' && quote != '"') return std::nullopt;
    std::string value;
    std::size_t i = pos_ + 1;
    while (i < source_.size()) {
      if (!budget_.Spend()) return std::nullopt;
      const char c = source_[i];
      if (c == '\\') {
        if (i + 1 >= source_.size()) return std::nullopt;
        value.push_back(source_[i + 1]);
        i += 2;
        continue;
      }
      if (c == quote) {
        pos_ = i + 1;
        return value;
      }
      value.push_back(c);
      ++i;
    }
    return std::nullopt;
  }

  // Skips one argument that is not taken as a path, up to the next `,` or `)` outside nested
  // parentheses (strings and comments inside it are stepped over whole).
  void SkipArgument() {
    int depth = 0;
    while (!at_end()) {
      const char c = peek();
      if (c == '\'' || c == '"') {
        if (!ReadQuoted()) {
          pos_ = source_.size();
          return;
        }
        continue;
      }
      if (c == '#') {
        SkipBlanksAndComments();
        continue;
      }
      if (c == '(') ++depth;
      if (c == ')') {
        if (depth == 0) return;
        --depth;
      }
      if (c == ',' && depth == 0) return;
      Step();
    }
  }

  // At "file.join": the first quoted argument other than "." and "..", or nothing.
  std::optional<std::string> ReadPathBuilderArgument() {
    Advance(kPathBuilder.size());
    SkipBlanksAndComments();
    Consume('(');
    for (;;) {
      SkipBlanksAndComments();
      if (at_end() || peek() == ')') return std::nullopt;
      if (peek() == '\'' || peek() == '"') {
        std::optional<std::string> value = ReadQuoted();
        if (!value) return std::nullopt;
        if (*value != "." && *value != "..") return value;
        // A "." or ".." argument is only a directory step; go on with the next argument.
        SkipArgument();
      } else {
        SkipArgument();
      }
      if (!Consume(',')) return std::nullopt;
    }
  }

 private:
  // One byte forward; with the budget spent the cursor stands at the end.
  void Step() { pos_ = budget_.Spend() ? pos_ + 1 : source_.size(); }

  std::string_view source_;
  std::string_view lower_;
  std::size_t pos_;
  ScanBudget& budget_;
};

// Backslashes become slashes; leading "./" goes, as often as it is there.
std::string NormalizeRubyPath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::size_t start = 0;
  while (path.compare(start, 2, "./") == 0) start += 2;
  return path.substr(start);
}

// Tokens shorter than 4 bytes are never taken as a ".rb" file name.
bool EndsInRb(std::string_view token) {
  return token.size() >= 4 && AsciiEndsWithIgnoreCase(token, ".rb");
}

std::optional<std::string> RegistrationToken(std::string_view source, std::string_view lower,
                                             std::size_t at, ScanBudget& budget) {
  Cursor cursor(source, lower, at + kRegistration.size(), budget);
  cursor.SkipBlanks();
  cursor.Consume('(');
  cursor.SkipBlanks();
  const std::optional<std::string> title = cursor.ReadQuoted();
  if (!title || title->empty()) return std::nullopt;
  cursor.SkipBlanksAndComments();
  if (!cursor.Consume(',')) return std::nullopt;
  cursor.SkipBlanksAndComments();
  std::optional<std::string> path = cursor.StartsWithLower(kPathBuilder)
                                        ? cursor.ReadPathBuilderArgument()
                                        : cursor.ReadQuoted();
  if (!path) return std::nullopt;
  const std::string normal = NormalizeRubyPath(*path);
  const std::string token = normal.substr(0, normal.find('/'));
  if (token.empty() || EndsInRb(token)) return std::nullopt;
  return token;
}

std::optional<std::string> LoadingToken(std::string_view source, std::string_view lower,
                                        std::size_t after_word, ScanBudget& budget) {
  Cursor cursor(source, lower, after_word, budget);
  cursor.SkipBlanks();
  if (cursor.Consume('(')) cursor.SkipBlanks();
  std::optional<std::string> path;
  if (cursor.StartsWithLower(kPathBuilder)) {
    path = cursor.ReadPathBuilderArgument();
    // A lone directory argument still names a directory.
    if (path) path->append("/entry");
  } else {
    path = cursor.ReadQuoted();
  }
  if (!path) return std::nullopt;
  const std::string normal = NormalizeRubyPath(*path);
  const std::size_t slash = normal.find('/');
  if (slash == std::string::npos) return std::nullopt;
  const std::string token = normal.substr(0, slash);
  if (token.empty() || token == "." || token == ".." || EndsInRb(token)) return std::nullopt;
  return token;
}

bool IsWholeWordAt(std::string_view lower, std::size_t at, std::size_t length) {
  if (at > 0 && IsWordByte(lower[at - 1])) return false;
  const std::size_t end = at + length;
  return end >= lower.size() || !IsWordByte(lower[end]);
}

}  // namespace

bool ScanRubyEntry(std::string_view source, std::string& token, bool& strong) {
  token.clear();
  strong = false;
  const std::string lower = AsciiLower(source);
  ScanBudget budget(source.size());

  for (std::size_t at = lower.find(kRegistration); at != std::string::npos && !budget.exhausted();
       at = lower.find(kRegistration, at + 1)) {
    if (std::optional<std::string> found = RegistrationToken(source, lower, at, budget)) {
      token = std::move(*found);
      strong = true;
      return true;
    }
  }

  for (std::string_view word : kLoadingCalls) {
    for (std::size_t at = lower.find(word); at != std::string::npos && !budget.exhausted();
         at = lower.find(word, at + 1)) {
      if (!IsWholeWordAt(lower, at, word.size())) continue;
      if (std::optional<std::string> found =
              LoadingToken(source, lower, at + word.size(), budget)) {
        token = std::move(*found);
        return true;
      }
    }
  }
  return false;
}

}  // namespace kel
