// Plain loop implementations of the engine's operators, the yardstick for the XNNPACK path.
// Tensors are NHWC float vectors with their shape alongside.
#pragma once

#include <cstdint>
#include <vector>

namespace trelvo::matte::testing {

struct RefTensor {
  std::vector<std::uint32_t> shape;
  std::vector<float> values;
};

enum class RefPadding { Same, Valid };
enum class RefActivation { None, Relu, Relu6, ReluN1To1 };

struct RefWindow {
  RefPadding padding = RefPadding::Valid;
  std::uint32_t strideH = 1, strideW = 1, dilationH = 1, dilationW = 1;
  RefActivation activation = RefActivation::None;
};

// `bias` may be empty.
RefTensor refConv2D(const RefTensor& x, const RefTensor& filter, const std::vector<float>& bias,
                    const RefWindow& w);
RefTensor refDepthwiseConv2D(const RefTensor& x, const RefTensor& filter,
                             const std::vector<float>& bias, const RefWindow& w);
// The transposed convolution with bias; padding SAME or VALID as the custom operator defines it.
RefTensor refTransposeConv(const RefTensor& x, const RefTensor& filter,
                           const std::vector<float>& bias, RefPadding padding,
                           std::uint32_t strideH, std::uint32_t strideW);
RefTensor refAdd(const RefTensor& a, const RefTensor& b, RefActivation activation);
RefTensor refMul(const RefTensor& a, const RefTensor& b, RefActivation activation);
RefTensor refRelu(const RefTensor& x);
RefTensor refHardSwish(const RefTensor& x);
RefTensor refLogistic(const RefTensor& x);
RefTensor refGlobalAveragePool(const RefTensor& x);
RefTensor refResizeBilinear(const RefTensor& x, std::uint32_t newH, std::uint32_t newW,
                            bool alignCorners, bool halfPixelCenters);
// Zeros added before and after each of the four dimensions.
RefTensor refPad(const RefTensor& x, const std::uint32_t before[4], const std::uint32_t after[4]);

}  // namespace trelvo::matte::testing

namespace trelvo::matte {
struct Graph;
}

namespace trelvo::matte::testing {

// Runs a whole graph as the engine reads it, operator by operator with the functions above.
RefTensor runReference(const Graph& graph, const RefTensor& input);

}  // namespace trelvo::matte::testing
