#pragma once

// One request of the keychain bridge: bounded input, strict checks, one item operation, the
// compact response and the exit status.

#include <optional>
#include <string>
#include <string_view>

#include "item_store.h"

namespace trelvo::keychain {

enum class ExitStatus : int {
  kDone = 0,          // the operation ended with 0 or -25300; the response is written
  kStoreFailure = 1,  // the operation ended with any other status; nothing is written
  kRefused = 2,       // the request was refused; no operation was called
};

// The largest request accepted; one byte more is read to tell an over-long request apart.
inline constexpr std::size_t kMaxRequestBytes = 65536;
inline constexpr std::size_t kMaxAccountUTF16Units = 255;

struct Outcome {
  ExitStatus status = ExitStatus::kRefused;
  std::string response;  // set only with kDone; main writes it to standard output
};

// Handles one request read whole into `input` (at most kMaxRequestBytes + 1 bytes matter: a longer
// input is refused). `testStorage` is whether TRELVO_DESKTOP_TEST_STORAGE is defined.
Outcome handleRequest(std::string_view input, bool testStorage, ItemStore& store);

// `{"value":null}` or `{"value":"..."}`.
std::string responseText(const std::optional<std::string>& value);

// Reads from `fd` until kMaxRequestBytes + 1 bytes have come or the input ends; nothing when the
// read fails.
std::optional<std::string> readRequest(int fd);

// Writes all of `text` to `fd`; false when that fails.
bool writeResponse(int fd, std::string_view text);

}  // namespace trelvo::keychain
