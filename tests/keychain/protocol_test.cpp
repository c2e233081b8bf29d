// The request protocol against the in-memory store: input bounds, strict JSON, the checks in their
// order, the allow-list and the test-storage mapping, the actions and the exact response bytes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "json.h"
#include "memory_item_store.h"
#include "request.h"

namespace trelvo::keychain {
namespace {

std::string request(const std::string& service, const std::string& account,
                    const std::string& action, const std::string& extra = "") {
  return "{\"service\":\"" + service + "\",\"account\":\"" + account + "\",\"action\":\"" + action +
         "\"" + extra + "}";
}

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// A request padded with spaces to exactly `size` bytes.
std::string paddedTo(std::size_t size) {
  std::string r = request("com.trelvo.pro", "acct", "get");
  r += std::string(size - r.size(), ' ');
  return r;
}

struct ProtocolCase {
  const char* name;
  std::string input;
  bool testStorage;
  ExitStatus status;
  std::string response;       // expected when status is kDone
  std::string storedService;  // when not empty: the operation used this storage service
};

const std::string kSet = request("com.trelvo.pro", "acct", "set");

std::vector<ProtocolCase> protocolCases() {
  const std::string pro = "com.trelvo.pro";
  const std::string providers = "com.trelvo.pro.providers";
  const ExitStatus done = ExitStatus::kDone;
  const ExitStatus refused = ExitStatus::kRefused;
  const std::string null = "{\"value\":null}";
  return {
      {"size65536", paddedTo(65536), false, done, null, ""},
      {"size65537", paddedTo(65537), false, refused, "", ""},
      {"empty", "", false, refused, "", ""},
      {"whitespaceOnly", " \n", false, refused, "", ""},
      {"array", "[" + request(pro, "acct", "get") + "]", false, refused, "", ""},
      {"bareString", "\"get\"", false, refused, "", ""},
      {"number", "42", false, refused, "", ""},
      {"trailingText", request(pro, "acct", "get") + " x", false, refused, "", ""},
      {"twoObjects", request(pro, "acct", "get") + request(pro, "acct", "get"), false, refused, "",
       ""},
      {"trailingWhitespace", request(pro, "acct", "get") + " \t\r\n", false, done, null, ""},
      {"comment", "/*c*/" + request(pro, "acct", "get"), false, refused, "", ""},
      {"trailingComma", "{\"service\":\"com.trelvo.pro\",\"account\":\"a\",\"action\":\"get\",}",
       false, refused, "", ""},
      {"singleQuotes", "{'service':'com.trelvo.pro','account':'a','action':'get'}", false, refused,
       "", ""},
      {"byteOrderMark", "\xEF\xBB\xBF" + request(pro, "acct", "get"), false, refused, "", ""},
      {"invalidUTF8InText", request(pro, "a\xff", "get"), false, refused, "", ""},
      {"loneSurrogate", request(pro, "a\\ud800", "get"), false, refused, "", ""},
      {"rawControlCharacter", request(pro, "a\tb", "get"), false, refused, "", ""},
      {"noAction", "{\"service\":\"com.trelvo.pro\",\"account\":\"a\"}", false, refused, "", ""},
      {"accountNumber", "{\"service\":\"com.trelvo.pro\",\"account\":7,\"action\":\"get\"}", false,
       refused, "", ""},
      {"serviceNull", "{\"service\":null,\"account\":\"a\",\"action\":\"get\"}", false, refused, "",
       ""},
      {"emptyAccount", request(pro, "", "get"), false, refused, "", ""},
      {"account255", request(pro, std::string(255, 'a'), "get"), false, done, null, ""},
      {"account256", request(pro, std::string(256, 'a'), "get"), false, refused, "", ""},
      // 255 units, two bytes each in UTF-8: the limit counts units, not bytes.
      {"account255TwoByte", request(pro, repeat("\xC3\xA9", 255), "get"), false, done, null, ""},
      {"account128AboveBMP", request(pro, repeat("\xF0\x9F\x98\x80", 128), "get"), false, refused,
       "", ""},
      {"account127AboveBMPPlusOne", request(pro, repeat("\xF0\x9F\x98\x80", 127) + "a", "get"),
       false, done, null, ""},
      {"account128EscapedPairs", request(pro, repeat("\\ud83d\\ude00", 128), "get"), false, refused,
       "", ""},
      {"previewRefused", request("com.trelvo.pro.preview", "acct", "get"), false, refused, "", ""},
      {"previewRefusedInTestStorage", request("com.trelvo.pro.preview", "acct", "get"), true,
       refused, "", ""},
      {"capitalService", request("COM.TRELVO.PRO", "acct", "get"), false, refused, "", ""},
      {"otherService", request("com.example", "acct", "get"), false, refused, "", ""},
      {"providersPlain", request(providers, "acct", "get"), false, done, null, ""},
      {"capitalAction", request(pro, "acct", "GET"), false, refused, "", ""},
      {"otherAction", request(pro, "acct", "list"), false, refused, "", ""},
      {"emptyAction", request(pro, "acct", ""), false, refused, "", ""},
      {"setWithoutValue", request(pro, "acct", "set"), false, refused, "", ""},
      {"setValueNull", request(pro, "acct", "set", ",\"value\":null"), false, refused, "", ""},
      {"setValueNumber", request(pro, "acct", "set", ",\"value\":1"), false, refused, "", ""},
      {"setValueObject", request(pro, "acct", "set", ",\"value\":{}"), false, refused, "", ""},
      {"setEmptyValue", request(pro, "acct", "set", ",\"value\":\"\""), false, done, null, pro},
      {"setTestStorage", request(pro, "acct", "set", ",\"value\":\"v\""), true, done, null,
       "com.trelvo.pro.preview"},
      {"setProvidersTestStorage", request(providers, "acct", "set", ",\"value\":\"v\""), true, done,
       null, "com.trelvo.pro.preview.providers"},
      {"setProviders", request(providers, "acct", "set", ",\"value\":\"v\""), false, done, null,
       providers},
      {"getWithValueNumber", request(pro, "acct", "get", ",\"value\":5"), false, done, null, ""},
      {"deleteWithValueObject", request(pro, "acct", "delete", ",\"value\":{\"a\":[1]}"), false,
       done, null, ""},
      {"extraMembers",
       request(pro, "acct", "get",
               ",\"x\":[1,{\"y\":[true,false,null,-0.5e+3]}],\"\":{},\"z\":\"\\u00e9\\/\""),
       false, done, null, ""},
      {"deepExtraMember",
       request(pro, "acct", "get", ",\"x\":" + repeat("[", 20000) + repeat("]", 20000)), false,
       done, null, ""},
      {"unbalancedExtraMember", request(pro, "acct", "get", ",\"x\":" + repeat("[", 100)), false,
       refused, "", ""},
      {"repeatedMemberLastWins",
       "{\"service\":\"com.example\",\"service\":\"com.trelvo.pro\",\"account\":\"a\","
       "\"action\":\"get\"}",
       false, done, null, ""},
      {"escapedMemberName",
       "{\"serv\\u0069ce\":\"com.trelvo.pro\",\"account\":\"a\","
       "\"action\":\"get\"}",
       false, done, null, ""},
  };
}

void PrintTo(const ProtocolCase& c, std::ostream* os) { *os << c.name; }

class ProtocolTest : public testing::TestWithParam<ProtocolCase> {};

TEST_P(ProtocolTest, AnswersAsRequired) {
  const ProtocolCase& c = GetParam();
  MemoryItemStore store;
  const Outcome outcome = handleRequest(c.input, c.testStorage, store);
  EXPECT_EQ(outcome.status, c.status);
  if (c.status == ExitStatus::kDone) {
    EXPECT_EQ(outcome.response, c.response);
  } else {
    EXPECT_EQ(outcome.response, "");
  }
  if (c.status == ExitStatus::kRefused) {
    EXPECT_TRUE(store.calls().empty());
  }
  if (!c.storedService.empty()) {
    ASSERT_EQ(store.items().size(), 1u);
    EXPECT_EQ(store.items().begin()->first.first, c.storedService);
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, ProtocolTest, testing::ValuesIn(protocolCases()),
                         [](const auto& param) { return std::string(param.param.name); });

// The answers where JSON readers commonly differ, as the program gives them: a request the reader
// refuses is refused like any other malformed request.
std::vector<ProtocolCase> edgeCases() {
  const std::string pro = "com.trelvo.pro";
  const ExitStatus done = ExitStatus::kDone;
  const ExitStatus refused = ExitStatus::kRefused;
  const std::string null = "{\"value\":null}";
  const std::string get = request(pro, "acct", "get");
  const auto withExtra = [&](const std::string& value) {
    return request(pro, "acct", "get", ",\"x\":" + value);
  };
  // The deepest extra member that still fits in the largest request.
  const std::size_t deepest = (kMaxRequestBytes - withExtra("").size()) / 2;
  return {
      {"byteOrderMarkCutShort", "\xEF\xBB" + get, false, refused, "", ""},
      {"tooLarge", withExtra("1e400"), false, refused, "", ""},
      {"tooLargeNegative", withExtra("-1e400"), false, refused, "", ""},
      {"tooSmallToTellFromZero", withExtra("1e-400"), false, refused, "", ""},
      {"subnormal", withExtra("4e-320"), false, done, null, ""},
      {"zeroLargeExponent", withExtra("0e-400"), false, done, null, ""},
      {"hugeInteger", withExtra("99999999999999999999999"), false, done, null, ""},
      {"equalNumbers", withExtra("[4711,4711.0,4.711e3]"), false, done, null, ""},
      {"loneLowSurrogate", request(pro, "a\\ude00", "get"), false, refused, "", ""},
      {"surrogateThenNotALowOne", request(pro, "a\\ud83d\\u0041", "get"), false, refused, "", ""},
      {"loneSurrogateInExtraMember", withExtra("[\"\\ud800\"]"), false, refused, "", ""},
      {"invalidUTF8InName", request(pro, "acct", "get", ",\"\xC0\xAF\":1"), false, refused, "", ""},
      {"invalidUTF8AfterObject", get + "\xFF", false, refused, "", ""},
      {"trailingNUL", get + std::string(1, '\0'), false, refused, "", ""},
      {"NULBetweenMembers", request(pro, "acct", "get", std::string(1, '\0')), false, refused, "",
       ""},
      {"repeatedMemberLastWinsOverAValid", request(pro, "acct", "get", ",\"action\":\"list\""),
       false, refused, "", ""},
      {"deepestThatFits", withExtra(std::string(deepest, '[') + std::string(deepest, ']')), false,
       done, null, ""},
      {"100000Levels", withExtra(std::string(100000, '[') + std::string(100000, ']')), false,
       refused, "", ""},
      {"topLevelArrayOfARequest", "[" + get + "]", false, refused, "", ""},
      {"trailingGarbage", get + "}", false, refused, "", ""},
      {"onlyWhitespace", " \t\r\n", false, refused, "", ""},
  };
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, ProtocolTest, testing::ValuesIn(edgeCases()),
                         [](const auto& param) { return std::string(param.param.name); });

// Below the protocol, whose size limit comes first: the reader's own depth limit.
TEST(ReadJSONObject, DepthIsLimited) {
  const auto nested = [](int levels) {  // levels of containers, the top-level object included
    const auto n = static_cast<std::size_t>(levels - 1);
    return "{\"x\":" + std::string(n, '[') + std::string(n, ']') + "}";
  };
  EXPECT_TRUE(readJSONObject(nested(kJsonDepthLimit - 1)).has_value());
  EXPECT_TRUE(readJSONObject(nested(kJsonDepthLimit)).has_value());
  EXPECT_FALSE(readJSONObject(nested(kJsonDepthLimit + 1)).has_value());
  EXPECT_FALSE(readJSONObject(nested(100000)).has_value());
  EXPECT_FALSE(readJSONObject("{\"x\":" + std::string(100000, '{')).has_value());
}

TEST(ReadJSONObject, KeepsTopLevelMembersWithTheirTypes) {
  const auto members = readJSONObject(
      R"({"s":"a\u00e9\/","n":4.711e3,"t":true,"z":null,"a":[{"s":"inner"}],"o":{"s":"x"},)"
      R"("s2":"first","s2":"last"})");
  ASSERT_TRUE(members.has_value());
  const std::vector<std::pair<std::string, JsonType>> types = {
      {"s", JsonType::kString}, {"n", JsonType::kNumber}, {"t", JsonType::kBoolean},
      {"z", JsonType::kNull},   {"a", JsonType::kArray},  {"o", JsonType::kObject},
      {"s2", JsonType::kString}};
  EXPECT_EQ(members->size(), types.size());
  for (const auto& [name, type] : types) {
    SCOPED_TRACE(name);
    ASSERT_EQ(members->count(name), 1u);
    EXPECT_EQ(members->at(name).type, type);
  }
  EXPECT_EQ(members->at("s").text, "a\xC3\xA9/");
  EXPECT_EQ(members->at("s2").text, "last");
  EXPECT_EQ(members->at("a").text, "");  // nested strings are not kept
  EXPECT_EQ(members->at("o").text, "");
}

// The test-storage mapping reads the preview item, and the two services name different items.
TEST(ProtocolMapping, TestStorageReadsThePreviewItem) {
  MemoryItemStore store;
  store.items()[{"com.trelvo.pro", "acct"}] = {"real", std::nullopt};
  store.items()[{"com.trelvo.pro.preview", "acct"}] = {"preview", std::nullopt};
  const std::string get = request("com.trelvo.pro", "acct", "get");
  EXPECT_EQ(handleRequest(get, true, store).response, "{\"value\":\"preview\"}");
  EXPECT_EQ(handleRequest(get, false, store).response, "{\"value\":\"real\"}");
}

struct ResponseCase {
  const char* name;
  std::string stored;
  std::string response;
};

void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class ResponseTest : public testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseTest, WritesExactBytes) {
  MemoryItemStore store;
  store.items()[{"com.trelvo.pro", "acct"}] = {GetParam().stored, std::nullopt};
  const Outcome outcome = handleRequest(request("com.trelvo.pro", "acct", "get"), false, store);
  EXPECT_EQ(outcome.status, ExitStatus::kDone);
  EXPECT_EQ(outcome.response, GetParam().response);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ResponseTest,
    testing::Values(ResponseCase{"empty", "", "{\"value\":\"\"}"},
                    ResponseCase{"solidus", "a/b", "{\"value\":\"a\\/b\"}"},
                    ResponseCase{"nonAscii", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                                 "{\"value\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}"},
                    ResponseCase{"quoteAndBackslash", "\"\\", "{\"value\":\"\\\"\\\\\"}"},
                    ResponseCase{"controls", std::string("\0\b\f\n\r\t\x1f\x7f", 8),
                                 "{\"value\":\"\\u0000\\b\\f\\n\\r\\t\\u001f\x7f\"}"},
                    ResponseCase{"lineSeparatorAsItself", "\xE2\x80\xA8",
                                 "{\"value\":\"\xE2\x80\xA8\"}"},
                    ResponseCase{"invalidUTF8IsNull", "a\xC3", "{\"value\":null}"},
                    ResponseCase{"surrogateBytesAreNull", "\xED\xA0\x80", "{\"value\":null}"},
                    ResponseCase{"overlongIsNull", "\xC0\xAF", "{\"value\":null}"}),
    [](const auto& param) { return std::string(param.param.name); });

// A value set through a request comes back unchanged through another, escapes included.
TEST(ProtocolRoundTrip, SetThenGet) {
  MemoryItemStore store;
  const std::string set =
      request("com.trelvo.pro", "acct", "set", ",\"value\":\"\\u0000\\ud83d\\ude00/\\\"\"");
  ASSERT_EQ(handleRequest(set, false, store).status, ExitStatus::kDone);
  EXPECT_EQ(store.items().at({"com.trelvo.pro", "acct"}).data,
            std::string("\0\xF0\x9F\x98\x80/\"", 7));
  EXPECT_EQ(handleRequest(request("com.trelvo.pro", "acct", "get"), false, store).response,
            "{\"value\":\"\\u0000\xF0\x9F\x98\x80\\/\\\"\"}");
}

// Store statuses map to the exit statuses: 0 and -25300 are success, anything else status 1.
TEST(ProtocolStatuses, StoreFailuresEndWithStatusOne) {
  struct Case {
    const char* action;
    Status status;
    ExitStatus exit;
  };
  const Case cases[] = {
      {"get", kItemNotFound, ExitStatus::kDone},
      {"delete", kItemNotFound, ExitStatus::kDone},
      {"get", kInteractionNotAllowed, ExitStatus::kStoreFailure},
      {"delete", kNotAvailable, ExitStatus::kStoreFailure},
      {"set", -128, ExitStatus::kStoreFailure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.action) + " " + std::to_string(c.status));
    MemoryItemStore store;
    // The first store call of "set" is the write lock; fail the update after it.
    store.failCall(std::string(c.action) == "set" ? 2 : 1, c.status);
    const Outcome outcome = handleRequest(
        request("com.trelvo.pro", "acct", c.action, ",\"value\":\"v\""), false, store);
    EXPECT_EQ(outcome.status, c.exit);
    EXPECT_EQ(outcome.response, c.exit == ExitStatus::kDone ? "{\"value\":null}" : "");
    EXPECT_TRUE(store.items().empty());
  }
}

// Exactly one byte more than the largest request is read; the rest stays unread.
TEST(ReadRequest, ReadsAtMostOneByteMoreThanTheLimit) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{10}, std::size_t{65536},
                                 std::size_t{65537}, std::size_t{100000}}) {
    SCOPED_TRACE(size);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const std::string content(size, 'x');
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
    ASSERT_EQ(std::fflush(file), 0);
    const int fd = fileno(file);
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    const auto input = readRequest(fd);
    ASSERT_TRUE(input.has_value());
    const std::size_t expected = std::min<std::size_t>(size, kMaxRequestBytes + 1);
    EXPECT_EQ(input->size(), expected);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(expected));
    std::fclose(file);
  }
}

TEST(ReadRequest, ReadFailureIsNothing) { EXPECT_FALSE(readRequest(-1).has_value()); }

TEST(WriteResponse, WritesEverythingOrFails) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  EXPECT_TRUE(writeResponse(fds[1], "{\"value\":null}"));
  char buffer[32] = {};
  EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 14);
  EXPECT_STREQ(buffer, "{\"value\":null}");
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_FALSE(writeResponse(-1, "x"));
}

TEST(Utf16Length, CountsUnits) {
  EXPECT_EQ(utf16Length(""), 0u);
  EXPECT_EQ(utf16Length("abc"), 3u);
  EXPECT_EQ(utf16Length("\xC3\xA9\xE2\x82\xAC"), 2u);
  EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80x"), 3u);
}

}  // namespace
}  // namespace trelvo::keychain
