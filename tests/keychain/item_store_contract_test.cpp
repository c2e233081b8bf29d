// One behaviour suite for ItemStore, run against the in-memory store and against the real Secret
// Service (the private GNOME Keyring of scripts/test.sh).

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "item_operations.h"
#include "keyring_support.h"
#include "memory_item_store.h"
#include "platform.h"

namespace trelvo::keychain {
namespace {

using testing_support::findKeyringItems;
using testing_support::uniqueAccount;

struct MemoryStoreTraits {
  static bool usable() { return true; }
  static std::unique_ptr<ItemStore> make() { return std::make_unique<MemoryItemStore>(); }
  // The accessibility attribute of the stored item, "" when it has none, nothing when missing.
  static std::optional<std::string> accessibleOf(ItemStore& store, const ItemQuery& q) {
    auto& items = static_cast<MemoryItemStore&>(store).items();
    const auto it = items.find({q.service, q.account});
    if (it == items.end()) return std::nullopt;
    return it->second.accessible ? "after-first-unlock-this-device-only" : "";
  }
  static void cleanUp(const ItemQuery&) {}
};

struct SecretServiceStoreTraits {
  static bool usable() { return testing_support::keyringAvailable(); }
  static std::unique_ptr<ItemStore> make() {
    SecretStoreOptions options;  // no prompt: nothing may wait for a user here
    return openSecretServiceStore(options);
  }
  static std::optional<std::string> accessibleOf(ItemStore&, const ItemQuery& q) {
    const auto items = findKeyringItems(q.service, q.account);
    if (!items || items->size() != 1) return std::nullopt;
    const auto it = items->front().attributes.find("accessible");
    return it == items->front().attributes.end() ? "" : it->second;
  }
  static void cleanUp(const ItemQuery& q) {
    (void)testing_support::removeKeyringItems(q.service, q.account);
  }
};

template <typename Traits>
class ItemStoreContract : public testing::Test {
 protected:
  void SetUp() override {
    silenceLibraryLogging();
    if (!Traits::usable()) {
      TRELVO_REQUIRE_TEST_KEYRING();
    }
    store_ = Traits::make();
    query_ = ItemQuery{"com.trelvo.pro.preview", uniqueAccount("contract")};
  }
  void TearDown() override {
    store_.reset();
    Traits::cleanUp(query_);
    Traits::cleanUp(ItemQuery{"com.trelvo.pro", query_.account});
  }

  NewItem newItem(const std::string& data) {
    return NewItem{query_, data, Accessibility::kAfterFirstUnlockThisDeviceOnly};
  }

  std::unique_ptr<ItemStore> store_;
  ItemQuery query_;
};

using Stores = testing::Types<MemoryStoreTraits, SecretServiceStoreTraits>;
class StoreNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    return std::is_same_v<T, MemoryStoreTraits> ? "Memory" : "SecretService";
  }
};
TYPED_TEST_SUITE(ItemStoreContract, Stores, StoreNames);

TYPED_TEST(ItemStoreContract, FoundItemAnswersItsBytes) {
  const std::string data("\xC3\xA9 a\0b /", 8);
  ASSERT_EQ(this->store_->itemAdd(this->newItem(data)), kSuccess);
  std::string out;
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kSuccess);
  EXPECT_EQ(out, data);
}

TYPED_TEST(ItemStoreContract, EmptyDataIsKept) {
  ASSERT_EQ(this->store_->itemAdd(this->newItem("")), kSuccess);
  std::string out = "untouched";
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kSuccess);
  EXPECT_EQ(out, "");
}

TYPED_TEST(ItemStoreContract, MissingItemIsNotFound) {
  std::string out = "untouched";
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kItemNotFound);
  EXPECT_EQ(out, "untouched");
  EXPECT_EQ(this->store_->itemUpdate(this->query_, "v"), kItemNotFound);
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kItemNotFound);
  EXPECT_EQ(this->store_->itemDelete(this->query_), kItemNotFound);
}

TYPED_TEST(ItemStoreContract, UpdateChangesOnlyTheData) {
  ASSERT_EQ(this->store_->itemAdd(this->newItem("old")), kSuccess);
  EXPECT_EQ(TypeParam::accessibleOf(*this->store_, this->query_),
            "after-first-unlock-this-device-only");
  EXPECT_EQ(this->store_->itemUpdate(this->query_, "new"), kSuccess);
  std::string out;
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kSuccess);
  EXPECT_EQ(out, "new");
  EXPECT_EQ(TypeParam::accessibleOf(*this->store_, this->query_),
            "after-first-unlock-this-device-only");
}

