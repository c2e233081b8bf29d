// The item operations' calls on the store, through the recording in-memory store.

#include "item_operations.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_item_store.h"

namespace trelvo::keychain {
namespace {

using Calls = std::vector<std::string>;

TEST(SetItem, MissingItemIsUpdatedThenAddedUnderTheLock) {
  MemoryItemStore store;
  EXPECT_EQ(setItem(store, "com.trelvo.pro", "acct", "v"), kSuccess);
  EXPECT_EQ(store.calls(), (Calls{"lockWrites", "itemUpdate", "itemAdd", "unlockWrites"}));
  const auto& item = store.items().at({"com.trelvo.pro", "acct"});
  EXPECT_EQ(item.data, "v");
  EXPECT_EQ(item.accessible, Accessibility::kAfterFirstUnlockThisDeviceOnly);
}

TEST(SetItem, ExistingItemIsOnlyUpdatedAndKeepsItsAttributes) {
  MemoryItemStore store;
  store.items()[{"com.trelvo.pro", "acct"}] = {"old", std::nullopt};
  EXPECT_EQ(setItem(store, "com.trelvo.pro", "acct", "new"), kSuccess);
  EXPECT_EQ(store.calls(), (Calls{"lockWrites", "itemUpdate", "unlockWrites"}));
  const auto& item = store.items().at({"com.trelvo.pro", "acct"});
  EXPECT_EQ(item.data, "new");
  EXPECT_FALSE(item.accessible.has_value());
}

TEST(SetItem, FailuresPassThroughAndReleaseTheLock) {
  struct Case {
    const char* name;
    int failingCall;
    Status status;
    Calls calls;
  };
  const Case cases[] = {
      {"lock", 1, kIOFailure, {"lockWrites"}},
      {"update", 2, kInteractionNotAllowed, {"lockWrites", "itemUpdate", "unlockWrites"}},
      {"updateOtherFailure", 2, -1, {"lockWrites", "itemUpdate", "unlockWrites"}},
      {"add", 3, kDuplicateItem, {"lockWrites", "itemUpdate", "itemAdd", "unlockWrites"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryItemStore store;
    store.failCall(c.failingCall, c.status);
    EXPECT_EQ(setItem(store, "com.trelvo.pro", "acct", "v"), c.status);
    EXPECT_EQ(store.calls(), c.calls);
    EXPECT_FALSE(store.writeLocked());
    EXPECT_TRUE(store.items().empty());
  }
}

TEST(GetItem, DecodesStrictly) {
  struct Case {
    const char* name;
    std::optional<std::string> stored;
    Status status;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"missing", std::nullopt, kItemNotFound, std::nullopt},
      {"empty", "", kSuccess, ""},
      {"nonAscii", "\xC3\xA9", kSuccess, "\xC3\xA9"},
      {"embeddedNul", std::string("a\0b", 3), kSuccess, std::string("a\0b", 3)},
      {"invalid", "\xFF", kSuccess, std::nullopt},
      {"truncated", "ab\xE2\x82", kSuccess, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryItemStore store;
    if (c.stored) store.items()[{"s", "a"}] = {*c.stored, std::nullopt};
    const GetResult got = getItem(store, "s", "a");
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.value, c.value);
    EXPECT_EQ(store.calls(), Calls{"itemCopyMatching"});
  }
}

TEST(GetItem, FailureHasNoValue) {
  MemoryItemStore store;
  store.items()[{"s", "a"}] = {"v", std::nullopt};
  store.failCall(1, kInteractionNotAllowed);
  const GetResult got = getItem(store, "s", "a");
  EXPECT_EQ(got.status, kInteractionNotAllowed);
  EXPECT_FALSE(got.value.has_value());
}

TEST(DeleteItem, RemovesOnlyTheNamedItemUnderTheLock) {
  MemoryItemStore store;
  store.items()[{"com.trelvo.pro", "a"}] = {"1", std::nullopt};
  store.items()[{"com.trelvo.pro.preview", "a"}] = {"2", std::nullopt};
  EXPECT_EQ(deleteItem(store, "com.trelvo.pro", "a"), kSuccess);
  EXPECT_EQ(deleteItem(store, "com.trelvo.pro", "a"), kItemNotFound);
  // A set between a concurrent run's update and add must not see its item removed half way.
  EXPECT_EQ(store.calls(), (Calls{"lockWrites", "itemDelete", "unlockWrites", "lockWrites",
                                  "itemDelete", "unlockWrites"}));
  EXPECT_EQ(store.items().size(), 1u);
  EXPECT_EQ(store.items().count({"com.trelvo.pro.preview", "a"}), 1u);
}

TEST(DeleteItem, FailuresPassThroughAndReleaseTheLock) {
  struct Case {
    const char* name;
    int failingCall;
    Status status;
    Calls calls;
  };
  const Case cases[] = {
      {"lock", 1, kIOFailure, {"lockWrites"}},
      {"delete", 2, kInteractionNotAllowed, {"lockWrites", "itemDelete", "unlockWrites"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryItemStore store;
    store.items()[{"com.trelvo.pro", "a"}] = {"1", std::nullopt};
    store.failCall(c.failingCall, c.status);
    EXPECT_EQ(deleteItem(store, "com.trelvo.pro", "a"), c.status);
    EXPECT_EQ(store.calls(), c.calls);
    EXPECT_FALSE(store.writeLocked());
    EXPECT_EQ(store.items().size(), 1u);
  }
}

}  // namespace
}  // namespace trelvo::keychain
