// A small TFLite flatbuffer writer for the tests: builds single-operator models and deliberately
// broken ones. Objects are laid out parents first, so every offset points forward.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tflite_schema.h"

namespace trelvo::matte::testing {

struct FbNode;
using FbRef = std::shared_ptr<const FbNode>;

// A table under construction; `slot` is a field's number in the schema (see tflite_schema.h).
class FbTable {
 public:
  FbTable& i8(unsigned slot, std::int8_t v) { return scalar(slot, &v, 1); }
  FbTable& u8(unsigned slot, std::uint8_t v) { return scalar(slot, &v, 1); }
  FbTable& i32(unsigned slot, std::int32_t v) { return scalar(slot, &v, 4); }
  FbTable& u32(unsigned slot, std::uint32_t v) { return scalar(slot, &v, 4); }
  FbTable& ref(unsigned slot, FbRef child);
  FbRef build() const;

 private:
  FbTable& scalar(unsigned slot, const void* bytes, std::size_t size);
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

// The schema's values and field slots, the same the reader reads.
using namespace ::trelvo::matte::tflite;

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
  std::uint8_t optionsType = kOptionsNone;
  FbRef options;
  bool hasCustomOptions = false;
  std::vector<std::uint8_t> customOptions;
};

struct ModelDesc {
  std::vector<TensorDesc> tensors;
  std::vector<OpDesc> ops;
  std::vector<std::int32_t> inputs;
  std::vector<std::int32_t> outputs;
  std::uint32_t version = kSchemaVersion;
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
