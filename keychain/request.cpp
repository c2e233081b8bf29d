#include "request.h"

#include <unistd.h>

#include <cerrno>

#include "item_operations.h"
#include "json.h"

namespace trelvo::keychain {
namespace {

// Every nesting level takes two bytes of a request, so a depth limit of at least half the largest
// request refuses no request the size limit lets through.
static_assert(static_cast<std::size_t>(kJsonDepthLimit) >= kMaxRequestBytes / 2);

constexpr std::string_view kServices[] = {"com.trelvo.pro", "com.trelvo.pro.providers"};

std::string storageService(const std::string& requested, bool testStorage) {
  if (!testStorage) return requested;
  if (requested == "com.trelvo.pro") return "com.trelvo.pro.preview";
  return "com.trelvo.pro.preview.providers";
}

const JsonMember* stringMember(const std::map<std::string, JsonMember>& members,
                               const std::string& name) {
  const auto it = members.find(name);
  if (it == members.end() || it->second.type != JsonType::kString) return nullptr;
  return &it->second;
}

Outcome finish(Status status, const std::optional<std::string>& value) {
  if (status != kSuccess && status != kItemNotFound) return Outcome{ExitStatus::kStoreFailure, {}};
  return Outcome{ExitStatus::kDone, responseText(value)};
}

}  // namespace

std::string responseText(const std::optional<std::string>& value) {
  return "{\"value\":" + (value ? writeJSONString(*value) : std::string("null")) + "}";
}

Outcome handleRequest(std::string_view input, bool testStorage, ItemStore& store) {
  const Outcome refused{ExitStatus::kRefused, {}};
  if (input.size() > kMaxRequestBytes) return refused;

  const auto members = readJSONObject(input);
  if (!members) return refused;

  const JsonMember* service = stringMember(*members, "service");
  if (!service) return refused;
  const JsonMember* account = stringMember(*members, "account");
  if (!account) return refused;
  const JsonMember* action = stringMember(*members, "action");
  if (!action) return refused;
  if (account->text.empty() || utf16Length(account->text) > kMaxAccountUTF16Units) return refused;

  bool allowed = false;
  for (const std::string_view s : kServices) allowed = allowed || service->text == s;
  if (!allowed) return refused;
  const std::string storage = storageService(service->text, testStorage);

  if (action->text == "get") {
    const GetResult got = getItem(store, storage, account->text);
    return finish(got.status, got.value);
  }
  if (action->text == "set") {
    const JsonMember* value = stringMember(*members, "value");
    if (!value) return refused;
    return finish(setItem(store, storage, account->text, value->text), std::nullopt);
  }
  if (action->text == "delete") {
    return finish(deleteItem(store, storage, account->text), std::nullopt);
  }
  return refused;
}

std::optional<std::string> readRequest(int fd) {
  std::string buffer(kMaxRequestBytes + 1, '\0');
  std::size_t have = 0;
  while (have < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + have, buffer.size() - have);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    have += static_cast<std::size_t>(n);
  }
  buffer.resize(have);
  return buffer;
}

bool writeResponse(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace trelvo::keychain
