// The installer's logic against the fake platform: every limit is checked at its boundary on a
// fake clock, so nothing here sleeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "child.h"
#include "fake_platform.h"
#include "json.h"
#include "paths.h"
#include "request.h"
#include "rollback.h"
#include "transaction.h"

namespace trelvo::installer {
namespace {

using testing::ChildScript;
using testing::FakePlatform;
using testing::kNever;
using testing::seconds;

// ---------------------------------------------------------------- paths

struct PathCase {
  std::string path;
  bool absolute;
  std::string last;
  std::string parent;
  std::string extension;
};

TEST(Paths, OperateOnStringsOnly) {
  const std::vector<PathCase> cases = {
      {"/Applications/Trelvo Pro.app", true, "Trelvo Pro.app", "/Applications", "app"},
      {"/Applications/Trelvo Pro.app/", true, "Trelvo Pro.app", "/Applications", "app"},
      {"~/Apps/x.APP", true, "x.APP", "~/Apps", "APP"},
      {"/top", true, "top", "/", ""},
      {"/", true, "/", "/", ""},
      {"relative/a.b.c", false, "a.b.c", "relative", "c"},
      {"plain", false, "plain", "", ""},
      {"", false, "", "", ""},
      {"/a/../b/.trelvo-beta-app-1", true, ".trelvo-beta-app-1", "/a/../b", "trelvo-beta-app-1"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isAbsolutePath(c.path), c.absolute);
    EXPECT_EQ(lastPathComponent(c.path), c.last);
    EXPECT_EQ(deletingLastPathComponent(c.path), c.parent);
    EXPECT_EQ(pathExtension(c.path), c.extension);
  }
}

TEST(Paths, JoinPutsExactlyOneSlash) {
  EXPECT_EQ(appendingPathComponent("/data", "run/native-update.json"),
            "/data/run/native-update.json");
  EXPECT_EQ(appendingPathComponent("/data/", "/ready"), "/data/ready");
  EXPECT_EQ(appendingPathComponent("/", "x"), "/x");
}

TEST(Paths, TidiedAndOverlapping) {
  const std::vector<std::pair<std::string, std::string>> tidied = {
      {"/a//b/./c/", "/a/b/c"}, {"/", "/"},   {"//", "/"}, {"~/x/", "~/x"},
      {"/a/../b", "/a/../b"},   {"./a", "a"},
  };
  for (const auto& [path, tidy] : tidied) {
    SCOPED_TRACE(path);
    EXPECT_EQ(tidiedPath(path), tidy);
  }
  const std::vector<std::tuple<std::string, std::string, bool>> overlaps = {
      {"/a/b", "/a/b", true},  {"/a/b/c", "/a/b", true}, {"/a", "/a/b", true},
      {"/", "/a", true},       {"/a/b-", "/a/b", false}, {"/a/b", "/a/bc", false},
      {"/a/x", "/a/y", false},
  };
  for (const auto& [first, second, overlap] : overlaps) {
    SCOPED_TRACE(first + " " + second);
    EXPECT_EQ(pathsOverlap(first, second), overlap);
  }
}

TEST(Paths, Utf8Validity) {
  EXPECT_TRUE(isValidUtf8("/Users/李/Trelvo Pro.app"));
  EXPECT_FALSE(isValidUtf8("/bad\xff"));
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));      // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));  // a surrogate
  EXPECT_FALSE(isValidUtf8("\xe6\x9c"));      // cut short
}

// ---------------------------------------------------------------- process id and JSON

TEST(ProcessId, ReadAsStrtolThenNarrowed) {
  const std::vector<std::pair<std::string, pid_t>> cases = {
      {"1234", 1234},
      {"  +77", 77},
      {"-5", -5},
      {"abc", 0},
      {"12ab", 12},
      {"", 0},
      {"4294967298", 2},                // low 32 bits
      {"99999999999999999999999", -1},  // clamped by strtol, then narrowed
  };
  for (const auto& [text, pid] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parseProcessId(text), pid);
  }
}

TEST(Json, OnlyAnObjectIsADocument) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {R"({"pid": 12})", true},
      {" {}\n", true},
      {"[1]", false},
      {"12", false},
      {"\"x\"", false},
      {"", false},
      {"{", false},
      {R"({"a":1,})", false},
      {R"({"a":01})", false},
      {R"({"a":"\x"})", false},
      {"{\"a\":\"\x01\"}", false},
      {R"({"a":1} x)", false},
      {"{\"a\":\"\xff\"}", false},
      {R"({"a":[1,{"b":null}],"c":true})", true},
      {R"({"a":1e999})", false},
      {R"({"a":"\ud800"})", false},
  };
  for (const auto& [text, ok] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parseJsonObject(text).has_value(), ok);
  }
}

