#include "memory_item_store.h"

#include <cassert>

namespace trelvo::keychain {

std::optional<Status> MemoryItemStore::record(const char* name) {
  calls_.emplace_back(name);
  const auto it = failures_.find(static_cast<int>(calls_.size()));
  if (it == failures_.end()) return std::nullopt;
  return it->second;
}

Status MemoryItemStore::itemCopyMatching(const ItemQuery& query, std::string* data) {
  if (const auto failed = record("itemCopyMatching")) return *failed;
  if (!queryIsStorable(query)) return kParameterError;
  const auto it = items_.find({query.service, query.account});
  if (it == items_.end()) return kItemNotFound;
  *data = it->second.data;
  return kSuccess;
}

Status MemoryItemStore::itemUpdate(const ItemQuery& query, const std::string& data) {
  if (const auto failed = record("itemUpdate")) return *failed;
  if (!queryIsStorable(query)) return kParameterError;
  const auto it = items_.find({query.service, query.account});
  if (it == items_.end()) return kItemNotFound;
  it->second.data = data;
  return kSuccess;
}

Status MemoryItemStore::itemAdd(const NewItem& item) {
  if (const auto failed = record("itemAdd")) return *failed;
  if (!queryIsStorable(item.query)) return kParameterError;
  const auto [it, inserted] = items_.try_emplace({item.query.service, item.query.account},
                                                 Item{item.data, item.accessible});
  (void)it;
  return inserted ? kSuccess : kDuplicateItem;
}

Status MemoryItemStore::itemDelete(const ItemQuery& query) {
  if (const auto failed = record("itemDelete")) return *failed;
  if (!queryIsStorable(query)) return kParameterError;
  return items_.erase({query.service, query.account}) ? kSuccess : kItemNotFound;
}

Status MemoryItemStore::lockWrites() {
  if (const auto failed = record("lockWrites")) return *failed;
  assert(!locked_);
  locked_ = true;
  return kSuccess;
}

void MemoryItemStore::unlockWrites() {
  (void)record("unlockWrites");
  assert(locked_);
  locked_ = false;
}

}  // namespace trelvo::keychain
