// SPDX-License-Identifier: MIT
// The pure half of the client: Base64, JSON text, request and response
// lines, the rate meter and the device size.
#include "client/protocol.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <random>

#include "base/base.hpp"
#include "client/answers.hpp"
#include "client/support.hpp"
#include "fields/fields.hpp"

namespace tarnwick::client::detail {
namespace {

using namespace std::chrono_literals;
using tdh_client_test::TempDir;
using tdh_client_test::write_file;

std::string encode(std::string_view bytes) {
  std::string out(base64_length(bytes.size()), '?');
  base64_encode(passphrase_bytes(bytes), out.data());
  return out;
}

TEST(Base64, EncodesTheStandardVectorsPadded) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // Both ends of the alphabet.
      {std::string_view("\xfb\xff\xbf", 3), "+/+/"},
      {std::string_view("\0\0\0", 3), "AAAA"},
      {"a\nb", "YQpi"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(encode(bytes), text) << "for " << nlohmann::json(std::string(bytes)).dump();
  }
}

TEST(Base64, EveryLengthAndByteDecodesBackThroughTheHelpersDecoder) {
  std::mt19937 random(20240611);
  for (std::size_t length = 0; length < 200; ++length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) {
      c = static_cast<char>(random() & 0xff);
    }
    auto decoded = fields::decode_passphrase(encode(bytes));
    ASSERT_TRUE(decoded.has_value()) << "length " << length;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), bytes) << "length " << length;
  }
}

TEST(JsonText, ValidatesUtf8Strictly) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", true},
      {"/dev/sdb", true},
      {"\xc3\xa9t\xc3\xa9", true},  // été
      {"\xe2\x82\xac", true},       // U+20AC
      {"\xf0\x9f\x92\xbe", true},   // U+1F4BE
      {"\xf4\x8f\xbf\xbf", true},   // U+10FFFF
      {"\xc0\xaf", false},          // overlong "/"
      {"\xe0\x80\xaf", false},      // overlong
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\x80", false},              // stray continuation
      {"\xe2\x82", false},          // cut short
      {"\xff", false},
  };
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(base::is_valid_utf8(text), valid) << "case of " << text.size() << " bytes";
    EXPECT_EQ(json_quote(text).has_value(), valid);
  }
}

TEST(JsonText, QuotesEveryCharacterTheParserWouldReject) {
  const std::string text = std::string("a\"b\\c\n\t\r\b\f") + '\x01' + '\x1f' + "/\x7f\xc3\xa9";
  auto quoted = json_quote(text);
  ASSERT_TRUE(quoted);
  EXPECT_EQ(*quoted, "\"a\\\"b\\\\c\\n\\t\\r\\b\\f\\u0001\\u001f/\x7f\xc3\xa9\"");
  EXPECT_EQ(nlohmann::json::parse(*quoted).get<std::string>(), text);
}

