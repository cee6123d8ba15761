// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "service/service.hpp"

namespace tarnwick {
namespace {

std::string mode_name(WipeMode mode) {
  switch (mode) {
    case WipeMode::EncryptedZero:
      return "encrypted-zero";
    case WipeMode::SecureDiscard:
      return "secure-discard";
    case WipeMode::Random:
      return "random";
    case WipeMode::None:
      return "none";
  }
  return "?";
}

std::string fs_name(Filesystem fs) {
  switch (fs) {
    case Filesystem::Ext4:
      return "ext4";
    case Filesystem::Btrfs:
      return "btrfs";
    case Filesystem::Xfs:
      return "xfs";
  }
  return "?";
}

// One line per decoded request, so that table rows can state it exactly.
std::string summary(const Request& request) {
  struct Visitor {
    std::string operator()(const Request::LuksFormat& r) const {
      return "luks-format device=" + r.device + " label=" + r.label +
             " allow_discards=" + (r.allow_discards ? "true" : "false") +
             " passphrase=" + std::string(r.passphrase_b64.begin(), r.passphrase_b64.end());
    }
    std::string operator()(const Request::LuksOpen& r) const {
      return "luks-open device=" + r.device + " mapper_name=" + r.mapper_name +
             " passphrase=" + std::string(r.passphrase_b64.begin(), r.passphrase_b64.end()) +
             " allow_discards=" + (r.allow_discards ? "true" : "false");
    }
    std::string operator()(const Request::LuksClose& r) const {
      return "luks-close mapper_name=" + r.mapper_name;
    }
    std::string operator()(const Request::Wipe& r) const {
      return "wipe device=" + r.device + " mode=" + mode_name(r.mode) +
             (r.verify ? " verify" : "") + (r.id ? " id=" + *r.id : "");
    }
    std::string operator()(const Request::Mkfs& r) const {
      return "mkfs mapped=" + r.mapped + " fs=" + fs_name(r.fs) + " label=" + r.label;
    }
    std::string operator()(const Request::Shutdown&) const { return "shutdown"; }
    std::string operator()(const Request::Probe& r) const { return "probe device=" + r.device; }
  };
  return std::visit(Visitor{}, request.value);
}

// The decoded request's summary, or "error: " and the text.
std::string decode(std::string_view line) {
  auto decoded = decode_request(line);
  if (!decoded) return "error: " + decoded.error();
  return summary(*decoded);
}

struct Row {
  std::string line;
  std::string expected;
};

void check(const std::vector<Row>& rows) {
  for (const Row& row : rows) EXPECT_EQ(decode(row.line), row.expected) << "line: " << row.line;
}

const std::string op_list =
    "one of `luks-format`, `luks-open`, `luks-close`, `wipe`, `mkfs`, `shutdown`";
const std::string mode_list = "one of `encrypted-zero`, `secure-discard`, `random`, `none`";
const std::string fs_list = "one of `ext4`, `btrfs`, `xfs`";

TEST(DecodeRequest, EveryOperation) {
  check({
      {R"({"op":"wipe","device":"/dev/sdb","mode":"random"})", "wipe device=/dev/sdb mode=random"},
      {R"({"op":"wipe","device":"/dev/sdb","mode":"encrypted-zero"})",
       "wipe device=/dev/sdb mode=encrypted-zero"},
      {R"({"op":"wipe","device":"/dev/sdb","mode":"secure-discard"})",
       "wipe device=/dev/sdb mode=secure-discard"},
      {R"({"op":"wipe","device":"/dev/sdb","mode":"none"})", "wipe device=/dev/sdb mode=none"},
      {R"({"op":"luks-format","device":"/dev/sdb","label":"backup","passphrase_b64":"cGFzcw=="})",
       "luks-format device=/dev/sdb label=backup allow_discards=false passphrase=cGFzcw=="},
      {R"({"op":"luks-format","device":"/dev/sdb","label":"","passphrase_b64":"","allow_discards":true})",
       "luks-format device=/dev/sdb label= allow_discards=true passphrase="},
      {R"({"op":"luks-open","device":"/dev/sdb","mapper_name":"tarnwick_backup","passphrase_b64":"cA==","allow_discards":true})",
       "luks-open device=/dev/sdb mapper_name=tarnwick_backup passphrase=cA== allow_discards=true"},
      {R"({"op":"luks-open","device":"/dev/sdb","mapper_name":"tarnwick_b","passphrase_b64":"cA=="})",
       "luks-open device=/dev/sdb mapper_name=tarnwick_b passphrase=cA== allow_discards=false"},
      {R"({"op":"mkfs","mapped":"/dev/mapper/tarnwick_backup","fs":"ext4","label":"backup"})",
       "mkfs mapped=/dev/mapper/tarnwick_backup fs=ext4 label=backup"},
      {R"({"op":"mkfs","mapped":"/m","fs":"btrfs","label":""})", "mkfs mapped=/m fs=btrfs label="},
      {R"({"op":"mkfs","mapped":"/m","fs":"xfs","label":"x"})", "mkfs mapped=/m fs=xfs label=x"},
      {R"({"op":"luks-close","mapper_name":"tarnwick_backup"})",
       "luks-close mapper_name=tarnwick_backup"},
      {R"({"op":"shutdown"})", "shutdown"},
      // Text is taken as it stands: escapes decoded, nothing trimmed.
      {R"( {"op":"wipe","device":" /dev/sd\u0062/ ","mode":"none"} )",
       "wipe device= /dev/sdb/  mode=none"},
  });
}

TEST(DecodeRequest, MemberOrderAndIgnoredMembers) {
  check({
      {R"({"mode":"random","device":"/dev/sdb","op":"wipe"})", "wipe device=/dev/sdb mode=random"},
      {R"({"op":"wipe","device":"/dev/sdb","mode":"random","extra":[1,{"a":null}]})",
       "wipe device=/dev/sdb mode=random"},
      // Names differing in case are other members.
      {R"({"op":"wipe","Device":"/dev/sdb","mode":"random"})", "error: missing field `device`"},
      // Fields of other variants, even repeated or ill-typed, are ignored.
      {R"({"op":"luks-close","mapper_name":"m","device":1,"device":2,"mode":[]})",
       "luks-close mapper_name=m"},
      {R"({"op":"shutdown","device":5,"device":6,"anything":{"x":[]}})", "shutdown"},
      {R"({"op":"wipe","device":"/dev/sdb","mode":"random","label":7})",
       "wipe device=/dev/sdb mode=random"},
  });
}

TEST(DecodeRequest, ErrorsFoundWhileReadingTheObjectCarryAPosition) {
  check({
      {"", "error: EOF while parsing a value at line 1 column 0"},
      {R"({"op":"wipe")", "error: EOF while parsing an object at line 1 column 12"},
      {"x", "error: expected value at line 1 column 1"},
      {R"({"op":"wipe",})", "error: trailing comma at line 1 column 14"},
      {"5",
       "error: invalid type: integer `5`, expected internally tagged enum Request at line 1 column "
       "1"},
      {R"("wipe")",
       "error: invalid type: string \"wipe\", expected internally tagged enum Request at line 1 "
       "column 6"},
      {"null",
       "error: invalid type: null, expected internally tagged enum Request at line 1 column 4"},
      {" true",
       "error: invalid type: boolean `true`, expected internally tagged enum Request at line 1 "
       "column 5"},
      {"-0",
       "error: invalid type: floating point `-0.0`, expected internally tagged enum Request at "
       "line 1 column 2"},
      {"{}", "error: missing field `op` at line 1 column 2"},
      {R"({"device":"/dev/sdb"})", "error: missing field `op` at line 1 column 21"},
      {R"({"op":"wipe","op":"wipe"})", "error: duplicate field `op` at line 1 column 17"},
      {R"({"op":5})",
       "error: invalid type: integer `5`, expected variant identifier at line 1 column 7"},
      {R"({"op":null})",
       "error: invalid type: null, expected variant identifier at line 1 column 10"},
      {R"({"op":["wipe"]})",
       "error: invalid type: sequence, expected variant identifier at line 1 column 6"},
      {R"({"op": {"wipe":null}})",
       "error: invalid type: map, expected variant identifier at line 1 column 7"},
      {R"({"op":"Wipe"})",
       "error: unknown variant `Wipe`, expected " + op_list + " at line 1 column 12"},
      // "op" is checked when met, before later members are looked at.
      {R"({"op":"zap","device":})",
       "error: unknown variant `zap`, expected " + op_list + " at line 1 column 11"},
      {R"({"op":"wipe","op":5})", "error: duplicate field `op` at line 1 column 17"},
  });
}

TEST(DecodeRequest, FieldErrorsCarryNoPosition) {
  check({
      {R"({"op":"wipe"})", "error: missing field `device`"},
      {R"({"op":"wipe","device":"/dev/sdb"})", "error: missing field `mode`"},
      {R"({"op":"luks-format","device":"/dev/sdb","passphrase_b64":"cA=="})",
       "error: missing field `label`"},
      {R"({"op":"luks-format","device":"/d","label":"l"})",
       "error: missing field `passphrase_b64`"},
      {R"({"op":"luks-open","device":"/d","passphrase_b64":"cA=="})",
       "error: missing field `mapper_name`"},
      {R"({"op":"luks-close"})", "error: missing field `mapper_name`"},
      {R"({"op":"mkfs","mapped":"/m","fs":"ext4"})", "error: missing field `label`"},
      {R"({"op":"mkfs","fs":"ext4","label":""})", "error: missing field `mapped`"},
      {R"({"op":"wipe","device":"/dev/sdb","device":"/dev/sdb","mode":"random"})",
       "error: duplicate field `device`"},
      {R"({"op":"wipe","device":"a","device":"b","device":"c","mode":"random"})",
       "error: duplicate field `device`"},
      // The first failing member decides, in order of appearance.
      {R"({"op":"wipe","device":1,"device":"x"})",
       "error: invalid type: integer `1`, expected path string"},
      {R"({"mode":5,"device":true,"op":"wipe"})",
       "error: invalid type: integer `5`, expected string or map"},
      {R"({"op":"wipe","device":"/d","mode":"zero","mode":"x"})",
       "error: unknown variant `zero`, expected " + mode_list},
      {R"({"op":"wipe","device":5,"mode":"random"})",
       "error: invalid type: integer `5`, expected path string"},
      {R"({"op":"mkfs","mapped":[],"fs":"ext4","label":""})",
       "error: invalid type: sequence, expected path string"},
      {R"({"op":"luks-close","mapper_name":{}})", "error: invalid type: map, expected a string"},
      {R"({"op":"luks-open","device":"/d","mapper_name":"m","passphrase_b64":1.5})",
       "error: invalid type: floating point `1.5`, expected a string"},
      {R"({"op":"mkfs","mapped":"/m","fs":"ext4","label":null})",
       "error: invalid type: null, expected a string"},
      {R"({"op":"luks-open","device":"/d","mapper_name":"m","passphrase_b64":"cA==","allow_discards":null})",
       "error: invalid type: null, expected a boolean"},
      {R"({"op":"luks-format","device":"/d","label":"","passphrase_b64":"","allow_discards":"yes"})",
       "error: invalid type: string \"yes\", expected a boolean"},
      {R"({"op":"luks-format","device":"/d","label":"","passphrase_b64":"","allow_discards":1})",
       "error: invalid type: integer `1`, expected a boolean"},
      {R"({"op":"wipe","device":"/d","mode":0})",
       "error: invalid type: integer `0`, expected string or map"},
      {R"({"op":"wipe","device":"/d","mode":"zero"})",
       "error: unknown variant `zero`, expected " + mode_list},
      {R"({"op":"wipe","device":"/d","mode":"Random"})",
       "error: unknown variant `Random`, expected " + mode_list},
      {R"({"op":"mkfs","mapped":"/m","fs":"zfs","label":""})",
       "error: unknown variant `zfs`, expected " + fs_list},
      {R"({"op":"mkfs","mapped":"/m","fs":null,"label":""})",
       "error: invalid type: null, expected string or map"},
  });
}

TEST(DecodeRequest, FieldErrorBeatsTrailingCharacters) {
  check({
      {R"({"op":"wipe","device":5,"mode":"random"} x)",
       "error: invalid type: integer `5`, expected path string"},
      {R"({"op":"wipe"}{"op":"shutdown"})", "error: missing field `device`"},
      {R"({"op":"wipe","device":"/d","mode":"none"}{"op":"shutdown"})",
       "error: trailing characters at line 1 column 42"},
      {R"({"op":"shutdown"}   ])", "error: trailing characters at line 1 column 21"},
      // A syntax error before the closing brace still wins.
      {R"({"op":"wipe","device":5 "mode":"random"})",
       "error: expected `,` or `}` at line 1 column 25"},
  });
}

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(DecodeRequest, NestingAndNumbersInIgnoredMembers) {
  const std::string head = R"({"op":"shutdown","extra":)";
  check({
      {head + nested_arrays(126) + "}", "shutdown"},
      {head + nested_arrays(127) + "}", "error: recursion limit exceeded at line 1 column 152"},
      {head + "1e400}", "error: number out of range at line 1 column 30"},
      {head + "-0}", "shutdown"},
      {head + "01}", "error: invalid number at line 1 column 27"},
  });
  const std::string device = R"({"op":"wipe","mode":"none","device":)";
  check({
      {device + "-0}", "error: invalid type: floating point `-0.0`, expected path string"},
      {device + "18446744073709551615}",
       "error: invalid type: integer `18446744073709551615`, expected path string"},
      {device + "18446744073709551616}",
       "error: invalid type: floating point `1.8446744073709552e19`, expected path string"},
      {device + "-9223372036854775808}",
       "error: invalid type: integer `-9223372036854775808`, expected path string"},
      {device + "2.5e3}", "error: invalid type: floating point `2500.0`, expected path string"},
      {device + "1e16}", "error: invalid type: floating point `1e16`, expected path string"},
      {device + "0.00000015}",
       "error: invalid type: floating point `1.5e-7`, expected path string"},
      {device + "false}", "error: invalid type: boolean `false`, expected path string"},
      {device + R"(["/dev/sdb"]})", "error: invalid type: sequence, expected path string"},
  });
}

TEST(DecodeRequest, StringRenderingEscapesControlCharacters) {
  check({
      {R"({"op":"luks-open","device":"/d","mapper_name":"m","passphrase_b64":"","allow_discards":"a\"b\\c\n\t\r\u0000\u001b\u007f/é"})",
       R"(error: invalid type: string "a\"b\\c\n\t\r\0\u{1b}\u{7f}/é", expected a boolean)"},
  });
}