TEST(Json, MembersKeepTypeAndDecodedText) {
  const auto doc =
      parseJsonObject(R"({"state":"\u0073topped","pid":1234.0,"x":"\ud83d\ude00","pid2":"7"})");
  ASSERT_TRUE(doc);
  EXPECT_EQ(member(doc, "state")->text, "stopped");
  EXPECT_EQ(member(doc, "pid")->type, JsonValue::Type::Number);
  EXPECT_EQ(member(doc, "pid")->number, 1234.0);
  EXPECT_EQ(member(doc, "x")->text, "\xF0\x9F\x98\x80");
  EXPECT_EQ(member(doc, "pid2")->type, JsonValue::Type::String);
  EXPECT_EQ(member(doc, "missing"), nullptr);
  EXPECT_EQ(member(std::nullopt, "state"), nullptr);
}

TEST(Json, DeepNestingIsRefusedNotACrash) {
  std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(parseJsonObject(deep));
  std::string fine = "{\"a\":" + std::string(200, '[') + std::string(200, ']') + "}";
  EXPECT_TRUE(parseJsonObject(fine));
}

// The answers the handoff and status readers give where JSON readers commonly differ.
TEST(Json, EdgeCases) {
  const auto nested = [](int levels) {
    const auto n = static_cast<std::size_t>(levels);
    return "{\"a\":" + std::string(n, '[') + std::string(n, ']') + "}";
  };
  const std::vector<std::tuple<const char*, std::string, bool>> cases = {
      {"byte order mark", "\xEF\xBB\xBF{\"pid\":1}", false},
      {"byte order mark cut short", "\xEF\xBB{\"pid\":1}", false},
      {"too large", R"({"pid":1e400})", false},
      {"too large, negative", R"({"pid":-1e400})", false},
      {"too small to tell from zero", R"({"pid":1e-400})", false},
      {"subnormal", R"({"pid":4e-320})", true},
      {"zero with a large exponent", R"({"pid":0e-400})", true},
      {"huge integer", R"({"pid":99999999999999999999999})", true},
      {"lone high surrogate", R"({"a":"\ud83d"})", false},
      {"lone low surrogate", R"({"a":"\ude00x"})", false},
      {"high surrogate, then not a low one", R"({"a":"\ud83d\u0041"})", false},
      {"invalid UTF-8 in a string", "{\"a\":\"\xC0\xAF\"}", false},
      {"encoded surrogate", "{\"a\":\"\xED\xA0\x80\"}", false},
      {"invalid UTF-8 in a name", "{\"\xFF\":1}", false},
      {"invalid UTF-8 after the object", "{}\xFF", false},
      {"duplicate member", R"({"pid":1,"pid":2})", true},
      {"depth at the limit", nested(kJsonDepthLimit), true},
      {"depth over the limit", nested(kJsonDepthLimit + 1), false},
      {"100000 levels", nested(100000), false},
      {"100000 unclosed levels", "{\"a\":" + std::string(100000, '{'), false},
      {"top-level array", R"([{"pid":1}])", false},
      {"trailing garbage", R"({"pid":1}])", false},
      {"trailing NUL", std::string("{\"pid\":1}\0", 10), false},
      {"NUL inside", std::string("{\"pid\":") + '\0' + " 1}", false},
      {"empty", "", false},
      {"only white space", " \n\t\r", false},
      {"comment", "{} /* */", false},
      {"trailing comma", R"({"a":[1,]})", false},
  };
  for (const auto& [name, text, ok] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(parseJsonObject(text).has_value(), ok);
  }
}