TEST(Requests, LinesAreTheProtocolsExactText) {
  const auto pass = passphrase_bytes("pa\nss");
  const std::pair<std::string, std::string> cases[] = {
      {*wipe_request("/dev/sdb", WipeMode::Random),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdb\",\"mode\":\"random\"}\n"},
      {*wipe_request("/dev/sdb", WipeMode::EncryptedZero),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdb\",\"mode\":\"encrypted-zero\"}\n"},
      {*wipe_request("/dev/sdb", WipeMode::SecureDiscard),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdb\",\"mode\":\"secure-discard\"}\n"},
      {*wipe_request("/dev/sdb", WipeMode::None),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdb\",\"mode\":\"none\"}\n"},
      {*wipe_request("/dev/sdb", WipeMode::EncryptedZero, false),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdb\",\"mode\":\"encrypted-zero\"}\n"},
      {*wipe_request("/dev/sdb", WipeMode::EncryptedZero, true),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdb\",\"mode\":\"encrypted-zero\",\"verify\":true}\n"},
      {*wipe_request("/dev/sdb", WipeMode::Random, false, "1"),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdb\",\"mode\":\"random\",\"id\":\"1\"}\n"},
      {*wipe_request("/dev/sdc", WipeMode::EncryptedZero, true, "16"),
       "{\"op\":\"wipe\",\"device\":\"/dev/sdc\",\"mode\":\"encrypted-zero\",\"verify\":true,"
       "\"id\":\"16\"}\n"},
      {cancel_request("3"), "{\"op\":\"cancel\",\"id\":\"3\"}\n"},
      {std::string(luks_format_request("/dev/sdb", "back\"up", pass)->view()),
       "{\"op\":\"luks-format\",\"device\":\"/dev/sdb\",\"label\":\"back\\\"up\","
       "\"passphrase_b64\":\"cGEKc3M=\"}\n"},
      {std::string(luks_format_request("/dev/sdb", "", passphrase_bytes(""))->view()),
       "{\"op\":\"luks-format\",\"device\":\"/dev/sdb\",\"label\":\"\",\"passphrase_b64\":\"\"}\n"},
      {std::string(luks_open_request("/dev/sdb1", "tarnwick_b", pass, false)->view()),
       "{\"op\":\"luks-open\",\"device\":\"/dev/sdb1\",\"mapper_name\":\"tarnwick_b\","
       "\"passphrase_b64\":\"cGEKc3M=\"}\n"},
      {std::string(luks_open_request("/dev/sdb1", "tarnwick_b", pass, true)->view()),
       "{\"op\":\"luks-open\",\"device\":\"/dev/sdb1\",\"mapper_name\":\"tarnwick_b\","
       "\"passphrase_b64\":\"cGEKc3M=\",\"allow_discards\":true}\n"},
      {*luks_close_request("tarnwick_b"),
       "{\"op\":\"luks-close\",\"mapper_name\":\"tarnwick_b\"}\n"},
      {*mkfs_request("/dev/mapper/tarnwick_b", Filesystem::Xfs, "\xc3\xa9t\xc3\xa9"),
       "{\"op\":\"mkfs\",\"mapped\":\"/dev/mapper/tarnwick_b\",\"fs\":\"xfs\",\"label\":"
       "\"\xc3\xa9t\xc3\xa9\"}\n"},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(line, expected);
  }
}

TEST(Requests, PassphraseLineHasExactlyItsLengthSoNoGrowthCopyIsLeft) {
  auto line = luks_open_request("/dev/sdb", "tarnwick_b", passphrase_bytes("secret"), true);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), line->capacity());
}

TEST(Requests, TextThatIsNotUtf8IsRefusedNamingTheField) {
  const std::string bad = "/dev/\xff";
  const std::pair<std::expected<std::string, ClientError>, std::string> cases[] = {
      {wipe_request(bad, WipeMode::Random), "device"},
      {luks_close_request(bad), "mapper_name"},
      {mkfs_request("/dev/mapper/tarnwick_a", Filesystem::Ext4, bad), "label"},
  };
  for (const auto& [result, field] : cases) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ClientError::Kind::InvalidArgument);
    EXPECT_EQ(result.error().message, field + " is not valid UTF-8");
  }
  auto open = luks_open_request("/dev/sdb", bad, passphrase_bytes("secret"), false);
  ASSERT_FALSE(open.has_value());
  EXPECT_EQ(open.error().message, "mapper_name is not valid UTF-8");
  EXPECT_EQ(open.error().message.find("c2VjcmV0"), std::string::npos);
}

TEST(Responses, TheThreeShapesParse) {
  EXPECT_EQ(*parse_response("{\"ok\":true}"), Response(OkResponse{}));
  EXPECT_EQ(*parse_response("{\"error\":\"command `dd if=/dev/urandom` failed (exit 1): x\\n\"}"),
            Response(ErrorResponse{"command `dd if=/dev/urandom` failed (exit 1): x\n"}));
  EXPECT_EQ(*parse_response("{\"progress\":{\"copied\":1048576,\"total\":0}}"),
            Response(ProgressResponse{1048576, 0}));
  EXPECT_EQ(*parse_response("{\"progress\":{\"copied\":18446744073709551615,\"total\":0}}"),
            Response(ProgressResponse{18446744073709551615ULL, 0}));
  EXPECT_EQ(*parse_response("{\"progress\":{\"copied\":8192,\"total\":0,\"verified\":4096}}"),
            Response(ProgressResponse{8192, 0, 4096}));
  // The helper's exact text, escapes decoded, non-ASCII untouched.
  EXPECT_EQ(*parse_response("{\"error\":\"a\\\"b\\\\c\\u0001 \xc3\xa9\"}"),
            Response(ErrorResponse{"a\"b\\c\x01 \xc3\xa9"}));
}

