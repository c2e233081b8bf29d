#include "item_operations.h"

#include "json.h"

namespace trelvo::keychain {

GetResult getItem(ItemStore& store, const std::string& service, const std::string& account) {
  GetResult result;
  std::string bytes;
  result.status = store.itemCopyMatching(ItemQuery{service, account}, &bytes);
  if (result.status == kSuccess && isValidUTF8(bytes)) result.value = std::move(bytes);
  return result;
}

Status setItem(ItemStore& store, const std::string& service, const std::string& account,
               const std::string& value) {
  const ItemQuery query{service, account};
  // Without the lock, two runs could both see "not found" and both add: one would then fail,
  // or a store without a uniqueness check would end up holding two items.
  if (const Status locked = store.lockWrites(); locked != kSuccess) return locked;
  Status status = store.itemUpdate(query, value);
  if (status == kItemNotFound) {
    status = store.itemAdd(NewItem{query, value, Accessibility::kAfterFirstUnlockThisDeviceOnly});
  }
  store.unlockWrites();
  return status;
}

Status deleteItem(ItemStore& store, const std::string& service, const std::string& account) {
  // Under the same lock as a set, so a set never has its item removed between its update and its
  // add (or during its update) and then fails or stores nothing.
  if (const Status locked = store.lockWrites(); locked != kSuccess) return locked;
  const Status status = store.itemDelete(ItemQuery{service, account});
  store.unlockWrites();
  return status;
}

}  // namespace trelvo::keychain