TYPED_TEST(ItemStoreContract, AddRefusesAnExistingItem) {
  ASSERT_EQ(this->store_->itemAdd(this->newItem("first")), kSuccess);
  const Status status = this->store_->itemAdd(this->newItem("second"));
  EXPECT_NE(status, kSuccess);
  EXPECT_NE(status, kItemNotFound);
  std::string out;
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kSuccess);
  EXPECT_EQ(out, "first");
}

TYPED_TEST(ItemStoreContract, DeleteRemovesTheItem) {
  ASSERT_EQ(this->store_->itemAdd(this->newItem("v")), kSuccess);
  EXPECT_EQ(this->store_->itemDelete(this->query_), kSuccess);
  std::string out;
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kItemNotFound);
  EXPECT_EQ(this->store_->itemDelete(this->query_), kItemNotFound);
}

TYPED_TEST(ItemStoreContract, InvalidUTF8DataIsReadAsNoValue) {
  ASSERT_EQ(this->store_->itemAdd(this->newItem("\xFF\xFE")), kSuccess);
  const GetResult got = getItem(*this->store_, this->query_.service, this->query_.account);
  EXPECT_EQ(got.status, kSuccess);
  EXPECT_FALSE(got.value.has_value());
}

TYPED_TEST(ItemStoreContract, ServicesNameDifferentItems) {
  ASSERT_EQ(setItem(*this->store_, "com.trelvo.pro.preview", this->query_.account, "preview"),
            kSuccess);
  ASSERT_EQ(setItem(*this->store_, "com.trelvo.pro", this->query_.account, "real"), kSuccess);
  EXPECT_EQ(getItem(*this->store_, "com.trelvo.pro.preview", this->query_.account).value,
            "preview");
  EXPECT_EQ(getItem(*this->store_, "com.trelvo.pro", this->query_.account).value, "real");
  EXPECT_EQ(deleteItem(*this->store_, "com.trelvo.pro", this->query_.account), kSuccess);
  EXPECT_EQ(getItem(*this->store_, "com.trelvo.pro.preview", this->query_.account).value,
            "preview");
}

TYPED_TEST(ItemStoreContract, SetThenGetRoundTrips) {
  for (const std::string value : {"", "plain", "\xE2\x82\xAC\xF0\x9F\x98\x80 /\\\""}) {
    SCOPED_TRACE(value);
    ASSERT_EQ(setItem(*this->store_, this->query_.service, this->query_.account, value), kSuccess);
    const GetResult got = getItem(*this->store_, this->query_.service, this->query_.account);
    EXPECT_EQ(got.status, kSuccess);
    EXPECT_EQ(got.value, value);
  }
}

// Attributes cannot hold U+0000: a service or account holding one would be cut there and name
// the item of the text before it. Every operation refuses such a name with a parameter error,
// before any search, and the item the cut name would reach stays as it was.
TYPED_TEST(ItemStoreContract, NamesHoldingANulAreRefused) {
  ASSERT_EQ(this->store_->itemAdd(this->newItem("kept")), kSuccess);
  const std::string nul("\0x", 2);
  const ItemQuery queries[] = {
      {this->query_.service, this->query_.account + nul},
      {this->query_.service + nul, this->query_.account},
  };
  for (const ItemQuery& q : queries) {
    SCOPED_TRACE(q.service.size() > this->query_.service.size() ? "service" : "account");
    std::string out = "untouched";
    EXPECT_EQ(this->store_->itemCopyMatching(q, &out), kParameterError);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(this->store_->itemUpdate(q, "overwritten"), kParameterError);
    const NewItem added{q, "added", Accessibility::kAfterFirstUnlockThisDeviceOnly};
    EXPECT_EQ(this->store_->itemAdd(added), kParameterError);
    EXPECT_EQ(setItem(*this->store_, q.service, q.account, "set"), kParameterError);
    EXPECT_EQ(getItem(*this->store_, q.service, q.account).status, kParameterError);
    EXPECT_EQ(this->store_->itemDelete(q), kParameterError);
    EXPECT_EQ(deleteItem(*this->store_, q.service, q.account), kParameterError);
  }
  std::string out;
  EXPECT_EQ(this->store_->itemCopyMatching(this->query_, &out), kSuccess);
  EXPECT_EQ(out, "kept");
  // Exactly one item, the original one.
  EXPECT_EQ(TypeParam::accessibleOf(*this->store_, this->query_),
            "after-first-unlock-this-device-only");
}

// The Secret Service store alone: items other tools made, and duplicates.
class SecretServiceStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    silenceLibraryLogging();
    TRELVO_REQUIRE_TEST_KEYRING();
    account_ = uniqueAccount("foreign");
  }
  void TearDown() override {
    (void)testing_support::removeKeyringItems("com.trelvo.pro", account_);
  }
  std::string account_;
};