TEST(Responses, MembersTheClientDoesNotKnowAreIgnoredInEveryKind) {
  const std::pair<const char*, Response> cases[] = {
      {R"({"ok":true,"id":7})", OkResponse{}},
      {R"({"request":{"op":"wipe"},"ok":true})", OkResponse{}},
      {R"({"error":"device is read-only","code":"refused","detail":[1,{"a":null}]})",
       ErrorResponse{"device is read-only"}},
      {R"({"progress":{"copied":1,"total":0,"rate":2,"phase":"write"}})", ProgressResponse{1, 0}},
      {R"({"progress":{"copied":1,"total":0,"verified":2,"rate":2},"eta":null})",
       ProgressResponse{1, 0, 2}},
  };
  for (const auto& [line, expected] : cases) {
    const auto parsed = parse_response(line);
    ASSERT_TRUE(parsed.has_value()) << line << ": " << parsed.error();
    EXPECT_EQ(*parsed, expected) << line;
  }
}

TEST(Responses, AnythingElseIsRefused) {
  const char* cases[] = {
      "",
      "ok",
      "{\"ok\":true",
      "[\"ok\"]",
      "{}",
      "{\"id\":1}",
      "{\"ok\":false}",
      "{\"ok\":1}",
      "{\"ok\":true,\"error\":\"x\"}",
      "{\"progress\":{\"copied\":1,\"total\":0},\"error\":\"x\"}",
      "{\"progress\":{\"total\":0,\"rate\":1}}",
      "{\"error\":null}",
      "{\"error\":5}",
      "{\"progress\":{\"copied\":1}}",
      "{\"progress\":{\"copied\":-1,\"total\":0}}",
      "{\"progress\":{\"copied\":1.5,\"total\":0}}",
      "{\"progress\":{\"copied\":\"1\",\"total\":0}}",
      "{\"progress\":{\"copied\":1,\"verified\":2}}",
      "{\"progress\":{\"copied\":1,\"total\":0,\"verified\":-2}}",
      "{\"progress\":{\"copied\":1,\"total\":0,\"verified\":null}}",
      "{\"progress\":[1,0]}",
      "{\"done\":true}",
  };
  for (const char* line : cases) {
    EXPECT_FALSE(parse_response(line).has_value()) << line;
  }
}

TEST(Responses, TaggedLinesCarryTheirIdWhereverItStands) {
  struct Case {
    const char* line;
    std::optional<std::string> id;
    Response response;
  };
  const Case cases[] = {
      {R"({"id":"1","progress":{"copied":4096,"total":0}})", "1", ProgressResponse{4096, 0}},
      {R"({"id":"B","progress":{"copied":8,"total":0,"verified":4}})", "B",
       ProgressResponse{8, 0, 4}},
      {R"({"id":"2","ok":true})", "2", OkResponse{}},
      {R"({"ok":true,"id":"2","took":3})", "2", OkResponse{}},
      {R"({"id":"3","error":"wipe cancelled: the drive is only partly wiped"})", "3",
       ErrorResponse{"wipe cancelled: the drive is only partly wiped"}},
      // The answers to cancel requests carry none.
      {R"({"ok":true})", std::nullopt, OkResponse{}},
      {R"({"error":"no wipe with this id is running"})", std::nullopt,
       ErrorResponse{"no wipe with this id is running"}},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_tagged_response(c.line);
    ASSERT_TRUE(parsed.has_value()) << c.line << ": " << parsed.error();
    EXPECT_EQ(parsed->id, c.id) << c.line;
    EXPECT_EQ(parsed->response, c.response) << c.line;
  }
  for (const char* bad : {R"({"id":1,"ok":true})", R"({"id":null,"ok":true})", R"({"id":"1"})",
                          R"({"id":"1","ok":true,"error":"x"})", "{\"id\":\"1\""}) {
    EXPECT_FALSE(parse_tagged_response(bad).has_value()) << bad;
  }
}