TEST(DecodeRequest, ArrayForm) {
  check({
      {R"(["wipe","/dev/sdb","random"])", "wipe device=/dev/sdb mode=random"},
      {R"(["shutdown"])", "shutdown"},
      {R"(["shutdown",1,{"a":[]}])", "shutdown"},
      {R"(["luks-close","tarnwick_a"])", "luks-close mapper_name=tarnwick_a"},
      {R"(["luks-open","/d","tarnwick_a","cA=="])",
       "luks-open device=/d mapper_name=tarnwick_a passphrase=cA== allow_discards=false"},
      {R"(["luks-open","/d","tarnwick_a","cA==",true])",
       "luks-open device=/d mapper_name=tarnwick_a passphrase=cA== allow_discards=true"},
      {R"(["luks-format","/d","l",false,"cA=="])",
       "luks-format device=/d label=l allow_discards=false passphrase=cA=="},
      {R"(["mkfs","/m",{"xfs":null},""])", "mkfs mapped=/m fs=xfs label="},
      {"[]", "error: missing field `op` at line 1 column 2"},
      {"[5]", "error: invalid type: integer `5`, expected variant identifier at line 1 column 2"},
      {R"([{"op":"wipe"}])",
       "error: invalid type: map, expected variant identifier at line 1 column 1"},
      {R"(["nope","x"])",
       "error: unknown variant `nope`, expected " + op_list + " at line 1 column 7"},
      {R"(["wipe"])",
       "error: invalid length 0, expected struct variant Request::Wipe with 2 elements"},
      {R"(["wipe","/dev/sdb"])",
       "error: invalid length 1, expected struct variant Request::Wipe with 2 elements"},
      {R"(["luks-format","/d","l"])",
       "error: invalid length 2, expected struct variant Request::LuksFormat with 4 elements"},
      {R"(["luks-open","/d"])",
       "error: invalid length 1, expected struct variant Request::LuksOpen with 4 elements"},
      {R"(["luks-close"])",
       "error: invalid length 0, expected struct variant Request::LuksClose with 1 element"},
      {R"(["mkfs","/m","ext4"])",
       "error: invalid length 2, expected struct variant Request::Mkfs with 3 elements"},
      {R"(["wipe","/dev/sdb","random",1])",
       "error: invalid length 3, expected 2 elements in sequence"},
      {R"(["luks-close","a","b"])", "error: invalid length 2, expected 1 element in sequence"},
      {R"(["wipe",5,"random"])", "error: invalid type: integer `5`, expected path string"},
      {R"(["wipe",5])", "error: invalid type: integer `5`, expected path string"},
      {R"(["wipe","/d","random"] [])", "error: trailing characters at line 1 column 24"},
  });
}

