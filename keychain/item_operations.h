#pragma once

// The three item operations over an ItemStore. Statuses pass through unchanged.

#include <optional>
#include <string>

#include "item_store.h"

namespace trelvo::keychain {

struct GetResult {
  Status status = kSuccess;
  std::optional<std::string> value;  // none when no data came back or it was not valid UTF-8
};

GetResult getItem(ItemStore& store, const std::string& service, const std::string& account);

// Update, then add when the update found nothing; the two run under the store's write lock.
Status setItem(ItemStore& store, const std::string& service, const std::string& account,
               const std::string& value);

// Removes every matching item, under the store's write lock.
Status deleteItem(ItemStore& store, const std::string& service, const std::string& account);

}  // namespace trelvo::keychain