TEST(RateMeter, MeasuresOverTheWindowOnceASecondHasPassed) {
  RateMeter meter;
  const RateMeter::Clock::time_point t0{};
  EXPECT_FALSE(meter.add(t0, 0));
  EXPECT_FALSE(meter.add(t0 + 500ms, 50));
  EXPECT_DOUBLE_EQ(*meter.add(t0 + 1s, 100), 100.0);
  EXPECT_DOUBLE_EQ(*meter.add(t0 + 2s, 300), 150.0);
  // Ten seconds on, the first samples have left the window: the rate is
  // what the recent ones say.
  for (int s = 3; s <= 20; ++s) {
    meter.add(t0 + std::chrono::seconds(s), 300 + static_cast<std::uint64_t>(s - 2) * 1000);
  }
  EXPECT_NEAR(*meter.add(t0 + 21s, 300 + 19 * 1000), 1000.0, 1e-9);
}

TEST(RateMeter, StartsOverWhenTheCountGoesBackwards) {
  RateMeter meter;
  const RateMeter::Clock::time_point t0{};
  meter.add(t0, 0);
  EXPECT_TRUE(meter.add(t0 + 2s, 2000));
  EXPECT_FALSE(meter.add(t0 + 3s, 10));
  EXPECT_DOUBLE_EQ(*meter.add(t0 + 4s, 110), 100.0);
}

TEST(WipeProgress, FractionAndTimeLeftNeedWhatTheyAreMadeOf) {
  struct Case {
    std::uint64_t written;
    std::optional<std::uint64_t> total;
    std::optional<double> rate;
    std::optional<double> fraction;
    std::optional<std::chrono::seconds> remaining;
  };
  const Case cases[] = {
      {50, 200, 10.0, 0.25, 15s},
      {50, 200, 7.0, 0.25, 22s},  // 21.4 s rounds up
      {50, std::nullopt, 10.0, std::nullopt, std::nullopt},
      {50, 0, 10.0, std::nullopt, std::nullopt},
      {50, 200, std::nullopt, 0.25, std::nullopt},
      {50, 200, 0.0, 0.25, std::nullopt},
      {300, 200, 10.0, 1.0, 0s},  // other writes counted too: capped
  };
  for (const Case& c : cases) {
    WipeProgress p;
    p.written = c.written;
    p.total = c.total;
    p.bytes_per_second = c.rate;
    EXPECT_EQ(p.fraction(), c.fraction);
    EXPECT_EQ(p.remaining(), c.remaining);
  }
}

TEST(DeviceSize, ReadsSectorsOfTheCanonicalPathsLastComponent) {
  TempDir dir;
  ::mkdir((dir / "sys").c_str(), 0755);
  const std::pair<std::string, std::string> entries[] = {
      {"sdq", "2048\n"}, {"sdr", "abc\n"}, {"sds", "36028797018963968\n"}, {"sdt", ""}};
  for (const auto& [name, size] : entries) {
    ::mkdir((dir / ("sys/" + name)).c_str(), 0755);
    write_file(dir / ("sys/" + name + "/size"), size);
    write_file(dir / name, "");
  }
  ASSERT_EQ(::symlink((dir / "sdq").c_str(), (dir / "by-id-link").c_str()), 0);
  const std::string sys = dir / "sys";
  EXPECT_EQ(device_size(dir / "sdq", sys), 1048576u);
  EXPECT_EQ(device_size(dir / "by-id-link", sys), 1048576u);
  EXPECT_EQ(device_size(dir / "sdr", sys), std::nullopt);
  EXPECT_EQ(device_size(dir / "sds", sys), std::nullopt);  // overflows 64 bits
  EXPECT_EQ(device_size(dir / "sdt", sys), std::nullopt);
  EXPECT_EQ(device_size(dir / "missing", sys), std::nullopt);
}