// Items stored by another client with the same two attributes (no schema of ours, no
// accessibility) are found, and duplicates are tolerated by every operation.
TEST_F(SecretServiceStoreTest, ForeignAndDuplicateItemsAreHandled) {
  const std::map<std::string, std::string> attributes{{"service", "com.trelvo.pro"},
                                                      {"account", account_}};
  ASSERT_TRUE(testing_support::storeKeyringItem(attributes, "one"));
  ASSERT_TRUE(testing_support::storeKeyringItem(attributes, "two"));
  const auto store = openSecretServiceStore(SecretStoreOptions{});
  const GetResult got = getItem(*store, "com.trelvo.pro", account_);
  EXPECT_EQ(got.status, kSuccess);
  ASSERT_TRUE(got.value.has_value());
  EXPECT_TRUE(*got.value == "one" || *got.value == "two") << *got.value;

  EXPECT_EQ(setItem(*store, "com.trelvo.pro", account_, "three"), kSuccess);
  const auto items = findKeyringItems("com.trelvo.pro", account_);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 2u);
  for (const auto& item : *items) EXPECT_EQ(item.secret, "three");
  EXPECT_EQ(getItem(*store, "com.trelvo.pro", account_).value, "three");

  EXPECT_EQ(deleteItem(*store, "com.trelvo.pro", account_), kSuccess);
  EXPECT_EQ(findKeyringItems("com.trelvo.pro", account_)->size(), 0u);
  EXPECT_EQ(deleteItem(*store, "com.trelvo.pro", account_), kItemNotFound);
}

// A private folder for the write lock, removed afterwards with whatever is in it.
class LockFolder : public test_common::TempDir {
 public:
  LockFolder() : TempDir("trelvo-lock-") {}
  std::string lockFile() const { return *this / "trelvo-keychain.lock"; }
};

TEST(SecretServiceStoreLock, IsExclusiveBetweenStores) {
  LockFolder folder;
  SecretStoreOptions options;
  options.lockDirectory = folder.path();
  options.lockTimeout = std::chrono::milliseconds(50);
  const auto first = openSecretServiceStore(options);
  const auto second = openSecretServiceStore(options);
  ASSERT_EQ(first->lockWrites(), kSuccess);
  EXPECT_EQ(second->lockWrites(), kIOFailure);
  first->unlockWrites();
  EXPECT_EQ(second->lockWrites(), kSuccess);
  second->unlockWrites();
  struct stat st {};
  ASSERT_EQ(::stat(folder.lockFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SecretServiceStoreLock, RefusesAnUnsafeFolderOrFile) {
  LockFolder folder;
  SecretStoreOptions options;
  options.lockDirectory = folder.path();
  ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
  EXPECT_EQ(openSecretServiceStore(options)->lockWrites(), kIOFailure);
  ASSERT_EQ(::chmod(folder.path().c_str(), 0700), 0);
  // A symbolic link in place of the lock file is not followed.
  ASSERT_EQ(::symlink("/dev/null", folder.lockFile().c_str()), 0);
  EXPECT_EQ(openSecretServiceStore(options)->lockWrites(), kIOFailure);
}

// The session bus comes from DBUS_SESSION_BUS_ADDRESS, else from the user's bus socket in the
// runtime folder, else there is none (and none is launched).
TEST(SessionBusAddress, ConfiguredElseTheUserSocketElseNone) {
  LockFolder withSocket;
  LockFolder withFile;
  LockFolder emptyFolder;
  const std::string socketPath = withSocket.path() + "/bus";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string filePath = withFile.path() + "/bus";
  std::ofstream(filePath) << "not a socket";

  struct Case {
    const char* name;
    const char* configured;
    std::string runtime;
    std::string address;
  };
  const Case cases[] = {
      {"configured", "unix:path=/run/x", withSocket.path(), "unix:path=/run/x"},
      {"emptyFallsBackToSocket", "", withSocket.path(), "unix:path=" + socketPath},
      {"unsetFallsBackToSocket", nullptr, withSocket.path(), "unix:path=" + socketPath},
      {"regularFileIsNoBus", nullptr, withFile.path(), ""},
      {"noSocketIsNoBus", nullptr, emptyFolder.path(), ""},
      {"relativeRuntimeIsNoBus", nullptr, "relative", ""},
      {"noRuntimeIsNoBus", nullptr, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sessionBusAddress(c.configured, c.runtime.empty() ? nullptr : c.runtime.c_str()),
              c.address);
  }
  ::close(fd);
}

}  // namespace
}  // namespace trelvo::keychain
