// SPDX-License-Identifier: MIT
// The SAX side of the reader: nlohmann tokenises and validates, this file
// tracks where the parser stands, applies the nesting limit and the skip
// requests of the decoder, and turns refusals into positioned messages.

#include <string.h>

#include <cassert>
#include <iterator>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "json/json_reader.hpp"
#include "json/syntax.hpp"

namespace tarnwick::json {
namespace {

using syntax::Expect;

// How far the library's lexer has pulled the input, observed through the
// iterators we hand it. After a number token it has pulled one byte of
// look-ahead, unless the number ended at end of input.
struct PullCounter {
  const char* next = nullptr;
  bool reached_end = false;
};

class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator() = default;
  CountingIterator(const char* at, PullCounter* counter) : at_(at), counter_(counter) {}

  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    counter_->next = at_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  // The library compares with the end iterator before every byte it pulls;
  // finding them equal means it tried to read past the end.
  friend bool operator==(const CountingIterator& a, const CountingIterator& b) {
    const bool equal = a.at_ == b.at_;
    if (equal && a.counter_ != nullptr) a.counter_->reached_end = true;
    return equal;
  }

 private:
  const char* at_ = nullptr;
  PullCounter* counter_ = nullptr;
};

// String values may be secrets (a passphrase's Base64 text), and the lexer
// reuses its token buffer without clearing it, skipped values included: zero
// the buffer over its whole capacity once the decoder is done with it.
void zeroize_token(std::string& token) noexcept {
  explicit_bzero(token.data(), token.size());
  token.clear();
  explicit_bzero(token.data(), token.capacity());
}

struct ReadError {
  std::string message;
  std::optional<Position> position;
};

class SaxAdapter final : public nlohmann::json_sax<nlohmann::json> {
 public:
  SaxAdapter(std::string_view text, PullCounter& counter, Handler& handler)
      : text_(text), counter_(counter), handler_(handler) {
    open_.reserve(kMaxDepth);
  }

  bool null() override { return scalar(Scalar{nullptr}, token_end()); }
  bool boolean(bool value) override { return scalar(Scalar{value}, token_end()); }
  bool number_unsigned(number_unsigned_t value) override {
    return number(Scalar{static_cast<std::uint64_t>(value)});
  }
  bool number_integer(number_integer_t value) override {
    // Only a minus sign yields a signed number, so zero here was "-0":
    // a floating value, as negative zero is not an integer.
    if (value == 0) return number(Scalar{-0.0});
    return number(Scalar{static_cast<std::int64_t>(value)});
  }
  bool number_float(number_float_t value, const string_t& /*text*/) override {
    return number(Scalar{static_cast<double>(value)});
  }
  bool string(string_t& value) override {
    const bool go_on = scalar(Scalar{&value}, token_end());
    zeroize_token(value);
    return go_on;
  }
  bool binary(binary_t& /*value*/) override { return true; }  // not produced by JSON text

  bool start_object(std::size_t /*elements*/) override { return begin(Container::Object); }
  bool start_array(std::size_t /*elements*/) override { return begin(Container::Array); }
  bool end_object() override { return end(); }
  bool end_array() override { return end(); }

  bool key(string_t& value) override {
    const std::size_t at = token_end();
    expect_ = Expect::Colon;
    mark_ = at;
    if (skipping()) return true;
    return react(handler_.on_key(value), at, [this] { skip_next_value_ = true; });
  }

  bool parse_error(std::size_t position, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    if (const auto found = syntax::diagnose(text_, mark_, expect_after())) {
      fail_syntax(*found);
      return false;
    }
    // The library refused what our own reading accepts: should never happen.
    assert(false && "syntax error not reproduced by the diagnosis");
    const std::size_t at = position == 0 ? 0 : std::min(position - 1, text_.size());
    fail_syntax(syntax::SyntaxError{"expected value", at, true});
    return false;
  }

  // After the top-level value: only white space may follow.
  void finish() {
    if (error_) return;
    if (const auto found = syntax::diagnose(text_, mark_, Expect::End)) fail_syntax(*found);
  }

  std::optional<ReadError> take_error() { return std::move(error_); }

 private:
  // Consumed offset after the token just reported (not numbers).
  std::size_t token_end() const { return static_cast<std::size_t>(counter_.next - text_.data()); }

  bool skipping() const { return skip_until_ != 0; }

  // What follows a complete value depends on the container around it.
  Expect expect_after() const {
    if (expect_ != Expect::End) return expect_;
    if (open_.empty()) return Expect::End;
    return open_.back() == Container::Object ? Expect::AfterMember : Expect::AfterElement;
  }