TEST(Report, DriveIdentityFromLsblk) {
  const auto identity = parse_drive_identity(
      "/dev/sdb", R"({"blockdevices":[{"path":"/dev/sdb","size":15376318464,"vendor":"SanDisk ",)"
                  R"("model":"Cruzer Blade","serial":"4C530001230","tran":"usb"}]})");
  ASSERT_TRUE(identity) << identity.error();
  EXPECT_EQ(identity->path, "/dev/sdb");
  EXPECT_EQ(identity->vendor, "SanDisk");
  EXPECT_EQ(identity->model, "Cruzer Blade");
  EXPECT_EQ(identity->serial, "4C530001230");
  EXPECT_EQ(identity->transport, "usb");
  EXPECT_EQ(identity->size, 15376318464ULL);
  // Older lsblk: sizes as strings; absent texts as null.
  const auto old = parse_drive_identity(
      "/dev/sdc", R"({"blockdevices":[{"size":"512","vendor":null,"model":null,"serial":null}]})");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->size, 512u);
  EXPECT_EQ(old->model, "");
  for (const char* bad : {"", "{}", R"({"blockdevices":[]})", R"({"blockdevices":[1]})"}) {
    EXPECT_FALSE(parse_drive_identity("/dev/sdb", bad)) << bad;
  }
}

TEST(Answers, TheHelpersDocumentedTextsAreClassifiedInOnePlace) {
  struct Case {
    std::string text;
    bool cancelled;
    std::optional<int> interrupted_by;
    bool read_back_failed;
    bool close_failed;
  };
  const Case cases[] = {
      {"wipe cancelled: the drive is only partly wiped", true, {}, false, false},
      {"wipe cancelled before anything was written", true, {}, false, false},
      {"command `dd if=/dev/urandom of=/dev/sdb` stopped: interrupted by SIGINT", false, SIGINT,
       false, false},
      {"command `lsblk -J` stopped: interrupted by SIGTERM", false, SIGTERM, false, false},
      {"command `cryptsetup close tarnwick_a` stopped: interrupted by SIGHUP", false, SIGHUP, false,
       true},
      {"command `cmp -n 5 a b` stopped: interrupted by SIGINT", false, SIGINT, true, false},
      // Only at the end, and only the three signals the helper stops on.
      {"command `dd` stopped: interrupted by SIGINT: more", false, {}, false, false},
      {"command `dd` stopped: interrupted by SIGQUIT", false, {}, false, false},
      {"verification failed: the drive returned different data at byte offset 0",
       false,
       {},
       true,
       false},
      {"verification incomplete: only 1 of 2 bytes were read back from the drive",
       false,
       {},
       true,
       false},
      {"probe cancelled: every block it wrote was restored", true, {}, false, false},
      {"command `cryptsetup close tarnwick_wipe_tmp` failed (exit 5): busy",
       false,
       {},
       false,
       true},
      // Matched where the helper puts them, not anywhere in the text.
      {"refused destructive operation: device not found: wipe cancelled", false, {}, false, false},
      {"verification is only available for mode encrypted-zero", false, {}, false, false},
  };
  for (const Case& c : cases) {
    const AnswerFacts facts = classify_answer(c.text);
    EXPECT_EQ(facts.cancelled, c.cancelled) << c.text;
    EXPECT_EQ(facts.interrupted_by, c.interrupted_by) << c.text;
    EXPECT_EQ(facts.read_back_failed, c.read_back_failed) << c.text;
    EXPECT_EQ(facts.close_failed, c.close_failed) << c.text;
  }
}