TEST(Json, RepeatedMemberKeepsTheLastAndEqualNumbersAreEqual) {
  const auto doc = parseJsonObject(R"({"pid":"1","pid":4711,"a":4711.0,"b":4.711e3,"c":47110e-1})");
  ASSERT_TRUE(doc);
  ASSERT_EQ(member(doc, "pid")->type, JsonValue::Type::Number);
  for (const char* name : {"pid", "a", "b", "c"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(member(doc, name)->number, 4711.0);
  }
  const auto nested =
      parseJsonObject(R"({"state":{"state":"stopped"},"list":[],"t":true,"n":null})");
  ASSERT_TRUE(nested);
  EXPECT_EQ(member(nested, "state")->type, JsonValue::Type::Object);
  EXPECT_EQ(member(nested, "state")->text, "");  // nested values are not kept
  EXPECT_EQ(member(nested, "list")->type, JsonValue::Type::Array);
  EXPECT_EQ(member(nested, "t")->type, JsonValue::Type::Boolean);
  EXPECT_TRUE(member(nested, "t")->boolean);
  EXPECT_EQ(member(nested, "n")->type, JsonValue::Type::Null);
}

// ---------------------------------------------------------------- the transaction

constexpr char kBundle[] = "/Users/u/Apps/Trelvo Pro.app";
constexpr char kStaging[] = "/Users/u/Apps/.trelvo-beta-app-1";
constexpr char kStaged[] = "/Users/u/Apps/.trelvo-beta-app-1/Trelvo Pro.app";
constexpr char kBundleNamedLikeStaging[] = "/Users/u/Apps/.trelvo-beta-app-x.app";
constexpr char kData[] = "/Users/u/Data";
constexpr char kHandoff[] = "/Users/u/Data/run/native-update.json";
constexpr char kMarker[] = "/Users/u/Apps/.trelvo-beta-app-1/ready";
constexpr char kStatusFile[] = "/Users/u/Apps/.trelvo-beta-app-1/service-status.json";
constexpr pid_t kAppPid = 777;

class Transaction : public ::testing::Test {
 public:
  void SetUp() override {
    fake.files[std::string(kBundle) + "/Contents/MacOS/Trelvo Pro"] = "previous";
    fake.files[std::string(kBundle) + "/Contents/Helpers/TrelvoService"] = "previous";
    fake.files[std::string(kStaged) + "/Contents/MacOS/Trelvo Pro"] = "new";
    fake.files[std::string(kStaged) + "/Contents/Helpers/TrelvoService"] = "new";
    fake.files[kHandoff] = R"({"pid": 4242})";
    fake.entries[kStaging] = EntryInfo{true, 501, 0700};
    fake.processGoneAt[kAppPid] = fake.now;
    newVersion.createsMarkerAfter = seconds(0.5);
    status.runsFor = seconds(0.3);
    status.writesAfter = seconds(0.1);
    status.output = R"({"state":"stopped"})";
    forceStop.runsFor = seconds(0.5);
    fake.scriptFor = [this](const FakePlatform::Spawned& s) {
      const std::string& first = s.arguments.at(0);
      if (first.starts_with(kReadyFlagPrefix)) return newVersion;
      if (first == kRollbackFlag) return previous;
      if (first == "force-stop") return forceStop;
      if (first == "status") return status;
      return ChildScript{};
    };
  }

  ExitStatus run(std::vector<std::string> arguments = {}) {
    if (arguments.empty()) arguments = {std::to_string(kAppPid), kBundle, kStaging, kData};
    return runInstaller(fake, arguments);
  }

  std::string versionAt(const std::string& bundle) {
    const auto found = fake.files.find(bundle + "/Contents/MacOS/Trelvo Pro");
    return found == fake.files.end() ? "none" : found->second;
  }

  std::vector<std::string> launchesWith(const std::string& argument) {
    std::vector<std::string> executables;
    for (const auto& s : fake.spawned) {
      if (s.arguments.size() == 1 && s.arguments[0] == argument)
        executables.push_back(s.executable);
    }
    return executables;
  }

  int spawnsWith(const std::string& first) {
    return static_cast<int>(
        std::count_if(fake.spawned.begin(), fake.spawned.end(),
                      [&](const auto& s) { return s.arguments.at(0) == first; }));
  }

  double elapsed() { return static_cast<double>(fake.now - seconds(1000)) / 1e6; }

  FakePlatform fake;
  ChildScript newVersion, previous, forceStop, status;
};

// ---- request checks

struct RequestCase {
  const char* name;
  std::vector<std::string> arguments;
  std::function<void(FakePlatform&)> tweak;
  bool accepted;
  // The one path handed to lstat; empty: the request is refused before anything is looked at.
  std::string lstatOf;
};

TEST_F(Transaction, RequestChecks) {
  const std::string pid = std::to_string(kAppPid);
  const auto none = [](FakePlatform&) {};
  const std::vector<RequestCase> cases = {
      {"valid", {pid, kBundle, kStaging, kData}, none, true, kStaging},
      {"three arguments", {pid, kBundle, kStaging}, none, false, ""},
      {"five arguments", {pid, kBundle, kStaging, kData, "x"}, none, false, ""},
      {"pid 1", {"1", kBundle, kStaging, kData}, none, false, ""},
      {"pid 0", {"0", kBundle, kStaging, kData}, none, false, ""},
      {"pid -5", {"-5", kBundle, kStaging, kData}, none, false, ""},
      {"pid letters", {"abc", kBundle, kStaging, kData}, none, false, ""},
      {"pid digits then letters", {"777xyz", kBundle, kStaging, kData}, none, true, kStaging},
      {"relative bundle", {pid, "Apps/Trelvo Pro.app", kStaging, kData}, none, false, ""},
      {"relative data", {pid, kBundle, kStaging, "Data"}, none, false, ""},
      {"tilde data taken literally", {pid, kBundle, kStaging, "~/Data"}, none, true, kStaging},
      {"root", {pid, kBundle, kStaging, kData}, [](FakePlatform& f) { f.euid = 0; }, false, ""},
      {"APP upper case", {pid, "/Users/u/Apps/Trelvo Pro.APP", kStaging, kData}, none, false, ""},
      {"no extension", {pid, "/Users/u/Apps/Trelvo Pro", kStaging, kData}, none, false, ""},
      {"staging prefix", {pid, kBundle, "/Users/u/Apps/.trelvo-beta-ap", kData}, none, false, ""},
      {"staging prefix case",
       {pid, kBundle, "/Users/u/Apps/.Trelvo-beta-app-1", kData},
       none,
       false,
       ""},
      {"staging elsewhere", {pid, kBundle, "/Users/u/.trelvo-beta-app-1", kData}, none, false, ""},
      {"staging parent via ..",
       {pid, kBundle, "/Users/u/Apps/../Apps/.trelvo-beta-app-1", kData},
       [](FakePlatform& f) {
         f.entries["/Users/u/Apps/../Apps/.trelvo-beta-app-1"] = {true, 501, 0700};
       },
       false,
       ""},
      {"staging missing",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.entries.clear(); },
       false,
       kStaging},
      {"staging is a link",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.entries[kStaging].isDirectory = false; },
       false,
       kStaging},
      {"staging owned by another",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.entries[kStaging].owner = 502; },
       false,
       kStaging},
      {"staging group readable",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.entries[kStaging].permissions = 0750; },
       false,
       kStaging},
      {"staging others writable",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.entries[kStaging].permissions = 0702; },
       false,
       kStaging},
      {"staging owner only with setgid",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.entries[kStaging].permissions = 02700; },
       true,
       kStaging},
      {"bundle not UTF-8", {pid, "/Users/u/Apps/\xff.app", kStaging, kData}, none, false, ""},
      {"staging not UTF-8",
       {pid, kBundle, "/Users/u/Apps/.trelvo-beta-app-\xff", kData},
       none,
       false,
       ""},
      {"staging with a trailing slash",
       {pid, kBundle, std::string(kStaging) + "/", kData},
       none,
       true,
       kStaging},
      // lstat of "link/" would follow the link, so the slash is dropped before looking.
      {"staging is a link, trailing slash",
       {pid, kBundle, std::string(kStaging) + "/", kData},
       [](FakePlatform& f) {
         f.entries[kStaging].isDirectory = false;
         f.entries[std::string(kStaging) + "/"] = {true, 501, 0700};
       },
       false,
       kStaging},
      // The staging directory is deleted at the end: it may not be the bundle, hold it or lie in
      // it, by spelling or through links.
      {"staging is the bundle",
       {pid, kBundleNamedLikeStaging, kBundleNamedLikeStaging, kData},
       [](FakePlatform& f) {
         f.entries[kBundleNamedLikeStaging] = {true, 501, 0700};
       },
       false,
       ""},
      {"staging is the bundle, trailing slash",
       {pid, kBundleNamedLikeStaging, std::string(kBundleNamedLikeStaging) + "/", kData},
       [](FakePlatform& f) {
         f.entries[kBundleNamedLikeStaging] = {true, 501, 0700};
       },
       false,
       ""},
      {"bundle links to staging",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kBundle] = kStaging; },
       false,
       kStaging},
      {"bundle links into staging",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kBundle] = kStaged; },
       false,
       kStaging},
      {"bundle links to a folder holding staging",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kBundle] = "/Users/u"; },
       false,
       kStaging},
      {"bundle links to the root",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kBundle] = "/"; },
       false,
       kStaging},
      {"staging cannot be resolved",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kStaging] = std::nullopt; },
       false,
       kStaging},
      {"bundle links beside staging",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kBundle] = std::string(kStaging) + "0/Trelvo Pro.app"; },
       true,
       kStaging},
      {"bundle links elsewhere",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kBundle] = "/opt/Trelvo Pro.app"; },
       true,
       kStaging},
      {"bundle missing",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) { f.realPaths[kBundle] = std::nullopt; },
       true,
       kStaging},
      {"bundle is staging mounted there",
       {pid, kBundle, kStaging, kData},
       [](FakePlatform& f) {
         f.sameFiles.insert({kStaging, kBundle});
       },
       false,
       kStaging},
      {"staging with a trailing slash is the bundle mounted there",
       {pid, kBundle, std::string(kStaging) + "/", kData},
       [](FakePlatform& f) {
         f.sameFiles.insert({kStaging, kBundle});
       },
       false,
       kStaging},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform f;
    f.entries[kStaging] = EntryInfo{true, 501, 0700};
    c.tweak(f);
    EXPECT_EQ(checkRequest(f, c.arguments).has_value(), c.accepted);
    // Checking reads nothing else: no probe, no file read, no launch, no change.
    std::vector<std::string> expected;
    if (!c.lstatOf.empty()) expected.push_back("lstat " + c.lstatOf);
    EXPECT_EQ(f.calls, expected);
  }
}