  void value_done(std::size_t at) {
    expect_ = Expect::End;  // resolved by expect_after()
    mark_ = at;
  }

  bool number(const Scalar& value) {
    const std::size_t at = counter_.reached_end ? token_end() : token_end() - 1;
    // The lexer ends "0" (or "-0") before a following digit; a leading
    // zero is not a number of its own, so refuse it here.
    if (at < text_.size() && text_[at] >= '0' && text_[at] <= '9') {
      fail_syntax(syntax::SyntaxError{syntax::kLeadingZeroMessage, at, true});
      return false;
    }
    return scalar(value, at);
  }

  bool scalar(const Scalar& value, std::size_t at) {
    value_done(at);
    if (skip_next_value_) {
      skip_next_value_ = false;
      return true;
    }
    if (skipping()) return true;
    return react(handler_.on_scalar(value), at, [] {});
  }

  bool begin(Container kind) {
    const std::size_t bracket = token_end() - 1;
    expect_ = kind == Container::Object ? Expect::FirstMember : Expect::FirstElement;
    mark_ = bracket + 1;
    bool skip = skipping() || skip_next_value_;
    skip_next_value_ = false;
    if (!skip) {
      auto reaction = handler_.on_begin(kind);
      if (!reaction) {
        fail(std::move(reaction.error()), bracket);
        return false;
      }
      skip = *reaction == Flow::Skip;
    }
    if (open_.size() >= kMaxDepth) {
      fail_syntax(syntax::SyntaxError{"recursion limit exceeded", bracket, true});
      return false;
    }
    open_.push_back(kind);
    if (skip && !skipping()) skip_until_ = open_.size();
    return true;
  }

  bool end() {
    const std::size_t at = token_end();
    const Container kind = open_.back();
    const bool skipped = skipping();
    if (skip_until_ == open_.size()) skip_until_ = 0;
    open_.pop_back();
    value_done(at);
    if (skipped) return true;
    return react(handler_.on_end(kind), at, [] {});
  }

  template <class OnSkip>
  bool react(Reaction reaction, std::size_t at, OnSkip on_skip) {
    if (!reaction) {
      fail(std::move(reaction.error()), at);
      return false;
    }
    if (*reaction == Flow::Skip) on_skip();
    return true;
  }

  void fail(Failure failure, std::size_t consumed) {
    std::optional<Position> position;
    if (failure.positioned) position = syntax::consumed_position(text_, consumed);
    error_ = ReadError{std::move(failure.message), position};
  }

  void fail_syntax(const syntax::SyntaxError& found) {
    error_ = ReadError{std::string(found.message), syntax::error_position(text_, found)};
  }

  std::string_view text_;
  PullCounter& counter_;
  Handler& handler_;
  std::vector<Container> open_;    // containers entered, skipped ones included
  std::size_t skip_until_ = 0;     // while non-zero: depth of the skipped container
  bool skip_next_value_ = false;   // the decoder skipped the current member
  Expect expect_ = Expect::Value;  // End: after a value, see expect_after()
  std::size_t mark_ = 0;           // consumed offset after the last token reported
  std::optional<ReadError> error_;
};

}  // namespace

std::string position_suffix(Position position) {
  return " at line " + std::to_string(position.line) + " column " + std::to_string(position.column);
}

std::expected<void, std::string> read_document(std::string_view text, Handler& handler) {
  const auto render = [](ReadError error) {
    if (error.position) error.message += position_suffix(*error.position);
    return std::unexpected(std::move(error.message));
  };
  // The library would skip a byte-order mark; JSON text has none.
  if (!text.empty() && static_cast<unsigned char>(text.front()) == 0xEF) {
    return render(ReadError{"expected value", Position{1, 1}});
  }
  const char* const begin = text.data();
  PullCounter counter{begin, false};
  SaxAdapter adapter(text, counter, handler);
  const CountingIterator first(begin, &counter);
  const CountingIterator last(begin + text.size(), &counter);
  // Not strict: what follows the value is checked by finish(), because the
  // library takes a NUL byte for the end of the input.
  const bool complete =
      nlohmann::json::sax_parse(first, last, &adapter, nlohmann::json::input_format_t::json,
                                /*strict=*/false);
  if (complete) adapter.finish();
  if (auto error = adapter.take_error()) return render(std::move(*error));
  return {};
}

}  // namespace tarnwick::json