TEST(Report, VerificationIsJudgedFromTheOutcome) {
  using enum WipeReport::Verification;
  constexpr std::optional<std::uint64_t> kNone;
  constexpr std::uint64_t kSize = 1048576;
  struct Case {
    bool requested;
    std::string error;
    std::optional<std::uint64_t> bytes_verified;  // the last read-back figure
    std::optional<std::uint64_t> size;
    WipeReport::Verification expected;
  };
  const Case cases[] = {
      {false, "", kNone, kSize, NotRequested},
      {false, "verification failed: x", kSize, kSize, NotRequested},
      {true, "", kSize, kSize, Passed},
      {true, "", kSize + 4096, kSize, Passed},
      {true, "", kSize, kNone, Passed},
      // "Passed" only when the drive answered for every byte.
      {true, "", kSize - 512, kSize, Failed},
      {true, "", kNone, kSize, Failed},
      {true, "", kNone, kNone, Failed},
      {true, "verification failed: the drive returned different data at byte offset 0", kSize,
       kSize, Failed},
      {true, "verification incomplete: only 1048064 of 1048576 bytes were read back from the drive",
       kSize - 512, kSize, Failed},
      {true, "verification incomplete: the drive's read count cannot be read", kNone, kSize,
       Failed},
      {true, "command `cmp -n 5 a b` failed (exit 2): cmp: a: Input/output error\n", 4096, kSize,
       Failed},
      {true, "command `cryptsetup close tarnwick_wipe_tmp` failed (exit 5): busy", kSize, kSize,
       Passed},
      {true, "command `cryptsetup close tarnwick_wipe_tmp` failed (exit 5): busy", kSize - 512,
       kSize, Failed},
      {true, "command `cryptsetup close tarnwick_wipe_tmp` failed (exit 5): busy", kNone, kSize,
       NotRun},
      {true, "refused destructive operation: device is read-only", kNone, kSize, NotRun},
      {true, "verification is only available for mode encrypted-zero", kNone, kSize, NotRun},
      // A cancel stops the read-back before its end, even one that saw it run.
      {true, "wipe cancelled: the drive is only partly wiped", kNone, kSize, NotRun},
      {true, "wipe cancelled during verification: command `cmp -n 5 a b` stopped", 4096, kSize,
       NotRun},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(judge_verification(c.requested, c.error, c.bytes_verified, c.size), c.expected)
        << c.error << " " << c.bytes_verified.value_or(0);
  }
}

TEST(Report, JsonHoldsEveryField) {
  WipeReport report;
  report.drive = {"/dev/sdb",
                  "Cruzer",
                  "4C53",
                  "SanDisk",
                  "usb",
                  1048576,
                  "/dev/disk/by-id/usb-SanDisk_Cruzer_4C53-0:0"};
  report.mode = WipeMode::EncryptedZero;
  report.verification = WipeReport::Verification::Failed;
  report.bytes_written = 1048576;
  report.bytes_verified = 4096;
  report.started = std::chrono::system_clock::time_point(std::chrono::seconds(1796869315));
  report.ended = report.started + 90500ms;
  report.error = "verification failed: the drive returned different data at byte offset 5";
  report.helper_version = "0.1.0";
  report.host_name = "bench";
  const std::string text = report.to_json();
  ASSERT_TRUE(text.ends_with("}\n"));
  const auto doc = nlohmann::json::parse(text);
  EXPECT_EQ(doc["drive"]["model"], "Cruzer");
  EXPECT_EQ(doc["drive"]["serial"], "4C53");
  EXPECT_EQ(doc["drive"]["vendor"], "SanDisk");
  EXPECT_EQ(doc["drive"]["size"], 1048576);
  EXPECT_EQ(doc["drive"]["transport"], "usb");
  EXPECT_EQ(doc["drive"]["by_id"], "/dev/disk/by-id/usb-SanDisk_Cruzer_4C53-0:0");
  EXPECT_EQ(doc["method"], "encrypted-zero");
  EXPECT_EQ(doc["verification"], "failed");
  EXPECT_EQ(doc["bytes_written"], 1048576);
  EXPECT_EQ(doc["bytes_verified"], 4096);
  EXPECT_EQ(doc["started"], "2026-12-10T02:21:55Z");
  EXPECT_EQ(doc["ended"], "2026-12-10T02:23:25Z");
  EXPECT_EQ(doc["duration_seconds"], 90.5);
  EXPECT_EQ(doc["result"], "failed");
  EXPECT_EQ(doc["error"], report.error);
  EXPECT_EQ(doc["helper_version"], "0.1.0");
  EXPECT_EQ(doc["host"], "bench");
  EXPECT_FALSE(doc["drive"].contains("error"));

  // Success: no error text; unknown identity fields are null, and why they
  // are unknown is said.
  WipeReport plain;
  plain.drive.path = "/dev/sdz";
  plain.identity_error = "lsblk exited with status 32: lsblk: /dev/sdz: not a block device";
  const auto ok = nlohmann::json::parse(plain.to_json());
  EXPECT_EQ(ok["result"], "ok");
  EXPECT_TRUE(ok["error"].is_null());
  EXPECT_TRUE(ok["drive"]["serial"].is_null());
  EXPECT_TRUE(ok["drive"]["size"].is_null());
  EXPECT_EQ(ok["drive"]["error"], plain.identity_error);
  EXPECT_EQ(ok["verification"], "not requested");
  EXPECT_TRUE(ok["bytes_verified"].is_null());
}

