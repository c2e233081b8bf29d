#pragma once

// An ItemStore held in memory, for the unit tests and the fuzzer. It records every call and can be
// told to answer the Nth call with a given status instead of doing it.

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "item_store.h"

namespace trelvo::keychain {

class MemoryItemStore : public ItemStore {
 public:
  struct Item {
    std::string data;
    std::optional<Accessibility> accessible;  // none for items this program did not create
  };

  Status itemCopyMatching(const ItemQuery& query, std::string* data) override;
  Status itemUpdate(const ItemQuery& query, const std::string& data) override;
  Status itemAdd(const NewItem& item) override;
  Status itemDelete(const ItemQuery& query) override;
  Status lockWrites() override;
  void unlockWrites() override;

  // The calls so far, by name ("itemCopyMatching", ..., "lockWrites", "unlockWrites").
  const std::vector<std::string>& calls() const { return calls_; }
  // The call numbered `n` (1 = the next one) answers `status` and does nothing.
  void failCall(int n, Status status) { failures_[static_cast<int>(calls_.size()) + n] = status; }

  std::map<std::pair<std::string, std::string>, Item>& items() { return items_; }
  bool writeLocked() const { return locked_; }

 private:
  std::optional<Status> record(const char* name);

  std::map<std::pair<std::string, std::string>, Item> items_;
  std::vector<std::string> calls_;
  std::map<int, Status> failures_;
  bool locked_ = false;
};

}  // namespace trelvo::keychain