// "verify" is an opt-in member of the object form; the array form keeps the
// two fields (and error texts) it always had.
TEST(DecodeRequest, VerifyMemberOfWipe) {
  const std::string head = R"({"op":"wipe","device":"/d","mode":"encrypted-zero")";
  check({
      {head + "}", "wipe device=/d mode=encrypted-zero"},
      {head + R"(,"verify":false})", "wipe device=/d mode=encrypted-zero"},
      {head + R"(,"verify":true})", "wipe device=/d mode=encrypted-zero verify"},
      {R"({"verify":true,"mode":"random","op":"wipe","device":"/d"})",
       "wipe device=/d mode=random verify"},
      {head + R"(,"verify":null})", "error: invalid type: null, expected a boolean"},
      {head + R"(,"verify":"yes"})", "error: invalid type: string \"yes\", expected a boolean"},
      {head + R"(,"verify":1})", "error: invalid type: integer `1`, expected a boolean"},
      {head + R"(,"verify":[true]})", "error: invalid type: sequence, expected a boolean"},
      {head + R"(,"verify":true,"verify":true})", "error: duplicate field `verify`"},
      // Field errors come in the order of the members.
      {R"({"op":"wipe","verify":0,"mode":"zero","device":"/d"})",
       "error: invalid type: integer `0`, expected a boolean"},
      {R"({"op":"wipe","verify":true})", "error: missing field `device`"},
      // Other operations ignore it, whatever its value.
      {R"({"op":"luks-close","mapper_name":"m","verify":"x"})", "luks-close mapper_name=m"},
      {R"(["wipe","/d","encrypted-zero"])", "wipe device=/d mode=encrypted-zero"},
      {R"(["wipe","/d","encrypted-zero",true])",
       "error: invalid length 3, expected 2 elements in sequence"},
  });
}