TEST_F(Transaction, RefusalTouchesNothing) {
  fake.euid = 0;
  const auto before = fake.files;
  EXPECT_EQ(run(), ExitStatus::kRefused);
  EXPECT_EQ(fake.files, before);
  EXPECT_TRUE(fake.calls.empty());  // not even the staging directory is looked at
}

// ---- quit wait

TEST_F(Transaction, AppAlreadyGoneCostsNoPause) {
  EXPECT_EQ(run(), ExitStatus::kDone);
  ASSERT_GE(fake.calls.size(), 3u);
  EXPECT_EQ(fake.calls[1], "probe 777");
  EXPECT_EQ(fake.calls[2], std::string("read ") + kHandoff);
  EXPECT_EQ(launchesWith(std::string(kReadyFlagPrefix) + kMarker).size(), 1u);
}

TEST_F(Transaction, QuitWaitBoundaries) {
  // The probe after the pause that reaches 45 s still counts; the limit is tested before pausing.
  const std::vector<std::pair<double, ExitStatus>> cases = {
      {0.05, ExitStatus::kDone},         {44.95, ExitStatus::kDone},
      {45.0, ExitStatus::kDone},         {45.000001, ExitStatus::kNotHandedOver},
      {1e9, ExitStatus::kNotHandedOver},
  };
  for (const auto& [goneAfter, expected] : cases) {
    SCOPED_TRACE(goneAfter);
    fake = FakePlatform();
    SetUp();
    fake.processGoneAt[kAppPid] = fake.now + seconds(goneAfter);
    EXPECT_EQ(run(), expected);
    if (expected == ExitStatus::kNotHandedOver) {
      EXPECT_DOUBLE_EQ(elapsed(), 45.0);
      EXPECT_EQ(fake.pauses, 450);
      EXPECT_EQ(fake.files.count(kHandoff), 1u);
      EXPECT_EQ(versionAt(kBundle), "previous");
      EXPECT_TRUE(fake.spawned.empty());
    }
  }
}

