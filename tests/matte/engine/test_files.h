// Where the tests find the models and fixtures, and reading them whole.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace trelvo::matte {

inline std::string testModelPath(const std::string& name) {
  return std::string(TRELVO_TEST_MODEL_DIR) + "/" + name;
}

inline std::string fixturePath(const std::string& name) {
  return std::string(TRELVO_TEST_FIXTURES) + "/" + name;
}

// The whole file, or nothing when it cannot be read.
inline std::vector<std::uint8_t> readTestFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

}  // namespace trelvo::matte
