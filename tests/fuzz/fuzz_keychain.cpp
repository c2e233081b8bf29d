// Fuzzes the request handling against the in-memory store: any input must end in one of the three
// exit statuses, with a response exactly when the status is 0, and a response that is valid JSON.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json.h"
#include "memory_item_store.h"
#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace trelvo::keychain;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  MemoryItemStore store;
  // A stored value so "get" has something to answer, including bytes that are not UTF-8.
  store.items()[{"com.trelvo.pro", "a"}] = {"v/\"\\\x01\xc3\xa9", std::nullopt};
  store.items()[{"com.trelvo.pro.preview", "a"}] = {"\xff", std::nullopt};
  for (const bool testStorage : {false, true}) {
    const Outcome outcome = handleRequest(input, testStorage, store);
    switch (outcome.status) {
      case ExitStatus::kDone: {
        const auto members = readJSONObject(outcome.response);
        if (!members || members->size() != 1 || !members->count("value")) __builtin_trap();
        break;
      }
      case ExitStatus::kRefused:
      case ExitStatus::kStoreFailure:
        if (!outcome.response.empty()) __builtin_trap();
        break;
    }
    if (store.writeLocked()) __builtin_trap();
  }
  return 0;
}
