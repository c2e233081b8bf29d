// One XNNPACK subgraph and runtime built from a validated graph, reused for every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model_graph.h"
#include "thread_pool.h"

namespace trelvo::matte {

class XnnNetwork {
 public:
  // Validates `graph` and builds the runtime; the network keeps its own copy of every constant.
  // Returns null with `error` set on failure. `threads` 0 means one per core, 1 the caller only.
  static std::unique_ptr<XnnNetwork> create(const Graph& graph, std::size_t threads,
                                            std::string& error);
  // The same on a pool shared with others, which the network keeps alive.
  static std::unique_ptr<XnnNetwork> create(const Graph& graph, std::shared_ptr<ThreadPool> pool,
                                            std::string& error);
  ~XnnNetwork();
  XnnNetwork(const XnnNetwork&) = delete;
  XnnNetwork& operator=(const XnnNetwork&) = delete;

  const std::vector<std::uint32_t>& inputShape() const { return inputShape_; }
  const std::vector<std::uint32_t>& outputShape() const { return outputShape_; }
  // The input the next run reads and the output it writes, sized by the shapes above.
  float* input() { return input_.data(); }
  const float* output() const { return output_.data(); }
  std::size_t inputSize() const { return inputSize_; }
  std::size_t outputSize() const { return outputSize_; }

  // Runs the network on input(); returns false with `error` set when XNNPACK fails.
  bool run(std::string& error);

 private:
  XnnNetwork() = default;
  struct Handles;

  std::vector<std::uint32_t> inputShape_;
  std::vector<std::uint32_t> outputShape_;
  std::size_t inputSize_ = 0;
  std::size_t outputSize_ = 0;
  std::vector<float> input_;
  std::vector<float> output_;
  // Static tensor data handed to XNNPACK: must outlive the runtime.
  std::vector<std::vector<float>> constants_;
  std::shared_ptr<ThreadPool> pool_;  // outlives the runtime, declared before it
  std::unique_ptr<Handles> handles_;
};

}  // namespace trelvo::matte