TEST(DecodeRequest, MapFormOfModeAndFs) {
  const std::string head = R"({"op":"wipe","device":"/d","mode":)";
  check({
      {head + R"({"random":null}})", "wipe device=/d mode=random"},
      {head + R"({"secure-discard":{}}})", "wipe device=/d mode=secure-discard"},
      {R"({"op":"mkfs","mapped":"/m","fs":{"btrfs":null},"label":""})",
       "mkfs mapped=/m fs=btrfs label="},
      {head + "{}}", "error: invalid value: map, expected map with a single key"},
      {head + R"({"random":null,"none":null}})",
       "error: invalid value: map, expected map with a single key"},
      {head + R"({"zero":null}})", "error: unknown variant `zero`, expected " + mode_list},
      {head + R"({"random":1}})", "error: invalid type: integer `1`, expected unit variant"},
      {head + R"({"random":"x"}})", "error: invalid type: string \"x\", expected unit variant"},
      {head + R"({"random":[]}})", "error: invalid type: sequence, expected unit variant"},
      {head + R"({"random":{"a":1}}})", "error: invalid type: map, expected unit variant"},
      {head + "[]}", "error: invalid type: sequence, expected string or map"},
      // Other fields do not take the map form.
      {R"({"op":"wipe","device":{"/d":null},"mode":"none"})",
       "error: invalid type: map, expected path string"},
  });
}