// ---- handoff check

TEST_F(Transaction, HandoffMustNameThisInstaller) {
  const std::vector<std::pair<std::optional<std::string>, ExitStatus>> cases = {
      {R"({"pid": 4242})", ExitStatus::kDone},
      {R"({"pid": 4242.0, "other": [1]})", ExitStatus::kDone},
      {R"({"pid": "4242"})", ExitStatus::kNotHandedOver},
      {R"({"pid": 4243})", ExitStatus::kNotHandedOver},
      {R"({"other": 4242})", ExitStatus::kNotHandedOver},
      {R"([{"pid": 4242}])", ExitStatus::kNotHandedOver},
      {"", ExitStatus::kNotHandedOver},
      {"4242", ExitStatus::kNotHandedOver},
      {std::nullopt, ExitStatus::kNotHandedOver},
  };
  for (const auto& [content, expected] : cases) {
    SCOPED_TRACE(content.value_or("(missing)"));
    fake = FakePlatform();
    SetUp();
    if (content) {
      fake.files[kHandoff] = *content;
    } else {
      fake.files.erase(kHandoff);
    }
    EXPECT_EQ(run(), expected);
    if (expected == ExitStatus::kNotHandedOver) {
      EXPECT_EQ(fake.files.count(kHandoff), content ? 1u : 0u);
      EXPECT_EQ(versionAt(kBundle), "previous");
      EXPECT_EQ(versionAt(kStaged), "new");
    } else {
      EXPECT_EQ(fake.files.count(kHandoff), 0u);
    }
  }
}

TEST_F(Transaction, HandoffReadFailureIsStatus3) {
  fake.failCall = 2;  // lstat is the first failable call, the handoff read the second
  EXPECT_EQ(run(), ExitStatus::kNotHandedOver);
  EXPECT_EQ(fake.files.count(kHandoff), 1u);
}

// ---- swap and fallback

TEST_F(Transaction, FailedSwapRelaunchesPreviousAndDeletesStaging) {
  fake.files.erase(std::string(kStaged) + "/Contents/MacOS/Trelvo Pro");
  fake.files.erase(std::string(kStaged) + "/Contents/Helpers/TrelvoService");
  fake.files[std::string(kStaging) + "/other"] = "x";
  EXPECT_EQ(run(), ExitStatus::kSwapFailed);
  EXPECT_EQ(fake.files.count(kHandoff), 0u);
  EXPECT_EQ(launchesWith(kRollbackFlag),
            std::vector<std::string>{std::string(kBundle) + "/Contents/MacOS/Trelvo Pro"});
  EXPECT_FALSE(fake.exists(kStaging));
  EXPECT_EQ(versionAt(kBundle), "previous");
}

TEST_F(Transaction, FailedSwapKeepsStagingOnlyWhenFallbackFails) {
  fake.failCall = 3;  // lstat, handoff read, exchange: refused although both bundles exist
  EXPECT_EQ(run(), ExitStatus::kSwapFailed);
  EXPECT_EQ(fake.files.count(kHandoff), 0u);
  EXPECT_EQ(versionAt(kBundle), "previous");
  EXPECT_FALSE(fake.exists(kStaging));
  fake = FakePlatform();
  SetUp();
  fake.failCall = 4;  // ...and the fallback launch too
  fake.files.erase(std::string(kStaged) + "/Contents/MacOS/Trelvo Pro");
  fake.files.erase(std::string(kStaged) + "/Contents/Helpers/TrelvoService");
  fake.files[std::string(kStaging) + "/keep"] = "x";
  EXPECT_EQ(run(), ExitStatus::kSwapFailed);
  EXPECT_TRUE(fake.exists(kStaging));
  EXPECT_EQ(fake.files.count(kHandoff), 0u);
}

TEST_F(Transaction, HandoffDeletedBeforeAnyLaunch) {
  EXPECT_EQ(run(), ExitStatus::kDone);
  const auto removal =
      std::find(fake.calls.begin(), fake.calls.end(), std::string("remove ") + kHandoff);
  const auto launch = std::find_if(fake.calls.begin(), fake.calls.end(),
                                   [](const std::string& c) { return c.starts_with("spawn "); });
  ASSERT_NE(removal, fake.calls.end());
  EXPECT_LT(removal, launch);
}

