// The model reader: the real models as the engine sees them, and malformed or unsupported models
// refused with an error.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "test_files.h"
#include "tflite_reader.h"
#include "tflite_writer.h"

namespace trelvo::matte::testing {
namespace {

std::map<OpKind, int> countKinds(const Graph& graph) {
  std::map<OpKind, int> counts;
  for (const GraphOp& op : graph.ops) ++counts[op.kind];
  return counts;
}

TEST(ReadRealModel, GeneralModelHasTheKnownOperators) {
  Graph graph;
  std::string error;
  ASSERT_TRUE(
      readTfliteModel(readTestFile(testModelPath("selfie_segmentation.tflite")), graph, error))
      << error;
  EXPECT_EQ(graph.tensors.size(), 360u);
  // 246 operators, of which the 110 DEQUANTIZE are folded into constants.
  EXPECT_EQ(graph.ops.size(), 246u - 110u);
  const std::map<OpKind, int> expected = {{OpKind::Conv2D, 43},
                                          {OpKind::Relu, 22},
                                          {OpKind::Add, 14},
                                          {OpKind::HardSwish, 11},
                                          {OpKind::DepthwiseConv2D, 11},
                                          {OpKind::Logistic, 11},
                                          {OpKind::GlobalAveragePool, 10},
                                          {OpKind::Mul, 10},
                                          {OpKind::ResizeBilinear, 3},
                                          {OpKind::TransposeConvBias, 1}};
  EXPECT_EQ(countKinds(graph), expected);
  EXPECT_EQ(graph.tensors[static_cast<std::size_t>(graph.input)].shape,
            (std::vector<std::uint32_t>{1, 256, 256, 3}));
  EXPECT_EQ(graph.tensors[static_cast<std::size_t>(graph.output)].shape,
            (std::vector<std::uint32_t>{1, 256, 256, 1}));
  for (const GraphOp& op : graph.ops) {
    if (op.kind == OpKind::ResizeBilinear) {
      EXPECT_FALSE(op.alignCorners);
      EXPECT_TRUE(op.halfPixelCenters);
    }
    if (op.kind == OpKind::TransposeConvBias) {
      EXPECT_EQ(op.padding, Padding::Same);
      EXPECT_EQ(op.strideHeight, 2u);
      EXPECT_EQ(op.strideWidth, 2u);
    }
  }
}

TEST(ReadRealModel, LandscapeModelUsesMeanAsGlobalPooling) {
  Graph graph;
  std::string error;
  ASSERT_TRUE(readTfliteModel(readTestFile(testModelPath("selfie_segmentation_landscape.tflite")),
                              graph, error))
      << error;
  EXPECT_EQ(countKinds(graph)[OpKind::GlobalAveragePool], 10);
  EXPECT_EQ(graph.tensors[static_cast<std::size_t>(graph.input)].shape,
            (std::vector<std::uint32_t>{1, 144, 256, 3}));
  EXPECT_EQ(graph.tensors[static_cast<std::size_t>(graph.output)].shape,
            (std::vector<std::uint32_t>{1, 144, 256, 1}));
}

// The person model has five heads; only its segmentation output's part of the graph is read, and
// that part needs PAD besides the operators of the first model.
struct PersonModelCase {
  const char* file;
  std::size_t tensors;
  std::map<OpKind, int> kinds;  // empty: not pinned down
};

class PersonModelTest : public ::testing::TestWithParam<PersonModelCase> {};

TEST_P(PersonModelTest, SegmentationOutputIsReadWithWhatItNeeds) {
  const std::vector<std::uint8_t> model = readTestFile(testModelPath(GetParam().file));
  ASSERT_FALSE(model.empty());
  Graph graph;
  std::string error;
  ASSERT_TRUE(readTfliteModel(model, graph, error, "Identity_2")) << error;
  EXPECT_EQ(graph.tensors.size(), GetParam().tensors);
  EXPECT_EQ(graph.tensors[static_cast<std::size_t>(graph.input)].shape,
            (std::vector<std::uint32_t>{1, 256, 256, 3}));
  EXPECT_EQ(graph.tensors[static_cast<std::size_t>(graph.output)].shape,
            (std::vector<std::uint32_t>{1, 256, 256, 1}));
  const std::map<OpKind, int> kinds = countKinds(graph);
  if (!GetParam().kinds.empty()) {
    EXPECT_EQ(kinds, GetParam().kinds);
  }
  EXPECT_EQ(kinds.at(OpKind::Pad), 5);
  for (const GraphOp& op : graph.ops) {
    if (op.kind != OpKind::Pad) continue;
    // Symmetric spatial zeros of one or two pixels before a strided convolution.
    EXPECT_EQ(op.padBefore, op.padAfter);
    EXPECT_EQ(op.padBefore[0], 0u);
    EXPECT_EQ(op.padBefore[3], 0u);
    EXPECT_GE(op.padBefore[1], 1u);
    EXPECT_LE(op.padBefore[1], 2u);
    EXPECT_EQ(op.padBefore[1], op.padBefore[2]);
  }

  // With several outputs the one to compute must be named, and exist.
  Graph untouched;
  untouched.input = 77;
  EXPECT_FALSE(readTfliteModel(model, untouched, error));
  EXPECT_NE(error.find("exactly one input and one output"), std::string::npos) << error;
  EXPECT_FALSE(readTfliteModel(model, untouched, error, "Identity_9"));
  EXPECT_NE(error.find("no output named \"Identity_9\""), std::string::npos) << error;
  EXPECT_EQ(untouched.input, 77);
}

INSTANTIATE_TEST_SUITE_P(BothVariants, PersonModelTest,
                         ::testing::Values(PersonModelCase{"pose_landmark_full.tflite",
                                                           535,
                                                           {{OpKind::Conv2D, 42},
                                                            {OpKind::DepthwiseConv2D, 26},
                                                            {OpKind::Add, 17},
                                                            {OpKind::ResizeBilinear, 5},
                                                            {OpKind::Pad, 5}}},
                                           PersonModelCase{"pose_landmark_lite.tflite", 492, {}}),
                         [](const auto& param) {
                           return std::string(param.param.file).find("full") != std::string::npos
                                      ? "full"
                                      : "lite";
                         });

TEST(HalfToFloat, ConvertsEveryClassOfValue) {
  const struct {
    std::uint16_t half;
    float value;
  } cases[] = {{0x0000, 0.0f},     {0x3c00, 1.0f},
               {0xc000, -2.0f},    {0x7bff, 65504.0f},
               {0x0001, 0x1p-24f}, {0x03ff, 1023 * 0x1p-24f},
               {0x0400, 0x1p-14f}, {0x3555, 0.333251953125f},
               {0x7c00, INFINITY}, {0xfc00, -INFINITY}};
  for (const auto& c : cases) EXPECT_EQ(halfToFloat(c.half), c.value) << std::hex << c.half;
  EXPECT_TRUE(std::signbit(halfToFloat(0x8000)));
  EXPECT_TRUE(std::isnan(halfToFloat(0x7e00)));
  EXPECT_TRUE(std::isnan(halfToFloat(0xfc01)));
}

// A small valid model: convolution with bias, then LOGISTIC. Tensors: 0 input, 1 filter, 2 bias,
// 3 convolution output, 4 model output.
ModelDesc baseModel() {
  ModelDesc m;
  m.tensors = {{{1, 4, 4, 3}, kFloat32, {}},
               {{2, 3, 3, 3}, kFloat32, floatBytes(std::vector<float>(54, 0.1f))},
               {{2}, kFloat32, floatBytes({0.5f, -0.5f})},
               {{1, 4, 4, 2}, kFloat32, {}},
               {{1, 4, 4, 2}, kFloat32, {}}};
  OpDesc conv;
  conv.builtin = kOpConv2D;
  conv.optionsType = kConv2DOptions;
  conv.options = convOptions(kSame, 1, 1);
  conv.inputs = {0, 1, 2};
  conv.outputs = {3};
  OpDesc logistic;
  logistic.builtin = kOpLogistic;
  logistic.inputs = {3};
  logistic.outputs = {4};
  m.ops = {conv, logistic};
  m.inputs = {0};
  m.outputs = {4};
  return m;
}

// Replaces operator 0 with the transposed convolution over the same tensors.
void useTransposedConvolution(ModelDesc& m, std::vector<std::uint8_t> options, bool present) {
  m.tensors[1] = {{2, 2, 2, 3}, kFloat32, floatBytes(std::vector<float>(24, 0.1f))};
  m.tensors[3].shape = {1, 8, 8, 2};
  m.tensors[4].shape = {1, 8, 8, 2};
  OpDesc& op = m.ops[0];
  op.builtin = kOpCustom;
  op.custom = "Convolution2DTransposeBias";
  op.optionsType = 0;
  op.options = nullptr;
  op.hasCustomOptions = present;
  op.customOptions = std::move(options);
}

TEST(ReadModel, AcceptsTheBaseModels) {
  std::string error;
  Graph graph;
  ASSERT_TRUE(readTfliteModel(writeModel(baseModel()), graph, error)) << error;
  EXPECT_EQ(graph.ops.size(), 2u);
  ModelDesc transposed = baseModel();
  useTransposedConvolution(transposed, transposeOptions(1, 2, 2), true);
  ASSERT_TRUE(readTfliteModel(writeModel(transposed), graph, error)) << error;
  EXPECT_EQ(graph.ops[0].kind, OpKind::TransposeConvBias);
}

// Replaces operator 1 with PAD of tensor 3 by a paddings tensor (5) of the given shape and values.
void usePad(ModelDesc& m, std::vector<std::int32_t> shape, std::vector<std::int32_t> paddings) {
  m.tensors.push_back({std::move(shape), kInt32, intBytes(paddings)});
  m.ops[1] = OpDesc{};
  m.ops[1].builtin = kOpPad;
  m.ops[1].optionsType = kPadOptions;
  m.ops[1].options = FbTable().build();
  m.ops[1].inputs = {3, 5};
  m.ops[1].outputs = {4};
  m.tensors[4].shape = {1, 6, 6, 2};
}

TEST(ReadModel, AcceptsPadding) {
  ModelDesc m = baseModel();
  usePad(m, {4, 2}, {0, 0, 1, 1, 2, 0, 0, 0});
  Graph graph;
  std::string error;
  ASSERT_TRUE(readTfliteModel(writeModel(m), graph, error)) << error;
  ASSERT_EQ(graph.ops.size(), 2u);
  EXPECT_EQ(graph.ops[1].kind, OpKind::Pad);
  EXPECT_EQ(graph.ops[1].inputs, std::vector<std::int32_t>{3});
  EXPECT_EQ(graph.ops[1].padBefore, (std::array<std::uint32_t, 4>{0, 1, 2, 0}));
  EXPECT_EQ(graph.ops[1].padAfter, (std::array<std::uint32_t, 4>{0, 1, 0, 0}));
}

struct MalformedCase {
  const char* name;
  std::function<void(ModelDesc&)> mutate;
  const char* error;  // a part of the expected error text
};

OpDesc unaryOp(std::int32_t code, std::int32_t in, std::int32_t out) {
  OpDesc op;
  op.builtin = code;
  op.inputs = {in};
  op.outputs = {out};
  return op;
}

const MalformedCase kMalformed[] = {
    {"wrong_output_shape",
     [](ModelDesc& m) {
       m.tensors[3].shape = {1, 4, 4, 3};
     },
     "output shape"},
    {"filter_channels",
     [](ModelDesc& m) {
       m.tensors[1] = {{2, 3, 3, 2}, kFloat32, floatBytes(std::vector<float>(36, 0.1f))};
     },
     "does not fit"},
    {"bias_length",
     [](ModelDesc& m) {
       m.tensors[2] = {{3}, kFloat32, floatBytes({1, 2, 3})};
     },
     "bias shape"},
    {"buffer_shorter_than_shape", [](ModelDesc& m) { m.tensors[1].data.resize(50); },
     "buffer holds"},
    {"negative_dimension",
     [](ModelDesc& m) {
       m.tensors[0].shape = {1, -1, 4, 3};
     },
     "bad dimension"},
    {"rank_five",
     [](ModelDesc& m) {
       m.tensors[0].shape = {1, 1, 4, 4, 3};
     },
     "rank"},
    {"too_many_elements",
     [](ModelDesc& m) {
       m.tensors[3].shape = {1, 65536, 65536, 2};
     },
     "too many elements"},
    {"unknown_builtin_operator", [](ModelDesc& m) { m.ops[1].builtin = 99; },
     "unsupported operator 99"},
    {"max_pool_unsupported", [](ModelDesc& m) { m.ops[1].builtin = kOpMaxPool2D; },
     "unsupported operator 17"},
    {"unknown_custom_operator",
     [](ModelDesc& m) {
       m.ops[1].builtin = kOpCustom;
       m.ops[1].custom = "MaxPoolingWithArgmax2D";
     },
     "unsupported custom operator \"MaxPoolingWithArgmax2D\""},
    {"custom_options_too_short",
     [](ModelDesc& m) {
       useTransposedConvolution(m, transposeOptions(1, 2, 2), true);
       m.ops[0].customOptions.resize(11);
     },
     "shorter than 12 bytes"},
    {"custom_options_missing", [](ModelDesc& m) { useTransposedConvolution(m, {}, false); },
     "shorter than 12 bytes"},
    {"custom_padding_unknown",
     [](ModelDesc& m) { useTransposedConvolution(m, transposeOptions(0, 2, 2), true); },
     "unsupported padding 0"},
    {"custom_stride_zero",
     [](ModelDesc& m) { useTransposedConvolution(m, transposeOptions(1, 0, 2), true); }, "stride"},
    {"transposed_without_bias",
     [](ModelDesc& m) {
       useTransposedConvolution(m, transposeOptions(1, 2, 2), true);
       m.ops[0].inputs = {0, 1};
     },
     "inputs"},
    {"input_index_out_of_range", [](ModelDesc& m) { m.ops[0].inputs[0] = 57; },
     "input index out of range"},
    {"output_index_negative", [](ModelDesc& m) { m.ops[0].outputs = {-1}; },
     "output index out of range"},
    {"two_outputs",
     [](ModelDesc& m) {
       m.ops[0].outputs = {3, 4};
     },
     "exactly one output"},
    {"read_before_computed", [](ModelDesc& m) { std::swap(m.ops[0], m.ops[1]); },
     "read before it is computed"},
    {"computed_twice", [](ModelDesc& m) { m.ops.push_back(unaryOp(kOpRelu, 3, 4)); },
     "operator 2 (RELU): the output is computed twice"},
    {"error_names_the_file_operator",
     [](ModelDesc& m) {
       // The bias comes from fp16 behind DEQUANTIZE, which the reader folds away: the error still
       // counts operators as the file does.
       m.tensors[2].data.clear();
       m.tensors.push_back({{2}, kFloat16, {0, 0x3c, 0, 0xbc}});
       m.ops.insert(m.ops.begin(), unaryOp(kOpDequantize, 5, 2));
       m.tensors[3].shape = {1, 4, 4, 3};
     },
     "operator 1 (CONV_2D): the output shape [1,4,4,3] should be [1,4,4,2]"},
    {"writes_a_constant", [](ModelDesc& m) { m.ops[1].outputs = {2}; }, "output"},
    {"int8_tensor", [](ModelDesc& m) { m.tensors[4].type = kInt8; }, "unsupported tensor type 9"},
    {"buffer_index_out_of_range", [](ModelDesc& m) { m.badBufferTensor = 1; },
     "buffer index out of range"},
    {"two_subgraphs", [](ModelDesc& m) { m.subgraphs = 2; }, "2 subgraphs"},
    {"two_inputs",
     [](ModelDesc& m) {
       m.inputs = {0, 3};
     },
     "exactly one input"},
    {"no_outputs", [](ModelDesc& m) { m.outputs = {}; }, "exactly one input and one output"},
    {"schema_version", [](ModelDesc& m) { m.version = 2; }, "schema version 2"},
    {"fused_tanh", [](ModelDesc& m) { m.ops[0].options = convOptions(kSame, 1, 1, kActTanh); },
     "fused activation 4"},
    {"padding_code", [](ModelDesc& m) { m.ops[0].options = convOptions(7, 1, 1); },
     "unsupported padding 7"},
    {"zero_stride", [](ModelDesc& m) { m.ops[0].options = convOptions(kSame, 0, 1); },
     "bad stride 0"},
    {"no_conv_options",
     [](ModelDesc& m) {
       m.ops[0].optionsType = 0;
       m.ops[0].options = nullptr;
     },
     "bad stride 0"},
    {"options_of_another_type", [](ModelDesc& m) { m.ops[0].optionsType = kPool2DOptions; },
     "options of type 5"},
    {"dequantize_of_a_variable",
     [](ModelDesc& m) { m.ops.insert(m.ops.begin(), unaryOp(kOpDequantize, 0, 3)); }, "DEQUANTIZE"},
    {"average_pool_not_global",
     [](ModelDesc& m) {
       m.ops[1] = unaryOp(kOpAveragePool2D, 3, 4);
       m.ops[1].optionsType = kPool2DOptions;
       m.ops[1].options = poolOptions(kValid, 2, 2, 2, 2);
       m.tensors[4].shape = {1, 2, 2, 2};
     },
     "whole image"},
    {"mean_without_keep_dims",
     [](ModelDesc& m) {
       m.tensors.push_back({{2}, kInt32, intBytes({1, 2})});
       m.ops[1] = unaryOp(kOpMean, 3, 4);
       m.ops[1].inputs.push_back(5);
       m.ops[1].optionsType = kReducerOptions;
       m.ops[1].options = reducerOptions(false);
       m.tensors[4].shape = {1, 1, 1, 2};
     },
     "keep_dims"},
    {"mean_over_channels",
     [](ModelDesc& m) {
       m.tensors.push_back({{1}, kInt32, intBytes({3})});
       m.ops[1] = unaryOp(kOpMean, 3, 4);
       m.ops[1].inputs.push_back(5);
       m.ops[1].optionsType = kReducerOptions;
       m.ops[1].options = reducerOptions(true);
     },
     "MEAN over height and width"},
    {"resize_size_not_constant",
     [](ModelDesc& m) {
       m.tensors.push_back({{2}, kInt32, {}});
       m.ops[1] = unaryOp(kOpResizeBilinear, 3, 4);
       m.ops[1].inputs.push_back(5);
     },
     "constant int32"},
    {"resize_size_zero",
     [](ModelDesc& m) {
       m.tensors.push_back({{2}, kInt32, intBytes({0, 8})});
       m.ops[1] = unaryOp(kOpResizeBilinear, 3, 4);
       m.ops[1].inputs.push_back(5);
     },
     "bad height 0"},
    {"resize_both_modes",
     [](ModelDesc& m) {
       m.tensors.push_back({{2}, kInt32, intBytes({8, 8})});
       m.ops[1] = unaryOp(kOpResizeBilinear, 3, 4);
       m.ops[1].inputs.push_back(5);
       m.ops[1].optionsType = kResizeBilinearOptions;
       m.ops[1].options = resizeOptions(true, true);
       m.tensors[4].shape = {1, 8, 8, 2};
     },
     "cannot both be set"},
    {"add_shapes_do_not_broadcast",
     [](ModelDesc& m) {
       m.tensors.push_back({{3}, kFloat32, floatBytes({1, 2, 3})});
       m.ops[1] = unaryOp(kOpAdd, 3, 4);
       m.ops[1].inputs.push_back(5);
     },
     "do not broadcast"},
    {"float16_used_directly",
     [](ModelDesc& m) {
       m.tensors[2] = {{2}, kFloat16, {0, 0x3c, 0, 0x3c}};
     },
     "not float32"},
    {"model_input_is_constant",
     [](ModelDesc& m) { m.tensors[0].data = floatBytes(std::vector<float>(48, 0.0f)); },
     "model input is a constant"},
    {"model_output_not_computed", [](ModelDesc& m) { m.outputs = {1}; }, "not computed"},
    {"no_operators", [](ModelDesc& m) { m.ops.clear(); }, "no operators"},
    {"pad_paddings_not_constant",
     [](ModelDesc& m) {
       usePad(m, {4, 2}, {0, 0, 1, 1, 1, 1, 0, 0});
       m.tensors[5].data.clear();
     },
     "constant int32 tensor of shape [4,2]"},
    {"pad_paddings_wrong_shape",
     [](ModelDesc& m) {
       usePad(m, {8}, {0, 0, 1, 1, 1, 1, 0, 0});
     },
     "shape [4,2]"},
    {"pad_paddings_float",
     [](ModelDesc& m) {
       usePad(m, {4, 2}, {0, 0, 1, 1, 1, 1, 0, 0});
       m.tensors[5].type = kFloat32;
     },
     "constant int32 tensor"},
    {"pad_negative",
     [](ModelDesc& m) {
       usePad(m, {4, 2}, {0, 0, 2, 0, 1, 1, 0, -1});
     },
     "negative padding"},
    {"pad_beyond_the_limit",
     [](ModelDesc& m) {
       usePad(m, {4, 2}, {0, 0, 1, 1, 1, 1, 0, 0});
       m.tensors[5].data = intBytes({0, 0, 1, 1, 1, 1000000, 0, 0});
       m.tensors[4].shape = {1, 6, 1000005, 2};
     },
     "bad dimension"},
    {"pad_larger_than_its_limit",
     [](ModelDesc& m) {
       usePad(m, {4, 2}, {0, 0, 1, 1, 1, 2000, 0, 0});
       m.tensors[4].shape = {1, 6, 2005, 2};
     },
     "padding is larger than the limit"},
    {"pad_output_shape",
     [](ModelDesc& m) {
       usePad(m, {4, 2}, {0, 0, 1, 1, 1, 1, 0, 0});
       m.tensors[4].shape = {1, 6, 5, 2};
     },
     "operator 1 (PAD): the output shape [1,6,5,2] should be [1,6,6,2]"},
    {"pad_one_input",
     [](ModelDesc& m) {
       usePad(m, {4, 2}, {0, 0, 1, 1, 1, 1, 0, 0});
       m.ops[1].inputs = {3};
     },
     "PAD needs two inputs"},
};

// A model with two heads, the second through an operator the engine does not have: either head can
// be asked for by its tensor's name, and only what it needs is read.
TEST(ReadModel, ReadsOnlyWhatTheNamedOutputNeeds) {
  ModelDesc m = baseModel();
  m.tensors.push_back({{1, 2, 2, 2}, kFloat32, {}});
  m.ops.push_back(unaryOp(kOpMaxPool2D, 3, 5));
  m.outputs = {4, 5};
  const std::vector<std::uint8_t> bytes = writeModel(m);
  Graph graph;
  std::string error;
  EXPECT_FALSE(readTfliteModel(bytes, graph, error));
  EXPECT_NE(error.find("exactly one input and one output"), std::string::npos) << error;

  ASSERT_TRUE(readTfliteModel(bytes, graph, error, "tensor4")) << error;
  EXPECT_EQ(graph.output, 4);
  EXPECT_EQ(graph.ops.size(), 2u);

  EXPECT_FALSE(readTfliteModel(bytes, graph, error, "tensor5"));
  EXPECT_NE(error.find("operator 2: unsupported operator 17"), std::string::npos) << error;
  EXPECT_FALSE(readTfliteModel(bytes, graph, error, "tensor9"));
  EXPECT_NE(error.find("no output named \"tensor9\""), std::string::npos) << error;

  // A head that reads nothing the model computes is no head at all.
  ModelDesc constant = baseModel();
  constant.outputs = {4, 1};
  EXPECT_FALSE(readTfliteModel(writeModel(constant), graph, error, "tensor1"));
  EXPECT_NE(error.find("not computed"), std::string::npos) << error;
}

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedModelTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedModelTest, IsRefusedWithAClearError) {
  ModelDesc desc = baseModel();
  GetParam().mutate(desc);
  Graph graph;
  graph.input = 77;  // must survive a refusal untouched
  std::string error;
  EXPECT_FALSE(readTfliteModel(writeModel(desc), graph, error));
  EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
  EXPECT_EQ(graph.input, 77);
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedModelTest, ::testing::ValuesIn(kMalformed),
                         [](const auto& param) { return std::string(param.param.name); });

// Damage to the container itself, byte by byte.
TEST(MalformedBytes, RefusesBrokenContainers) {
  const std::vector<std::uint8_t> good = writeModel(baseModel());
  const struct {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    const char* error;
  } cases[] = {
      {"empty", [](auto& b) { b.clear(); }, "truncated"},
      {"identifier", [](auto& b) { b[4] = 'X'; }, "not a TFLite model"},
      {"root_offset_past_end", [](auto& b) { b[0] = b[1] = b[2] = b[3] = 0xff; }, "outside"},
      {"root_offset_at_end",
       [](auto& b) {
         const auto end = static_cast<std::uint32_t>(b.size() - 2);
         std::memcpy(b.data(), &end, 4);
       },
       "outside"},
      {"vtable_before_start",
       [](auto& b) {
         std::uint32_t root = 0;
         std::memcpy(&root, b.data(), 4);
         const std::int32_t far = 0x7fffffff;
         std::memcpy(b.data() + root, &far, 4);
       },
       "vtable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes = good;
    c.damage(bytes);
    Graph graph;
    std::string error;
    EXPECT_FALSE(readTfliteModel(bytes, graph, error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

TEST(MalformedBytes, RefusesTooLargeAModel) {
  std::vector<std::uint8_t> huge(kMaxModelBytes + 1, 0);
  const std::vector<std::uint8_t> good = writeModel(baseModel());
  std::copy(good.begin(), good.end(), huge.begin());
  Graph graph;
  std::string error;
  EXPECT_FALSE(readTfliteModel(huge, graph, error));
  EXPECT_NE(error.find("larger than the limit"), std::string::npos) << error;
}

struct DamageCase {
  const char* file;
  const char* output;   // the output to read
  std::size_t cutStep;  // bytes between the cuts tried
  int flips;            // random bit flips tried
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.file; }

class RealModelDamage : public ::testing::TestWithParam<DamageCase> {};

// Every cut of the real model is refused: the last bytes belong to a buffer the model uses.
TEST_P(RealModelDamage, TruncatedIsRefused) {
  const std::vector<std::uint8_t> model = readTestFile(testModelPath(GetParam().file));
  ASSERT_FALSE(model.empty());
  std::vector<std::size_t> cuts;
  for (std::size_t n = 0; n < model.size(); n += GetParam().cutStep) cuts.push_back(n);
  for (std::size_t n = model.size() - 64; n < model.size(); ++n) cuts.push_back(n);
  for (std::size_t n : cuts) {
    Graph graph;
    std::string error;
    EXPECT_FALSE(readTfliteModel(std::span(model.data(), n), graph, error, GetParam().output))
        << "cut at " << n;
    EXPECT_FALSE(error.empty());
  }
}

// Random bit flips: each damaged model is refused with an error or still a consistent graph; the
// many flips that land in the structure must be refused.
TEST_P(RealModelDamage, BitFlipsAreRefusedOrHarmless) {
  std::vector<std::uint8_t> model = readTestFile(testModelPath(GetParam().file));
  const char* output = GetParam().output;
  ASSERT_FALSE(model.empty());
  // Each flip is made in place and undone after the read.
  auto flip = [&](std::size_t bit) {
    model[bit / 8] = static_cast<std::uint8_t>(model[bit / 8] ^ (1u << (bit % 8)));
  };
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> where(0, model.size() * 8 - 1);
  int refused = 0;
  for (int i = 0; i < GetParam().flips; ++i) {
    const std::size_t bit = where(rng);
    flip(bit);
    Graph graph;
    std::string error;
    if (readTfliteModel(model, graph, error, output)) {
      EXPECT_TRUE(validateGraph(graph, error)) << error;
    } else {
      EXPECT_FALSE(error.empty());
      ++refused;
    }
    flip(bit);
  }
  EXPECT_GT(refused, 0);
  EXPECT_LT(refused, GetParam().flips);  // flips inside the weights leave a valid model
  // Flips in the header always break it.
  for (std::size_t bit = 0; bit < 64; ++bit) {
    flip(bit);
    Graph graph;
    std::string error;
    EXPECT_FALSE(readTfliteModel(model, graph, error, output)) << "bit " << bit;
    flip(bit);
  }
}

// The person model is 26 times the size of the first, and a read of it takes as much longer: fewer
// cuts and flips.
INSTANTIATE_TEST_SUITE_P(
    EveryModel, RealModelDamage,
    ::testing::Values(DamageCase{"selfie_segmentation.tflite", "", 997, 400},
                      DamageCase{"selfie_segmentation_landscape.tflite", "", 997, 400},
                      DamageCase{"pose_landmark_full.tflite", "Identity_2", 65521, 150}),
    [](const auto& param) {
      const std::string file = param.param.file;
      return file.substr(0, file.find('.'));
    });

}  // namespace
}  // namespace trelvo::matte::testing