TEST(DecodeRequest, PassphraseLivesInAWipedBuffer) {
  auto decoded = decode_request(
      R"({"op":"luks-open","device":"/d","mapper_name":"m","passphrase_b64":"cA=="})");
  ASSERT_TRUE(decoded);
  auto& open = std::get<Request::LuksOpen>(decoded->value);
  // Even a short passphrase is kept outside the string object, so moving
  // the request around leaves no copy of it behind.
  const auto* object = reinterpret_cast<const char*>(&open.passphrase_b64);
  const char* text = open.passphrase_b64.data();
  EXPECT_TRUE(text < object || text >= object + sizeof open.passphrase_b64);
  zeroize_request(*decoded);
  EXPECT_TRUE(open.passphrase_b64.empty());
}

// A 1 MiB line is decoded without keeping a copy per member: run it in a
// child whose data segment may grow by 8 MiB at most.
TEST(DecodeRequest, OneMebibyteLineDecodesInLittleMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer runtimes reserve memory of their own";
#else
  constexpr std::size_t line_size = 1048575;
  const auto fill = [&](std::string head, std::string_view item, std::string tail) {
    while (head.size() + item.size() + tail.size() <= line_size) head += item;
    return head + tail;
  };
  const std::vector<Row> rows = {
      {fill(R"({"op":"wipe","device":"/d","mode":"none")", R"(,"a":0)", "}"),
       "wipe device=/d mode=none"},
      {fill(R"({"op":"wipe","device":"/d","mode":"none","device":[)", "1,", "1]}"),
       "error: duplicate field `device`"},
      {fill(R"({"op":"wipe","device":"/d","mode":"none")", R"(,"label":"x")", "}"),
       "wipe device=/d mode=none"},
      {fill(R"({"op":"luks-format","device":"/d","label":"","passphrase_b64":")", "QUJD", "\"}"),
       ""},
      {fill(R"({"op":"shutdown","x":")", "\\u0041", "\"}"), "shutdown"},
      {fill(R"(["wipe","/d","none")", ",{}", "]"), ""},
  };
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    rlimit limit{};
    getrlimit(RLIMIT_DATA, &limit);
    // Current data size from /proc/self/statm (pages): field 6.
    unsigned long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%lu %lu %lu %lu %lu %lu", &size, &resident, &shared, &text, &lib,
                      &data) != 6)
        _exit(3);
      std::fclose(statm);
    }
    const auto page = static_cast<unsigned long>(sysconf(_SC_PAGESIZE));
    limit.rlim_cur = data * page + 8 * 1024 * 1024;
    if (setrlimit(RLIMIT_DATA, &limit) != 0) _exit(4);
    for (const Row& row : rows) {
      auto decoded = decode_request(row.line);
      if (row.expected.empty()) continue;
      const std::string got = decoded ? summary(*decoded) : "error: " + decoded.error();
      if (got != row.expected) _exit(5);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "decoding was killed (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(CancelRequest, OnlyACancelOpIsOne) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"op":"cancel"})", true},
      {R"( { "x" : [1, {"op":"wipe"}], "op" : "cancel" } )", true},
      {R"(["cancel"])", true},
      {R"({"op":"cancel","op":"cancel"})", false},
      {R"({"op":"cancel"} x)", false},
      {R"({"op":"Cancel"})", false},
      {R"({"op":["cancel"]})", false},
      {R"({"x":{"op":"cancel"}})", false},
      {R"(["cancel", 1])", false},
      {R"([["cancel"]])", false},
      {R"("cancel")", false},
      {R"({"op":"wipe","device":"/dev/sdz","mode":"none"})", false},
      {"", false},
  };
  for (const auto& [line, expected] : cases) {
    const auto cancel = decode_cancel(line);
    EXPECT_EQ(cancel.has_value(), expected) << line;
    EXPECT_FALSE(cancel && cancel->id) << line;
  }
}

