// SPDX-License-Identifier: MIT
// Request decoding yields exactly one result, a request or an error text,
// and the error response made from that text is one line of valid JSON.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.hpp"
#include "service/service.hpp"
#include "text/text.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  // The loop hands over valid UTF-8 without the line terminator.
  if (!text::is_valid_utf8(line) || line.find('\n') != std::string_view::npos) return -1;

  auto decoded = decode_request(line);
  fuzz::check_against_library(line, decoded.has_value(),
                              decoded ? std::string_view() : decoded.error());
  if (decoded) {
    zeroize_request(*decoded);
    return 0;
  }
  const std::string& error = decoded.error();
  fuzz::require(!error.empty());
  // A request line is one line: a position, when given, is on line 1.
  const std::size_t line_number = fuzz::suffix_line(error);
  fuzz::require(line_number == 0 || line_number == 1);

  const std::string text = "parse: " + error;
  const std::string response = encode_response(Response{Response::Error{text}});
  fuzz::require(response.find('\n') == std::string::npos);
  fuzz::require(nlohmann::json::accept(response));
  const auto parsed = nlohmann::json::parse(response);
  fuzz::require(parsed.is_object() && parsed.size() == 1 && parsed.contains("error"));
  fuzz::require(parsed["error"].get<std::string>() == text);
  return 0;
}
