// The network as the engine understands it: float32 tensors in NHWC order and the operators the
// segmentation models use, in execution order. The model reader produces it; the XNNPACK builder
// consumes it after `validateGraph` has checked every index and shape.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace trelvo::matte {

// Limits on what a model may ask for; anything beyond is refused.
inline constexpr std::size_t kMaxModelBytes = 64u << 20;
inline constexpr std::size_t kMaxTensors = 4096;
inline constexpr std::size_t kMaxOperators = 4096;
inline constexpr std::size_t kMaxRank = 4;
inline constexpr std::uint32_t kMaxDimension = 1u << 16;
inline constexpr std::size_t kMaxTensorElements = std::size_t{1} << 24;
// Sum over all intermediate tensors: bounds the memory the runtime allocates.
inline constexpr std::size_t kMaxActivationElements = std::size_t{1} << 26;
inline constexpr std::uint32_t kMaxStride = 64;
inline constexpr std::uint32_t kMaxKernel = 64;
inline constexpr std::uint32_t kMaxPadding = 1024;

enum class Padding { Same, Valid };

// A clamp fused into an operator's output.
enum class Activation { None, Relu, Relu6, ReluN1To1 };

enum class OpKind {
  Conv2D,             // inputs: x [N,H,W,C], filter [O,KH,KW,C], bias [O] (optional)
  DepthwiseConv2D,    // inputs: x [N,H,W,C], filter [1,KH,KW,C*M], bias [C*M] (optional)
  TransposeConvBias,  // inputs: x [N,H,W,C], filter [O,KH,KW,C], bias [O]
  Add,                // two inputs, numpy broadcasting
  Mul,                // two inputs, numpy broadcasting
  Relu,
  HardSwish,
  Logistic,
  GlobalAveragePool,  // [N,H,W,C] -> [N,1,1,C]
  ResizeBilinear,     // [N,H,W,C] -> [N,newHeight,newWidth,C]
  Pad,                // [N,H,W,C] -> each dimension grown by padBefore + padAfter zeros
};

const char* opKindName(OpKind kind);

struct GraphTensor {
  std::vector<std::uint32_t> shape;
  // Set for constants only: the values, exactly one per element.
  std::vector<float> data;
  bool constant = false;
};

inline constexpr std::int32_t kNoTensor = -1;

struct GraphOp {
  OpKind kind = OpKind::Relu;
  std::vector<std::int32_t> inputs;  // tensor indices; kNoTensor for an absent optional bias
  std::int32_t output = kNoTensor;
  Padding padding = Padding::Valid;
  std::uint32_t strideHeight = 1;
  std::uint32_t strideWidth = 1;
  std::uint32_t dilationHeight = 1;
  std::uint32_t dilationWidth = 1;
  Activation activation = Activation::None;
  std::uint32_t newHeight = 0;  // resize only
  std::uint32_t newWidth = 0;
  bool alignCorners = false;
  bool halfPixelCenters = false;
  std::array<std::uint32_t, 4> padBefore{};  // pad only, per dimension
  std::array<std::uint32_t, 4> padAfter{};
  // Position of the operator in the model file, for error texts; -1 when it has none.
  std::int32_t sourceIndex = -1;
};

struct Graph {
  std::vector<GraphTensor> tensors;
  std::vector<GraphOp> ops;
  std::int32_t input = kNoTensor;   // one float input, [N,H,W,C]
  std::int32_t output = kNoTensor;  // one float output, computed by an operator
};

// Checks indices, execution order, shapes and limits. Returns false with `error` set on the first
// problem found; the graph is then unusable.
bool validateGraph(const Graph& graph, std::string& error);

// Turns a graph whose output is a logit map into one whose output is its probability: a LOGISTIC
// operator after the old output, writing a new tensor that becomes the output.
void appendLogistic(Graph& graph);

// Number of elements of `shape`, or 0 when it exceeds kMaxTensorElements.
std::size_t elementCount(const std::vector<std::uint32_t>& shape);

// Output size of a convolution window along one axis, TensorFlow's rules; 0 when impossible.
std::uint32_t convOutputSize(std::uint32_t in, std::uint32_t kernel, std::uint32_t stride,
                             std::uint32_t dilation, Padding padding);
// Total padding of a SAME convolution along one axis (before = total / 2, after = the rest).
std::uint32_t samePaddingTotal(std::uint32_t in, std::uint32_t out, std::uint32_t kernel,
                               std::uint32_t stride, std::uint32_t dilation);
// Total padding of the transposed convolution along one axis.
std::uint32_t transposePaddingTotal(std::uint32_t in, std::uint32_t kernel, std::uint32_t stride,
                                    Padding padding);

}  // namespace trelvo::matte