// A cancel names a wipe in the background by a string "id"; any other "id"
// leaves it the plain cancel it always was.
TEST(CancelRequest, AStringIdNamesTheWipe) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {R"({"op":"cancel","id":"A"})", "A"},
      {R"({"id":"disk 2","op":"cancel"})", "disk 2"},
      {R"({"op":"cancel","id":"A","id":"B"})", "A"},
      {R"({"op":"cancel","id":5})", std::nullopt},
      {R"({"op":"cancel","id":{"x":"A"}})", std::nullopt},
      {R"({"op":"cancel","x":{"id":"A"}})", std::nullopt},
  };
  for (const auto& [line, id] : cases) {
    const auto cancel = decode_cancel(line);
    ASSERT_TRUE(cancel) << line;
    EXPECT_EQ(cancel->id, id) << line;
  }
  EXPECT_FALSE(decode_cancel(R"({"op":"wipe","id":"A"})"));
}

// "id" belongs to "wipe" alone, as an optional string; validity is the
// loop's to judge (is_wipe_id), so the decoder keeps any string.
TEST(DecodeRequest, IdMemberOfWipe) {
  check({
      {R"({"op":"wipe","device":"/dev/sdb","mode":"random","id":"A"})",
       "wipe device=/dev/sdb mode=random id=A"},
      {R"({"id":"","op":"wipe","device":"/dev/sdb","mode":"none","verify":true})",
       "wipe device=/dev/sdb mode=none verify id="},
      {R"({"op":"wipe","device":"/dev/sdb","mode":"none","id":7})",
       "error: invalid type: integer `7`, expected a string"},
      {R"({"op":"wipe","device":"/dev/sdb","mode":"none","id":"A","id":"B"})",
       "error: duplicate field `id`"},
      {R"(["wipe","/dev/sdb","none","A"])",
       "error: invalid length 3, expected 2 elements in sequence"},
      {R"({"op":"luks-close","mapper_name":"tarnwick_x","id":"A"})",
       "luks-close mapper_name=tarnwick_x"},
  });
  const std::pair<std::string, bool> ids[] = {
      {"A", true},
      {" ~", true},
      {std::string(64, 'x'), true},
      {"", false},
      {std::string(65, 'x'), false},
      {"a\tb", false},
      {"a\x7f", false},
      {"\xc3\xa9", false},
  };
  for (const auto& [id, valid] : ids) {
    EXPECT_EQ(is_wipe_id(id), valid) << id;
  }
}

