#pragma once

// The store behind the item operations: one generic-password item per storage service and
// account. Implementations: the user's Secret Service (platform_linux.cpp) and an in-memory store.

#include <cstdint>
#include <optional>
#include <string>

namespace trelvo::keychain {

// Statuses in the platform's convention: 0 success, -25300 no such item, any other value a failure
// that is handed back unchanged.
using Status = std::int32_t;
inline constexpr Status kSuccess = 0;
inline constexpr Status kItemNotFound = -25300;
inline constexpr Status kDuplicateItem = -25299;
inline constexpr Status kInteractionNotAllowed = -25308;  // locked, and no prompt possible
inline constexpr Status kNotAvailable = -25291;           // no bus, no service, no answer
inline constexpr Status kIOFailure = -36;                 // the write lock could not be taken
inline constexpr Status kParameterError = -50;            // a name the store cannot hold

enum class Accessibility { kAfterFirstUnlockThisDeviceOnly };

// The item query: identifies one item.
struct ItemQuery {
  std::string service;
  std::string account;
};

// Whether a store can name the item: the Secret Service's attributes are C strings, so a service
// or account holding U+0000 would be cut there and name another item. Every store refuses such a
// query with kParameterError before touching anything, so all stores keep one contract.
inline bool queryIsStorable(const ItemQuery& query) {
  return query.service.find('\0') == std::string::npos &&
         query.account.find('\0') == std::string::npos;
}

// The new item: the query's attributes, the data and the accessibility class.
struct NewItem {
  ItemQuery query;
  std::string data;  // bytes, any content
  Accessibility accessible = Accessibility::kAfterFirstUnlockThisDeviceOnly;
};

class ItemStore {
 public:
  virtual ~ItemStore() = default;

  // 0 and the item's data in *data when an item matches; -25300 and *data untouched when none
  // does; any other status on failure, *data untouched.
  virtual Status itemCopyMatching(const ItemQuery& query, std::string* data) = 0;
  // Replaces only the data of the matching item(s); -25300 with nothing changed when none matches.
  virtual Status itemUpdate(const ItemQuery& query, const std::string& data) = 0;
  // Creates the item; -25299 with nothing created when a matching item already exists.
  virtual Status itemAdd(const NewItem& item) = 0;
  // Removes the matching item(s); -25300 when none matches. A match that has gone by the time it
  // is removed (another run deleted it after the search) is removed as asked: 0.
  virtual Status itemDelete(const ItemQuery& query) = 0;

  // Serialises writers between processes: a set's update-then-add, and a delete. A failure status
  // means the lock is not held and no write may follow; unlockWrites is called only after a 0.
  virtual Status lockWrites() { return kSuccess; }
  virtual void unlockWrites() {}
};

}  // namespace trelvo::keychain