TEST(Drives, RemovableDisksWithEverythingMountedOnThem) {
  const std::string text = R"({"blockdevices":[
    {"name":"vda","path":"/dev/vda","size":21474836480,"type":"disk","rm":false,"hotplug":false,
     "children":[{"name":"vda1","path":"/dev/vda1","type":"part","mountpoint":"/"}]},
    {"name":"sr0","path":"/dev/sr0","size":1073741312,"type":"rom","rm":true,"hotplug":true},
    {"name":"loop0","path":"/dev/loop0","type":"loop","rm":false,"hotplug":false},
    {"name":"sdb","path":"/dev/sdb","size":16005464064,"type":"disk","rm":true,"hotplug":true,
     "ro":false,"tran":"usb","vendor":"SanDisk ","model":"Cruzer Blade    ","serial":"4C53",
     "mountpoint":null,"children":[
       {"name":"sdb1","path":"/dev/sdb1","type":"part","mountpoint":"/media/stick"},
       {"name":"sdb2","path":"/dev/sdb2","type":"part","mountpoint":null,"children":[
         {"name":"tarnwick_x","path":"/dev/mapper/tarnwick_x","type":"crypt",
          "mountpoint":"/mnt/x"}]}]},
    {"name":"sdc","path":"/dev/sdc","size":"1000","type":"disk","rm":"0","hotplug":"1","ro":"1"}
  ]})";
  auto drives = parse_removable_drives(text);
  ASSERT_TRUE(drives) << drives.error();
  ASSERT_EQ(drives->size(), 2u);
  const RemovableDrive& sdb = (*drives)[0];
  EXPECT_EQ(sdb.path, "/dev/sdb");
  EXPECT_EQ(sdb.size, 16005464064u);
  EXPECT_EQ(sdb.vendor, "SanDisk");
  EXPECT_EQ(sdb.model, "Cruzer Blade");
  ASSERT_EQ(sdb.mounts.size(), 2u);
  EXPECT_EQ(sdb.mounts[1].device, "/dev/mapper/tarnwick_x");
  EXPECT_EQ(sdb.mounts[1].mountpoint, "/mnt/x");
  // Older lsblk: flags and sizes as strings.
  const RemovableDrive& sdc = (*drives)[1];
  EXPECT_EQ(sdc.size, 1000u);
  EXPECT_TRUE(sdc.read_only);

  for (const char* bad : {"", "[]", "{\"blockdevices\":{}}", "{\"devices\":[]}"}) {
    EXPECT_FALSE(parse_removable_drives(bad)) << bad;
  }
}

TEST(Drives, ByIdLinkFollowsLinks) {
  TempDir dir;
  ::mkdir((dir / "by-id").c_str(), 0755);
  write_file(dir / "sdq", "");
  write_file(dir / "sdr", "");
  ASSERT_EQ(::symlink("../sdr", (dir / "by-id/usb-Other").c_str()), 0);
  ASSERT_EQ(::symlink("../sdq", (dir / "by-id/usb-Stick_Q-0:0").c_str()), 0);
  EXPECT_EQ(find_by_id_link(dir / "sdq", dir / "by-id"), dir / "by-id/usb-Stick_Q-0:0");
  EXPECT_EQ(find_by_id_link(dir / "missing", dir / "by-id"), "");
  EXPECT_EQ(find_by_id_link(dir / "sdq", dir / "no-dir"), "");
}

}  // namespace
}  // namespace tarnwick::client::detail
