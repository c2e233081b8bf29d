// A small TFLite flatbuffer writer for the tests: builds single-operator models and deliberately
// broken ones. Objects are laid out parents first, so every offset points forward.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace trelvo::matte::testing {

struct FbNode;
using FbRef = std::shared_ptr<const FbNode>;

// A table under construction; fields are numbered as in the schema.
class FbTable {
 public:
  FbTable& i8(unsigned id, std::int8_t v) { return scalar(id, &v, 1); }
  FbTable& u8(unsigned id, std::uint8_t v) { return scalar(id, &v, 1); }
  FbTable& i32(unsigned id, std::int32_t v) { return scalar(id, &v, 4); }
  FbTable& u32(unsigned id, std::uint32_t v) { return scalar(id, &v, 4); }
  FbTable& ref(unsigned id, FbRef child);
  FbRef build() const;

 private:
  FbTable& scalar(unsigned id, const void* bytes, std::size_t size);
  struct Field {
    bool present = false;
    std::vector<std::uint8_t> bytes;
    FbRef child;
  };
  std::vector<Field> fields_;
};

FbRef fbString(const std::string& text);
FbRef fbBytes(const std::vector<std::uint8_t>& bytes);
FbRef fbInts(const std::vector<std::int32_t>& values);
FbRef fbTables(const std::vector<FbRef>& tables);
// The finished buffer: root offset, file identifier, then the objects.
std::vector<std::uint8_t> fbFinish(const FbRef& root, const char identifier[4]);

// Schema values used by the tests.
enum : std::int32_t {
  kOpAdd = 0,
  kOpAveragePool2D = 1,
  kOpConv2D = 3,
  kOpDepthwiseConv2D = 4,
  kOpDequantize = 6,
  kOpLogistic = 14,
  kOpMaxPool2D = 17,
  kOpMul = 18,
  kOpRelu = 19,
  kOpResizeBilinear = 23,
  kOpCustom = 32,
  kOpPad = 34,
  kOpMean = 40,
  kOpHardSwish = 117,
};
enum : std::uint8_t {
  kConv2DOptions = 1,
  kDepthwiseConv2DOptions = 2,
  kPool2DOptions = 5,
  kAddOptions = 11,
  kResizeBilinearOptions = 15,
  kMulOptions = 21,
  kPadOptions = 22,
  kReducerOptions = 27,
};
enum : std::int8_t { kFloat32 = 0, kFloat16 = 1, kInt32 = 2, kInt8 = 9 };
enum : std::int8_t { kSame = 0, kValid = 1 };
enum : std::int8_t { kActNone = 0, kActRelu = 1, kActReluN1To1 = 2, kActRelu6 = 3, kActTanh = 4 };

struct TensorDesc {
  std::vector<std::int32_t> shape;
  std::int8_t type = kFloat32;
  std::vector<std::uint8_t> data;  // empty: not a constant
};

struct OpDesc {
  std::int32_t builtin = kOpRelu;
  std::string custom;
  std::vector<std::int32_t> inputs;
  std::vector<std::int32_t> outputs;
  std::uint8_t optionsType = 0;
  FbRef options;
  bool hasCustomOptions = false;
  std::vector<std::uint8_t> customOptions;
};

struct ModelDesc {
  std::vector<TensorDesc> tensors;
  std::vector<OpDesc> ops;
  std::vector<std::int32_t> inputs;
  std::vector<std::int32_t> outputs;
  std::uint32_t version = 3;
  int subgraphs = 1;
  // Overrides the buffer index of one tensor, for out-of-range tests; -1 leaves all alone.
  std::int32_t badBufferTensor = -1;
  // Names of tensors by index; the others are "tensor" and their index.
  std::map<std::size_t, std::string> names;
};

std::vector<std::uint8_t> writeModel(const ModelDesc& desc);

std::vector<std::uint8_t> floatBytes(const std::vector<float>& values);
std::vector<std::uint8_t> intBytes(const std::vector<std::int32_t>& values);

FbRef convOptions(std::int8_t padding, std::int32_t strideW, std::int32_t strideH,
                  std::int8_t activation = kActNone, std::int32_t dilationW = 1,
                  std::int32_t dilationH = 1);
FbRef depthwiseOptions(std::int8_t padding, std::int32_t strideW, std::int32_t strideH,
                       std::int32_t multiplier, std::int8_t activation = kActNone,
                       std::int32_t dilationW = 1, std::int32_t dilationH = 1);
FbRef poolOptions(std::int8_t padding, std::int32_t strideW, std::int32_t strideH,
                  std::int32_t filterW, std::int32_t filterH, std::int8_t activation = kActNone);
FbRef activationOptions(std::int8_t activation);
FbRef resizeOptions(bool alignCorners, bool halfPixelCenters);
FbRef reducerOptions(bool keepDims);
// Custom options of the transposed convolution: padding (1 SAME, 2 VALID), strides.
std::vector<std::uint8_t> transposeOptions(std::int32_t padding, std::int32_t strideW,
                                           std::int32_t strideH);

}  // namespace trelvo::matte::testing