TEST(EncodeResponse, ShapesAndEscapes) {
  EXPECT_EQ(encode_response(Response{Response::Ok{}}), R"({"ok":true})");
  EXPECT_EQ(encode_response(Response{Response::Progress{1048576, 0}}),
            R"({"progress":{"copied":1048576,"total":0}})");
  EXPECT_EQ(encode_response(Response{Response::Progress{18446744073709551615u, 0}}),
            R"({"progress":{"copied":18446744073709551615,"total":0}})");
  // Only while a wipe is verified does the line carry a third member.
  EXPECT_EQ(encode_response(Response{Response::Progress{4096, 0, 0}}),
            R"({"progress":{"copied":4096,"total":0,"verified":0}})");
  EXPECT_EQ(encode_response(Response{Response::Progress{4096, 0, 2048}}),
            R"({"progress":{"copied":4096,"total":0,"verified":2048}})");
  EXPECT_EQ(
      encode_response(Response{Response::Error{"parse: missing field `op` at line 1 column 2"}}),
      R"({"error":"parse: missing field `op` at line 1 column 2"})");

  std::string text = "q\"b\\/\b\t\n\f\r";
  text.push_back('\0');
  text += "\x01\x1f\x7f é€😀";
  EXPECT_EQ(encode_response(Response{Response::Error{text}}),
            R"({"error":"q\"b\\/\b\t\n\f\r\u0000\u0001\u001f)"
            "\x7f"
            R"( é€😀"})");
  // A wipe in the background: its id leads the line, whatever follows.
  EXPECT_EQ(encode_response(Response{Response::Ok{}, "A"}), R"({"id":"A","ok":true})");
  EXPECT_EQ(encode_response(Response{Response::Progress{4096, 0, 2048}, "disk \"2\""}),
            R"({"id":"disk \"2\"","progress":{"copied":4096,"total":0,"verified":2048}})");
  EXPECT_EQ(encode_response(Response{Response::Error{"wipe cancelled"}, "B"}),
            R"({"id":"B","error":"wipe cancelled"})");
  // A stray byte cannot break the line: it becomes U+FFFD.
  EXPECT_EQ(encode_response(Response{Response::Error{"bad \xff byte"}}),
            "{\"error\":\"bad \xEF\xBF\xBD byte\"}");
}

