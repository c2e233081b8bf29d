// Differential tests: each operator kind in a tiny model, written as a TFLite flatbuffer, read by
// the engine's reader and run through its XNNPACK runtime, against the plain loops of
// reference_ops on the same random tensors (fixed seeds).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "reference_ops.h"
#include "tflite_reader.h"
#include "tflite_writer.h"
#include "xnn_network.h"

namespace trelvo::matte::testing {
namespace {

constexpr float kTolerance = 1e-4f;

RefTensor randomTensor(std::vector<std::uint32_t> shape, std::mt19937& rng, float lo = -1.0f,
                       float hi = 1.0f) {
  std::uniform_real_distribution<float> dist(lo, hi);
  RefTensor t{std::move(shape), {}};
  std::size_t count = 1;
  for (auto d : t.shape) count *= d;
  t.values.resize(count);
  for (float& v : t.values) v = dist(rng);
  return t;
}

std::vector<std::int32_t> dims(const std::vector<std::uint32_t>& shape) {
  return std::vector<std::int32_t>(shape.begin(), shape.end());
}

// A model and the answer it must give.
struct Built {
  ModelDesc model;
  RefTensor input;
  RefTensor expected;
};

// One operator: tensor 0 the input, then the constants, then the output. `inputs` lists the
// operator's inputs by tensor index (kAbsent for a missing optional one).
constexpr std::int32_t kAbsent = -1;
Built singleOp(OpDesc op, const RefTensor& x, const std::vector<RefTensor>& constants,
               std::vector<std::int32_t> inputs, const RefTensor& expected) {
  Built b;
  b.input = x;
  b.expected = expected;
  b.model.tensors.push_back({dims(x.shape), kFloat32, {}});
  for (const RefTensor& c : constants) {
    b.model.tensors.push_back({dims(c.shape), kFloat32, floatBytes(c.values)});
  }
  const auto out = static_cast<std::int32_t>(b.model.tensors.size());
  b.model.tensors.push_back({dims(expected.shape), kFloat32, {}});
  op.inputs = std::move(inputs);
  op.outputs = {out};
  b.model.ops.push_back(std::move(op));
  b.model.inputs = {0};
  b.model.outputs = {out};
  return b;
}

OpDesc builtin(std::int32_t code, std::uint8_t optionsType = 0, FbRef options = nullptr) {
  OpDesc op;
  op.builtin = code;
  op.optionsType = optionsType;
  op.options = std::move(options);
  return op;
}

RefWindow window(RefPadding p, std::uint32_t sh, std::uint32_t sw,
                 RefActivation a = RefActivation::None, std::uint32_t dh = 1,
                 std::uint32_t dw = 1) {
  return {p, sh, sw, dh, dw, a};
}

std::int8_t paddingCode(RefPadding p) { return p == RefPadding::Same ? kSame : kValid; }

std::int8_t activationCode(RefActivation a) {
  switch (a) {
    case RefActivation::None:
      return kActNone;
    case RefActivation::Relu:
      return kActRelu;
    case RefActivation::Relu6:
      return kActRelu6;
    case RefActivation::ReluN1To1:
      return kActReluN1To1;
  }
  return kActNone;
}

Built conv(std::mt19937& rng, std::vector<std::uint32_t> in, std::uint32_t out, std::uint32_t kh,
           std::uint32_t kw, RefWindow w, bool bias) {
  const RefTensor x = randomTensor(in, rng);
  const RefTensor f = randomTensor({out, kh, kw, in[3]}, rng);
  const RefTensor b = randomTensor({out}, rng);
  const auto opts =
      convOptions(paddingCode(w.padding), static_cast<std::int32_t>(w.strideW),
                  static_cast<std::int32_t>(w.strideH), activationCode(w.activation),
                  static_cast<std::int32_t>(w.dilationW), static_cast<std::int32_t>(w.dilationH));
  const RefTensor y = refConv2D(x, f, bias ? b.values : std::vector<float>{}, w);
  if (bias) return singleOp(builtin(kOpConv2D, kConv2DOptions, opts), x, {f, b}, {0, 1, 2}, y);
  return singleOp(builtin(kOpConv2D, kConv2DOptions, opts), x, {f}, {0, 1, kAbsent}, y);
}

Built depthwise(std::mt19937& rng, std::vector<std::uint32_t> in, std::uint32_t multiplier,
                std::uint32_t kh, std::uint32_t kw, RefWindow w, bool bias) {
  const std::uint32_t out = in[3] * multiplier;
  const RefTensor x = randomTensor(in, rng);
  const RefTensor f = randomTensor({1, kh, kw, out}, rng);
  const RefTensor b = randomTensor({out}, rng);
  const auto opts =
      depthwiseOptions(paddingCode(w.padding), static_cast<std::int32_t>(w.strideW),
                       static_cast<std::int32_t>(w.strideH), static_cast<std::int32_t>(multiplier),
                       activationCode(w.activation), static_cast<std::int32_t>(w.dilationW),
                       static_cast<std::int32_t>(w.dilationH));
  const RefTensor y = refDepthwiseConv2D(x, f, bias ? b.values : std::vector<float>{}, w);
  const OpDesc op = builtin(kOpDepthwiseConv2D, kDepthwiseConv2DOptions, opts);
  if (bias) return singleOp(op, x, {f, b}, {0, 1, 2}, y);
  return singleOp(op, x, {f}, {0, 1}, y);
}

Built transposed(std::mt19937& rng, std::vector<std::uint32_t> in, std::uint32_t out,
                 std::uint32_t kh, std::uint32_t kw, RefPadding p, std::uint32_t sh,
                 std::uint32_t sw) {
  const RefTensor x = randomTensor(in, rng);
  const RefTensor f = randomTensor({out, kh, kw, in[3]}, rng);
  const RefTensor b = randomTensor({out}, rng);
  OpDesc op = builtin(kOpCustom);
  op.custom = "Convolution2DTransposeBias";
  op.hasCustomOptions = true;
  op.customOptions = transposeOptions(p == RefPadding::Same ? 1 : 2, static_cast<std::int32_t>(sw),
                                      static_cast<std::int32_t>(sh));
  return singleOp(op, x, {f, b}, {0, 1, 2}, refTransposeConv(x, f, b.values, p, sh, sw));
}

// `constantB`: the second operand is a constant of the model; otherwise both read the input.
Built binary(std::mt19937& rng, bool add, std::vector<std::uint32_t> a,
             std::vector<std::uint32_t> b, RefActivation act, bool constantB) {
  const RefTensor x = randomTensor(a, rng);
  const RefTensor c = constantB ? randomTensor(b, rng) : x;
  const RefTensor y = add ? refAdd(x, c, act) : refMul(x, c, act);
  const OpDesc op = add ? builtin(kOpAdd, kAddOptions, activationOptions(activationCode(act)))
                        : builtin(kOpMul, kMulOptions, activationOptions(activationCode(act)));
  if (constantB) return singleOp(op, x, {c}, {0, 1}, y);
  return singleOp(op, x, {}, {0, 0}, y);
}

Built unary(std::mt19937& rng, std::int32_t code, std::vector<std::uint32_t> shape) {
  // Wide enough to cover every piece of hard swish and the flat tails of the sigmoid.
  const RefTensor x = randomTensor(shape, rng, -8.0f, 8.0f);
  const RefTensor y = code == kOpRelu        ? refRelu(x)
                      : code == kOpHardSwish ? refHardSwish(x)
                                             : refLogistic(x);
  return singleOp(builtin(code), x, {}, {0}, y);
}

Built averagePool(std::mt19937& rng, std::vector<std::uint32_t> in, RefPadding p) {
  const RefTensor x = randomTensor(in, rng);
  const auto opts = poolOptions(paddingCode(p), static_cast<std::int32_t>(in[2]),
                                static_cast<std::int32_t>(in[1]), static_cast<std::int32_t>(in[2]),
                                static_cast<std::int32_t>(in[1]));
  return singleOp(builtin(kOpAveragePool2D, kPool2DOptions, opts), x, {}, {0},
                  refGlobalAveragePool(x));
}

Built mean(std::mt19937& rng, std::vector<std::uint32_t> in, std::vector<std::int32_t> axes) {
  const RefTensor x = randomTensor(in, rng);
  Built b = singleOp(builtin(kOpMean, kReducerOptions, reducerOptions(true)), x, {}, {0, 1},
                     refGlobalAveragePool(x));
  // The axes are an int32 constant, tensor 1; the output moves to tensor 2.
  b.model.tensors.insert(b.model.tensors.begin() + 1,
                         {{static_cast<std::int32_t>(axes.size())}, kInt32, intBytes(axes)});
  b.model.ops[0].outputs = {2};
  b.model.outputs = {2};
  return b;
}

Built resize(std::mt19937& rng, std::vector<std::uint32_t> in, std::uint32_t h, std::uint32_t w,
             bool alignCorners, bool halfPixel) {
  const RefTensor x = randomTensor(in, rng);
  Built b = singleOp(
      builtin(kOpResizeBilinear, kResizeBilinearOptions, resizeOptions(alignCorners, halfPixel)), x,
      {}, {0, 1}, refResizeBilinear(x, h, w, alignCorners, halfPixel));
  b.model.tensors.insert(
      b.model.tensors.begin() + 1,
      {{2}, kInt32, intBytes({static_cast<std::int32_t>(h), static_cast<std::int32_t>(w)})});
  b.model.ops[0].outputs = {2};
  b.model.outputs = {2};
  return b;
}

// PAD with its paddings (before and after each of the four dimensions) as an int32 [4,2] constant.
Built pad(std::mt19937& rng, std::vector<std::uint32_t> in, std::vector<std::int32_t> paddings) {
  const RefTensor x = randomTensor(in, rng);
  std::uint32_t before[4], after[4];
  for (int d = 0; d < 4; ++d) {
    before[d] = static_cast<std::uint32_t>(paddings[2 * d]);
    after[d] = static_cast<std::uint32_t>(paddings[2 * d + 1]);
  }
  Built b = singleOp(builtin(kOpPad, kPadOptions, FbTable().build()), x, {}, {0, 1},
                     refPad(x, before, after));
  b.model.tensors.insert(b.model.tensors.begin() + 1, {{4, 2}, kInt32, intBytes(paddings)});
  b.model.ops[0].outputs = {2};
  b.model.outputs = {2};
  return b;
}

// The person model's downsampling step: a symmetric spatial PAD, then a VALID stride-2 depthwise
// convolution with fused RELU6.
Built padThenStridedDepthwise(std::mt19937& rng) {
  Built b;
  b.input = randomTensor({1, 9, 8, 4}, rng);
  const std::uint32_t before[4] = {0, 1, 1, 0};
  const std::uint32_t after[4] = {0, 1, 1, 0};
  const RefTensor padded = refPad(b.input, before, after);
  const RefTensor f = randomTensor({1, 3, 3, 4}, rng);
  const RefTensor bias = randomTensor({4}, rng);
  const RefWindow w = window(RefPadding::Valid, 2, 2, RefActivation::Relu6);
  b.expected = refDepthwiseConv2D(padded, f, bias.values, w);
  b.model.tensors = {{dims(b.input.shape), kFloat32, {}},
                     {{4, 2}, kInt32, intBytes({0, 0, 1, 1, 1, 1, 0, 0})},
                     {dims(padded.shape), kFloat32, {}},
                     {dims(f.shape), kFloat32, floatBytes(f.values)},
                     {dims(bias.shape), kFloat32, floatBytes(bias.values)},
                     {dims(b.expected.shape), kFloat32, {}}};
  OpDesc p = builtin(kOpPad, kPadOptions, FbTable().build());
  p.inputs = {0, 1};
  p.outputs = {2};
  OpDesc conv = builtin(kOpDepthwiseConv2D, kDepthwiseConv2DOptions,
                        depthwiseOptions(kValid, 2, 2, 1, kActRelu6));
  conv.inputs = {2, 3, 4};
  conv.outputs = {5};
  b.model.ops = {p, conv};
  b.model.inputs = {0};
  b.model.outputs = {5};
  return b;
}

// The squeeze-and-excite pattern of the models: a pooled copy of the input scales the input.
Built squeezeExcite(std::mt19937& rng, std::vector<std::uint32_t> in) {
  Built b;
  b.input = randomTensor(in, rng);
  const RefTensor pooled = refGlobalAveragePool(b.input);
  b.expected = refMul(b.input, pooled, RefActivation::None);
  b.model.tensors = {
      {dims(in), kFloat32, {}}, {dims(pooled.shape), kFloat32, {}}, {dims(in), kFloat32, {}}};
  OpDesc pool = builtin(
      kOpAveragePool2D, kPool2DOptions,
      poolOptions(kValid, static_cast<std::int32_t>(in[2]), static_cast<std::int32_t>(in[1]),
                  static_cast<std::int32_t>(in[2]), static_cast<std::int32_t>(in[1])));
  pool.inputs = {0};
  pool.outputs = {1};
  OpDesc mul = builtin(kOpMul, kMulOptions, activationOptions(kActNone));
  mul.inputs = {0, 1};
  mul.outputs = {2};
  b.model.ops = {pool, mul};
  b.model.inputs = {0};
  b.model.outputs = {2};
  return b;
}

// Values a half float holds exactly, encoded by hand for the DEQUANTIZE case.
std::uint16_t exactHalf(float v) {
  if (v == 0.0f) return 0;
  int exponent = 0;
  const float m = std::frexp(std::fabs(v), &exponent);
  const auto mantissa = static_cast<std::uint16_t>((2.0f * m - 1.0f) * 1024.0f);
  return static_cast<std::uint16_t>((v < 0 ? 0x8000 : 0) | ((exponent + 14) << 10) | mantissa);
}

// A convolution whose weights and bias are stored as fp16 behind DEQUANTIZE, as in the models.
Built halfWeights(std::mt19937& rng) {
  std::uniform_int_distribution<int> steps(-64, 64);
  RefTensor f{{4, 3, 3, 3}, {}};
  RefTensor bias{{4}, {}};
  for (std::size_t i = 0; i < 4 * 3 * 3 * 3; ++i)
    f.values.push_back(static_cast<float>(steps(rng)) / 64.0f);
  for (std::size_t i = 0; i < 4; ++i) bias.values.push_back(static_cast<float>(steps(rng)) / 64.0f);
  auto halfBytes = [](const std::vector<float>& values) {
    std::vector<std::uint8_t> bytes;
    for (float v : values) {
      const std::uint16_t h = exactHalf(v);
      bytes.push_back(static_cast<std::uint8_t>(h & 0xff));
      bytes.push_back(static_cast<std::uint8_t>(h >> 8));
    }
    return bytes;
  };
  Built b;
  b.input = randomTensor({1, 6, 5, 3}, rng);
  b.expected = refConv2D(b.input, f, bias.values, window(RefPadding::Same, 1, 1));
  b.model.tensors = {{{1, 6, 5, 3}, kFloat32, {}}, {{4, 3, 3, 3}, kFloat16, halfBytes(f.values)},
                     {{4, 3, 3, 3}, kFloat32, {}}, {{4}, kFloat16, halfBytes(bias.values)},
                     {{4}, kFloat32, {}},          {dims(b.expected.shape), kFloat32, {}}};
  OpDesc dq1 = builtin(kOpDequantize);
  dq1.inputs = {1};
  dq1.outputs = {2};
  OpDesc dq2 = builtin(kOpDequantize);
  dq2.inputs = {3};
  dq2.outputs = {4};
  OpDesc c = builtin(kOpConv2D, kConv2DOptions, convOptions(kSame, 1, 1));
  c.inputs = {0, 2, 4};
  c.outputs = {5};
  b.model.ops = {dq1, dq2, c};
  b.model.inputs = {0};
  b.model.outputs = {5};
  return b;
}

// A result that nothing reads, before the operator that makes the output.
Built deadBranch(std::mt19937& rng) {
  Built b = unary(rng, kOpRelu, {1, 4, 5, 3});
  const auto unread = static_cast<std::int32_t>(b.model.tensors.size());
  b.model.tensors.push_back({{1, 4, 5, 3}, kFloat32, {}});
  OpDesc add = builtin(kOpAdd, kAddOptions, activationOptions(kActNone));
  add.inputs = {0, 0};
  add.outputs = {unread};
  b.model.ops.insert(b.model.ops.begin(), add);
  return b;
}

struct DiffCase {
  const char* name;
  std::function<Built(std::mt19937&)> build;
};

using P = RefPadding;
using A = RefActivation;

const DiffCase kCases[] = {
    {"conv_same_stride1_bias",
     [](auto& r) {
       return conv(r, {1, 7, 9, 3}, 5, 3, 3, window(P::Same, 1, 1), true);
     }},
    {"conv_same_stride2_odd",
     [](auto& r) {
       return conv(r, {1, 9, 8, 4}, 6, 3, 3, window(P::Same, 2, 2), true);
     }},
    {"conv_same_stride2_even",
     [](auto& r) {
       return conv(r, {1, 8, 10, 3}, 4, 3, 3, window(P::Same, 2, 2), true);
     }},
    {"conv_valid_stride2",
     [](auto& r) {
       return conv(r, {1, 9, 8, 3}, 4, 3, 3, window(P::Valid, 2, 2), true);
     }},
    {"conv_1x1_no_bias_relu",
     [](auto& r) {
       return conv(r, {1, 5, 6, 8}, 7, 1, 1, window(P::Valid, 1, 1, A::Relu), false);
     }},
    {"conv_2x3_dilated_relu6",
     [](auto& r) {
       return conv(r, {1, 9, 9, 2}, 3, 2, 3, window(P::Same, 1, 1, A::Relu6, 2, 2), true);
     }},
    {"conv_unequal_strides_n1to1",
     [](auto& r) {
       return conv(r, {1, 8, 9, 3}, 2, 3, 2, window(P::Same, 2, 1, A::ReluN1To1), true);
     }},
    {"depthwise_same_stride1",
     [](auto& r) {
       return depthwise(r, {1, 7, 6, 5}, 1, 3, 3, window(P::Same, 1, 1), true);
     }},
    {"depthwise_same_stride2_5x5",
     [](auto& r) {
       return depthwise(r, {1, 9, 10, 4}, 1, 5, 5, window(P::Same, 2, 2), true);
     }},
    {"depthwise_valid_multiplier2",
     [](auto& r) {
       return depthwise(r, {1, 8, 7, 3}, 2, 3, 3, window(P::Valid, 2, 2, A::Relu), false);
     }},
    {"transpose_same_2x2_stride2",
     [](auto& r) {
       return transposed(r, {1, 5, 6, 4}, 1, 2, 2, P::Same, 2, 2);
     }},
    {"transpose_same_3x3_stride2_padded",
     [](auto& r) {
       return transposed(r, {1, 5, 4, 3}, 2, 3, 3, P::Same, 2, 2);
     }},
    {"transpose_valid_3x3_stride2",
     [](auto& r) {
       return transposed(r, {1, 4, 5, 2}, 3, 3, 3, P::Valid, 2, 2);
     }},
    {"transpose_same_4x4_stride3",
     [](auto& r) {
       return transposed(r, {1, 4, 3, 2}, 2, 4, 4, P::Same, 3, 3);
     }},
    {"add_same_shape_input_twice",
     [](auto& r) {
       return binary(r, true, {1, 4, 5, 6}, {1, 4, 5, 6}, A::None, false);
     }},
    {"add_broadcast_channels",
     [](auto& r) {
       return binary(r, true, {1, 4, 5, 6}, {1, 1, 1, 6}, A::None, true);
     }},
    {"add_broadcast_lower_rank_relu",
     [](auto& r) {
       return binary(r, true, {1, 4, 5, 6}, {6}, A::Relu, true);
     }},
    {"add_broadcast_both_ways",
     [](auto& r) {
       return binary(r, true, {1, 4, 1, 3}, {1, 1, 5, 3}, A::None, true);
     }},
    {"mul_same_shape",
     [](auto& r) {
       return binary(r, false, {1, 3, 4, 5}, {1, 3, 4, 5}, A::None, true);
     }},
    {"mul_broadcast_channels",
     [](auto& r) {
       return binary(r, false, {1, 16, 16, 16}, {1, 1, 1, 16}, A::None, true);
     }},
    {"mul_broadcast_rows_relu6",
     [](auto& r) {
       return binary(r, false, {1, 4, 5, 2}, {1, 4, 1, 1}, A::Relu6, true);
     }},
    {"relu",
     [](auto& r) {
       return unary(r, kOpRelu, {1, 5, 7, 3});
     }},
    {"hard_swish",
     [](auto& r) {
       return unary(r, kOpHardSwish, {1, 6, 7, 5});
     }},
    {"logistic",
     [](auto& r) {
       return unary(r, kOpLogistic, {1, 6, 7, 5});
     }},
    {"average_pool_global_valid",
     [](auto& r) {
       return averagePool(r, {1, 6, 7, 5}, P::Valid);
     }},
    {"average_pool_global_same",
     [](auto& r) {
       return averagePool(r, {1, 4, 4, 9}, P::Same);
     }},
    {"mean_axes_1_2",
     [](auto& r) {
       return mean(r, {1, 5, 6, 4}, {1, 2});
     }},
    {"mean_negative_axes",
     [](auto& r) {
       return mean(r, {1, 3, 8, 2}, {-2, -3});
     }},
    {"resize_half_pixel_2x",
     [](auto& r) {
       return resize(r, {1, 4, 5, 3}, 8, 10, false, true);
     }},
    {"resize_half_pixel_uneven",
     [](auto& r) {
       return resize(r, {1, 3, 4, 2}, 7, 5, false, true);
     }},
    {"resize_align_corners",
     [](auto& r) {
       return resize(r, {1, 4, 5, 3}, 7, 9, true, false);
     }},
    {"resize_legacy",
     [](auto& r) {
       return resize(r, {1, 4, 5, 3}, 6, 8, false, false);
     }},
    {"squeeze_excite",
     [](auto& r) {
       return squeezeExcite(r, {1, 8, 8, 16});
     }},
    {"pad_spatial_symmetric",
     [](auto& r) {
       return pad(r, {1, 5, 6, 3}, {0, 0, 1, 1, 1, 1, 0, 0});
     }},
    {"pad_spatial_two_pixels",
     [](auto& r) {
       return pad(r, {1, 4, 4, 8}, {0, 0, 2, 2, 2, 2, 0, 0});
     }},
    {"pad_uneven_with_channels",
     [](auto& r) {
       return pad(r, {1, 4, 5, 2}, {0, 0, 2, 0, 0, 3, 1, 2});
     }},
    {"pad_then_strided_depthwise", [](auto& r) { return padThenStridedDepthwise(r); }},
    {"fp16_weights_dequantized", [](auto& r) { return halfWeights(r); }},
    {"unread_result_left_out", [](auto& r) { return deadBranch(r); }},
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const DiffCase& c, std::ostream* os) { *os << c.name; }

class OperatorTest : public ::testing::TestWithParam<DiffCase> {};

TEST_P(OperatorTest, MatchesTheReference) {
  std::mt19937 rng(20260514);
  const Built b = GetParam().build(rng);
  const std::vector<std::uint8_t> bytes = writeModel(b.model);
  Graph graph;
  std::string error;
  ASSERT_TRUE(readTfliteModel(bytes, graph, error)) << error;
  for (std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    auto net = XnnNetwork::create(graph, threads, error);
    ASSERT_NE(net, nullptr) << error;
    ASSERT_EQ(net->outputShape(), b.expected.shape);
    ASSERT_EQ(net->inputSize(), b.input.values.size());
    std::copy(b.input.values.begin(), b.input.values.end(), net->input());
    ASSERT_TRUE(net->run(error)) << error;
    float worst = 0.0f;
    for (std::size_t i = 0; i < net->outputSize(); ++i) {
      worst = std::max(worst, std::fabs(net->output()[i] - b.expected.values[i]));
    }
    EXPECT_LE(worst, kTolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, OperatorTest, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

// A graph made directly, without a file, must pass the same checks before XNNPACK sees it.
TEST(XnnNetworkCreate, ValidatesTheGraphItself) {
  Graph graph;
  graph.tensors = {{{1, 2, 2, 1}, {}, false}, {{1, 2, 2, 2}, {}, false}};
  GraphOp relu;
  relu.kind = OpKind::Relu;
  relu.inputs = {0};
  relu.output = 1;
  graph.ops = {relu};
  graph.input = 0;
  graph.output = 1;
  std::string error;
  EXPECT_EQ(XnnNetwork::create(graph, 1, error), nullptr);
  EXPECT_NE(error.find("shape"), std::string::npos) << error;
}

}  // namespace
}  // namespace trelvo::matte::testing