// ---- ready wait and commit

TEST_F(Transaction, CommitDeletesStagingAndLeavesNewVersionRunning) {
  EXPECT_EQ(run(), ExitStatus::kDone);
  EXPECT_EQ(versionAt(kBundle), "new");
  EXPECT_FALSE(fake.exists(kStaging));
  EXPECT_TRUE(fake.signals.empty());
  EXPECT_DOUBLE_EQ(elapsed(), 0.6);  // marker at 0.5 s, seen at the look after 0.6 s
}

TEST_F(Transaction, ReadyWaitBoundaries) {
  struct Case {
    const char* name;
    std::int64_t markerAfter;
    std::int64_t runsFor;
    ExitStatus expected;
    double rollbackStartsAt;  // when the new version is told to terminate, or -1
  };
  const std::vector<Case> cases = {
      {"marker at the last look", seconds(124.8), kNever, ExitStatus::kDone, -1},
      {"marker just after the last look", seconds(124.8) + 1, kNever, ExitStatus::kDone, 125.0},
      {"never ready", kNever, kNever, ExitStatus::kDone, 125.0},
      {"ends early without marker", kNever, seconds(1.3), ExitStatus::kDone, -1},
      {"marker and end within one pause", seconds(0.25), seconds(0.3), ExitStatus::kDone, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakePlatform();
    SetUp();
    newVersion = ChildScript{};
    newVersion.runsFor = c.runsFor;
    if (c.markerAfter != kNever) newVersion.createsMarkerAfter = c.markerAfter;
    newVersion.termDelay = seconds(0.05);
    EXPECT_EQ(run(), c.expected);
    const bool committed = spawnsWith("force-stop") == 0;
    EXPECT_EQ(committed, std::string(c.name) == "marker at the last look");
    if (committed) {
      EXPECT_EQ(versionAt(kBundle), "new");
      EXPECT_DOUBLE_EQ(elapsed(), 124.8);
    } else {
      EXPECT_EQ(versionAt(kBundle), "previous");
      EXPECT_EQ(launchesWith(kRollbackFlag).size(), 1u);
    }
    if (c.rollbackStartsAt >= 0) {
      ASSERT_FALSE(fake.signals.empty());
      EXPECT_EQ(fake.signals[0].second,
                "TERM@" + std::to_string(seconds(1000) + seconds(c.rollbackStartsAt)));
    }
  }
}

TEST_F(Transaction, EndedNewVersionIsRolledBackAtTheNextLook) {
  newVersion = ChildScript{};
  newVersion.runsFor = seconds(1.3);
  EXPECT_EQ(run(), ExitStatus::kDone);
  ASSERT_GE(fake.spawned.size(), 2u);
  EXPECT_EQ(fake.spawned[1].arguments[0], "force-stop");
  EXPECT_EQ(fake.spawned[1].launchedAt, seconds(1000) + seconds(1.4));
  EXPECT_TRUE(fake.signals.empty());  // nothing left to stop
}

TEST_F(Transaction, MarkerPresentAtLaunchCountsAtFirstLook) {
  fake.files[kMarker] = "";
  newVersion = ChildScript{};
  EXPECT_EQ(run(), ExitStatus::kDone);
  EXPECT_EQ(fake.pauses, 0);
  EXPECT_EQ(versionAt(kBundle), "new");
  // ...but not when the child is not running at all.
  fake = FakePlatform();
  SetUp();
  fake.files[kMarker] = "";
  newVersion = ChildScript{};
  newVersion.runsFor = 0;
  EXPECT_EQ(run(), ExitStatus::kDone);
  EXPECT_EQ(versionAt(kBundle), "previous");
}

TEST_F(Transaction, NewVersionThatCannotLaunchIsRolledBack) {
  fake.failCall = 4;  // lstat, handoff read, exchange, launch
  EXPECT_EQ(run(), ExitStatus::kDone);
  EXPECT_EQ(versionAt(kBundle), "previous");
  EXPECT_EQ(launchesWith(kRollbackFlag).size(), 1u);
  EXPECT_FALSE(fake.exists(kStaging));
}

// ---- child control

class ChildControl : public ::testing::Test {
 protected:
  void SetUp() override { fake.files["/bin/child"] = "x"; }
  ChildHandle startWith(ChildScript script) {
    fake.scriptFor = [script](const FakePlatform::Spawned&) { return script; };
    return start(fake, "/bin/child", {"a b"});
  }
  double elapsed() { return static_cast<double>(fake.now - seconds(1000)) / 1e6; }
  FakePlatform fake;
};

TEST_F(ChildControl, StartFailsForMissingExecutable) {
  EXPECT_FALSE(start(fake, "/bin/missing", {}));
  EXPECT_TRUE(start(fake, "/bin/child", {"a b"}));
  EXPECT_EQ(fake.spawned.at(0).arguments, std::vector<std::string>{"a b"});
}

TEST_F(ChildControl, WaitTaskOnNothingOrEndedChild) {
  ChildHandle nothing;
  EXPECT_FALSE(waitTask(fake, nothing, 40));
  ChildScript ended;
  ended.runsFor = 0;
  ChildHandle child = startWith(ended);
  EXPECT_TRUE(waitTask(fake, child, 40));
  EXPECT_EQ(fake.pauses, 0);
}

TEST_F(ChildControl, WaitTaskLimits) {
  const std::vector<std::tuple<double, double, bool, double>> cases = {
      // runs for, limit, ended, elapsed
      {1.25, 40, true, 1.3},  {40.0, 40, true, 40.0},  {40.05, 40, false, 40.0},
      {12.0, 12, true, 12.0}, {13.0, 12, false, 12.0}, {1e6, 5, false, 5.0},
  };
  for (const auto& [runsFor, limit, ended, took] : cases) {
    SCOPED_TRACE(std::to_string(runsFor) + " / " + std::to_string(limit));
    fake = FakePlatform();
    SetUp();
    ChildScript script;
    script.runsFor = seconds(runsFor);
    ChildHandle child = startWith(script);
    EXPECT_EQ(waitTask(fake, child, limit), ended);
    EXPECT_DOUBLE_EQ(elapsed(), took);
  }
}

TEST_F(ChildControl, StopProcess) {
  struct Case {
    const char* name;
    ChildScript script;
    bool stillRunning;
    double elapsed;
    std::vector<std::string> signals;
  };
  ChildScript polite;
  polite.termDelay = seconds(0.25);
  ChildScript stubborn;
  stubborn.ignoresTerm = true;
  ChildScript immortal;
  immortal.ignoresTerm = true;
  immortal.survivesKill = true;
  const std::vector<Case> cases = {
      {"ends on TERM", polite, false, 0.3, {"TERM@1000000000"}},
      {"killed after the grace period",
       stubborn,
       false,
       5.0,
       {"TERM@1000000000", "KILL@1005000000"}},
      {"outlives both", immortal, true, 10.0, {"TERM@1000000000", "KILL@1005000000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakePlatform();
    SetUp();
    ChildHandle child = startWith(c.script);
    stopProcess(fake, child);
    EXPECT_EQ(isRunning(fake, child), c.stillRunning);
    EXPECT_DOUBLE_EQ(elapsed(), c.elapsed);
    std::vector<std::string> sent;
    for (const auto& s : fake.signals) sent.push_back(s.second);
    EXPECT_EQ(sent, c.signals);
  }
  ChildHandle nothing;
  const int pausesBefore = fake.pauses;
  const std::size_t signalsBefore = fake.signals.size();
  const std::int64_t before = fake.now;
  stopProcess(fake, nothing);  // accepted, nothing done
  EXPECT_EQ(fake.pauses, pausesBefore);
  EXPECT_EQ(fake.signals.size(), signalsBefore);
  EXPECT_EQ(fake.now, before);
}

TEST_F(ChildControl, LaunchAppRunsMainExecutableWithOneArgument) {
  fake.files["/A/Trelvo Pro.app/Contents/MacOS/Trelvo Pro"] = "x";
  EXPECT_TRUE(launchApp(fake, "/A/Trelvo Pro.app", "--trelvo-beta-rollback"));
  EXPECT_EQ(fake.calls.back(),
            "spawn /A/Trelvo Pro.app/Contents/MacOS/Trelvo Pro [--trelvo-beta-rollback]");
}

// ---- services and rollback

TEST_F(Transaction, StopServicesOutcomes) {
  struct Case {
    const char* name;
    std::function<void(Transaction&)> tweak;
    bool confirmed;
  };
  const std::vector<Case> cases = {
      {"stopped", [](Transaction&) {}, true},
      {"other state", [](Transaction& t) { t.status.output = R"({"state":"stopping"})"; }, false},
      {"upper case", [](Transaction& t) { t.status.output = R"({"state":"STOPPED"})"; }, false},
      {"launcher error object",
       [](Transaction& t) { t.status.output = R"({"ok":false,"error":"launch"})"; }, false},
      {"silent", [](Transaction& t) { t.status.writesAfter.reset(); }, false},
      {"needs 13 s", [](Transaction& t) { t.status.runsFor = seconds(13); }, false},
      {"ends at exactly 12 s", [](Transaction& t) { t.status.runsFor = seconds(12); }, true},
      {"force-stop output is discarded",
       [](Transaction& t) {
         t.forceStop.writesAfter = seconds(0.1);
         t.forceStop.output = R"({"state":"stopped"})";
         t.status.writesAfter.reset();
       },
       false},
      {"launcher missing",
       [](Transaction& t) {
         t.fake.files.erase(std::string(kStaged) + "/Contents/Helpers/TrelvoService");
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakePlatform();
    SetUp();
    c.tweak(*this);
    EXPECT_EQ(stopServices(fake, stagingLayout(kBundle, kStaging, kData)), c.confirmed);
    const bool launcherThere =
        fake.files.count(std::string(kStaged) + "/Contents/Helpers/TrelvoService") > 0;
    if (launcherThere) {
      ASSERT_EQ(fake.spawned.size(), 2u);
      EXPECT_EQ(fake.spawned[0].arguments,
                (std::vector<std::string>{"force-stop", "--data", kData}));
      EXPECT_EQ(fake.spawned[1].arguments, (std::vector<std::string>{"status", "--data", kData}));
      EXPECT_EQ(fake.spawned[1].outputPath, std::optional<std::string>(kStatusFile));
    }
  }
}

TEST_F(Transaction, HangingForceStopIsStoppedAfter40sAndStatusStillRuns) {
  forceStop.runsFor = kNever;
  forceStop.termDelay = seconds(0.1);
  EXPECT_TRUE(stopServices(fake, stagingLayout(kBundle, kStaging, kData)));
  ASSERT_EQ(fake.spawned.size(), 2u);
  EXPECT_EQ(fake.signals.at(0).second, "TERM@" + std::to_string(seconds(1040)));
  EXPECT_EQ(fake.spawned[1].launchedAt, seconds(1040.1));
}

struct RollbackCase {
  const char* name;
  std::function<void(Transaction&)> tweak;
  ExitStatus expected;
  std::string alertPath;  // empty: no alert
  std::string atBundle;
  std::string atStaged;
};

TEST_F(Transaction, RollbackEndings) {
  const std::vector<RollbackCase> cases = {
      {"rolled back", [](Transaction&) {}, ExitStatus::kDone, "", "previous", "none"},
      {"new version survives kill",
       [](Transaction& t) {
         t.newVersion.ignoresTerm = true;
         t.newVersion.survivesKill = true;
       },
       ExitStatus::kRecoveryFailed, kStaging, "new", "previous"},
      {"new version needs the kill", [](Transaction& t) { t.newVersion.ignoresTerm = true; },
       ExitStatus::kDone, "", "previous", "none"},
      {"services not confirmed", [](Transaction& t) { t.status.output = "{}"; },
       ExitStatus::kRecoveryFailed, kStaging, "new", "previous"},
      {"swap back fails",
       [](Transaction& t) { t.fake.failCall = 8; },  // lstat read xchg spawn*3 read xchg
       ExitStatus::kRecoveryFailed, kStaging, "new", "previous"},
      {"relaunch fails", [](Transaction& t) { t.fake.failCall = 9; }, ExitStatus::kRecoveryFailed,
       kBundle, "previous", "new"},
  };
  for (const RollbackCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakePlatform();
    SetUp();
    newVersion = ChildScript{};  // never ready
    newVersion.termDelay = seconds(0.1);
    c.tweak(*this);
    EXPECT_EQ(run(), c.expected);
    EXPECT_EQ(versionAt(kBundle), c.atBundle);
    EXPECT_EQ(versionAt(kStaged), c.atStaged);
    if (c.alertPath.empty()) {
      EXPECT_TRUE(fake.alerts.empty());
      EXPECT_FALSE(fake.exists(kStaging));
      EXPECT_EQ(launchesWith(kRollbackFlag).size(), 1u);
    } else {
      ASSERT_EQ(fake.alerts.size(), 1u);
      EXPECT_EQ(fake.alerts[0].first, "Trelvo Pro 未能自动恢复");
      EXPECT_EQ(fake.alerts[0].second,
                "上一版本已保存在以下位置，请退出 Trelvo Pro 后联系支持。\n" + c.alertPath);
      EXPECT_TRUE(fake.exists(kStaging));
    }
    if (std::string(c.name) == "new version survives kill") {
      EXPECT_EQ(spawnsWith("force-stop"), 0);  // services untouched
    }
    EXPECT_EQ(fake.files.count(kHandoff), 0u);
  }
}

TEST(Alert, InformativeTextIsSentenceLineBreakPath) {
  EXPECT_EQ(alertInformativeText("/p/Trelvo Pro.app"),
            "上一版本已保存在以下位置，请退出 Trelvo Pro 后联系支持。\n/p/Trelvo Pro.app");
}

// ---- every failable call, failed in turn

TEST_F(Transaction, FailingAnyCallNeverLosesAVersion) {
  for (int n = 1; n <= 12; ++n) {
    SCOPED_TRACE(n);
    fake = FakePlatform();
    SetUp();
    newVersion = ChildScript{};
    newVersion.runsFor = seconds(0.7);  // never ready, so every rollback step is reached
    fake.failCall = n;
    const ExitStatus result = run();
    const int code = static_cast<int>(result);
    EXPECT_TRUE(code == 0 || (code >= 2 && code <= 5)) << code;
    const std::string a = versionAt(kBundle);
    const std::string b = versionAt(kStaged);
    EXPECT_TRUE(a == "previous" || a == "new") << a;
    if (b == "none") {
      // Only a finished run deletes the other version: a commit, a rollback, or the fallback
      // launch after a failed swap (which leaves the previous version in place).
      EXPECT_TRUE(code == 0 || (code == 4 && a == "previous")) << code;
    } else {
      EXPECT_NE(a, b);
    }
  }
}

}  // namespace
}  // namespace trelvo::installer