// "probe" is accepted, yet the unknown-op text still names the six
// operations every client knows.
TEST(DecodeRequest, ProbeIsAnExtensionOutsideTheOpList) {
  check({
      {R"({"op":"probe","device":"/dev/sdb"})", "probe device=/dev/sdb"},
      {R"({"device":"/dev/sdb","extra":[1],"op":"probe"})", "probe device=/dev/sdb"},
      {R"(["probe","/dev/sdb"])", "probe device=/dev/sdb"},
      {R"({"op":"probe"})", "error: missing field `device`"},
      {R"({"op":"probe","device":1})", "error: invalid type: integer `1`, expected path string"},
      {R"({"op":"probe","device":"/a","device":"/a"})", "error: duplicate field `device`"},
      {R"(["probe"])",
       "error: invalid length 0, expected struct variant Request::Probe with 1 element"},
      {R"({"op":"Probe","device":"/dev/sdb"})",
       "error: unknown variant `Probe`, expected " + op_list + " at line 1 column 13"},
  });
}

TEST(EncodeResponse, ProbeResultLine) {
  probe::ProbeResult genuine;
  genuine.verdict.claimed = 16 * 1024 * 1024;
  genuine.verdict.checked = 64;
  EXPECT_EQ(encode_response(Response{Response::ProbeResult{genuine}}),
            R"({"probe":{"claimed":16777216,"block":4096,"positions":64,"genuine":true,)"
            R"("unrestored":[]}})");
  probe::ProbeResult fake = genuine;
  fake.verdict.lowest_failing = 8388608;
  fake.verdict.highest_good = 8384512;
  fake.unrestored = {8388608, 12582912};
  EXPECT_EQ(encode_response(Response{Response::ProbeResult{fake}}),
            R"({"probe":{"claimed":16777216,"block":4096,"positions":64,"genuine":false,)"
            R"("lowest_failing":8388608,"highest_good":8384512,"unrestored":[8388608,12582912]}})");
}

TEST(EncodeResponse, ErrorTextsOfTheDecoderStayOnOneLine) {
  const auto decoded = decode_request("{\"op\":\"a\\nb\\\"c\"}");
  ASSERT_FALSE(decoded);
  const std::string line = encode_response(Response{Response::Error{"parse: " + decoded.error()}});
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line, "{\"error\":\"parse: unknown variant `a\\nb\\\"c`, expected " + op_list +
                      " at line 1 column 15\"}");
}

}  // namespace
}  // namespace tarnwick
