#include "tflite_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace trelvo::matte::testing {

struct FbNode {
  enum class Kind { Table, Bytes, Tables };
  Kind kind = Kind::Table;
  struct Field {
    bool present = false;
    std::vector<std::uint8_t> bytes;
    FbRef child;
  };
  std::vector<Field> fields;        // Table
  std::vector<std::uint8_t> bytes;  // Bytes: the elements, already encoded
  std::uint32_t length = 0;         // Bytes: element count
  bool terminated = false;          // Bytes: a string's trailing NUL
  std::vector<FbRef> items;         // Tables
};

namespace {

void align(std::vector<std::uint8_t>& out, std::size_t alignment) {
  while (out.size() % alignment != 0) out.push_back(0);
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xff));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void patch32(std::vector<std::uint8_t>& out, std::size_t pos, std::uint32_t v) {
  std::memcpy(out.data() + pos, &v, 4);
}

std::size_t emit(std::vector<std::uint8_t>& out, const FbNode& node) {
  switch (node.kind) {
    case FbNode::Kind::Table: {
      align(out, 4);
      const std::size_t vtable = out.size();
      std::size_t present = 0;
      for (const auto& f : node.fields) present += f.present ? 1 : 0;
      put16(out, static_cast<std::uint16_t>(4 + 2 * node.fields.size()));
      put16(out, static_cast<std::uint16_t>(4 + 4 * present));
      std::uint16_t slot = 4;
      for (const auto& f : node.fields) {
        put16(out, f.present ? slot : 0);
        if (f.present) slot = static_cast<std::uint16_t>(slot + 4);
      }
      align(out, 4);
      const std::size_t table = out.size();
      put32(out, static_cast<std::uint32_t>(table - vtable));
      std::vector<std::pair<std::size_t, FbRef>> children;
      for (const auto& f : node.fields) {
        if (!f.present) continue;
        const std::size_t at = out.size();
        if (f.child) {
          put32(out, 0);
          children.emplace_back(at, f.child);
        } else {
          out.insert(out.end(), f.bytes.begin(), f.bytes.end());
          align(out, 4);
        }
      }
      for (const auto& [at, child] : children) {
        const std::size_t to = emit(out, *child);
        patch32(out, at, static_cast<std::uint32_t>(to - at));
      }
      return table;
    }
    case FbNode::Kind::Bytes: {
      // Element data 16-byte aligned, as the real files keep their buffers.
      while ((out.size() + 4) % 16 != 0) out.push_back(0);
      const std::size_t at = out.size();
      put32(out, node.length);
      out.insert(out.end(), node.bytes.begin(), node.bytes.end());
      if (node.terminated) out.push_back(0);
      return at;
    }
    case FbNode::Kind::Tables: {
      align(out, 4);
      const std::size_t at = out.size();
      put32(out, static_cast<std::uint32_t>(node.items.size()));
      for (std::size_t i = 0; i < node.items.size(); ++i) put32(out, 0);
      for (std::size_t i = 0; i < node.items.size(); ++i) {
        const std::size_t slot = at + 4 + 4 * i;
        const std::size_t to = emit(out, *node.items[i]);
        patch32(out, slot, static_cast<std::uint32_t>(to - slot));
      }
      return at;
    }
  }
  return 0;
}

}  // namespace

FbTable& FbTable::scalar(unsigned slot, const void* bytes, std::size_t size) {
  if (fields_.size() <= slot) fields_.resize(slot + 1);
  fields_[slot].present = true;
  fields_[slot].bytes.assign(static_cast<const std::uint8_t*>(bytes),
                             static_cast<const std::uint8_t*>(bytes) + size);
  fields_[slot].child.reset();
  return *this;
}

FbTable& FbTable::ref(unsigned slot, FbRef child) {
  if (fields_.size() <= slot) fields_.resize(slot + 1);
  fields_[slot].present = true;
  fields_[slot].bytes.clear();
  fields_[slot].child = std::move(child);
  return *this;
}

FbRef FbTable::build() const {
  auto node = std::make_shared<FbNode>();
  node->kind = FbNode::Kind::Table;
  for (const Field& f : fields_) node->fields.push_back({f.present, f.bytes, f.child});
  return node;
}

FbRef fbString(const std::string& text) {
  auto node = std::make_shared<FbNode>();
  node->kind = FbNode::Kind::Bytes;
  node->bytes.assign(text.begin(), text.end());
  node->length = static_cast<std::uint32_t>(text.size());
  node->terminated = true;
  return node;
}

FbRef fbBytes(const std::vector<std::uint8_t>& bytes) {
  auto node = std::make_shared<FbNode>();
  node->kind = FbNode::Kind::Bytes;
  node->bytes = bytes;
  node->length = static_cast<std::uint32_t>(bytes.size());
  return node;
}

FbRef fbInts(const std::vector<std::int32_t>& values) {
  auto node = std::make_shared<FbNode>();
  node->kind = FbNode::Kind::Bytes;
  node->bytes = intBytes(values);
  node->length = static_cast<std::uint32_t>(values.size());
  return node;
}

FbRef fbTables(const std::vector<FbRef>& tables) {
  auto node = std::make_shared<FbNode>();
  node->kind = FbNode::Kind::Tables;
  node->items = tables;
  return node;
}

std::vector<std::uint8_t> fbFinish(const FbRef& root, const char identifier[4]) {
  std::vector<std::uint8_t> out;
  put32(out, 0);
  out.insert(out.end(), identifier, identifier + 4);
  const std::size_t at = emit(out, *root);
  patch32(out, 0, static_cast<std::uint32_t>(at));
  return out;
}

std::vector<std::uint8_t> floatBytes(const std::vector<float>& values) {
  std::vector<std::uint8_t> out(values.size() * 4);
  if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

std::vector<std::uint8_t> intBytes(const std::vector<std::int32_t>& values) {
  std::vector<std::uint8_t> out(values.size() * 4);
  if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

std::vector<std::uint8_t> writeModel(const ModelDesc& desc) {
  std::vector<std::pair<std::int32_t, std::string>> codes;
  std::vector<FbRef> operators;
  for (const OpDesc& op : desc.ops) {
    const std::pair<std::int32_t, std::string> key{op.builtin, op.custom};
    auto found = std::find(codes.begin(), codes.end(), key);
    if (found == codes.end()) found = codes.insert(codes.end(), key);
    FbTable t;
    t.u32(kOperatorOpcodeIndex, static_cast<std::uint32_t>(found - codes.begin()))
        .ref(kOperatorInputs, fbInts(op.inputs))
        .ref(kOperatorOutputs, fbInts(op.outputs));
    if (op.optionsType != kOptionsNone) t.u8(kOperatorBuiltinOptionsType, op.optionsType);
    if (op.options) t.ref(kOperatorBuiltinOptions, op.options);
    if (op.hasCustomOptions) t.ref(kOperatorCustomOptions, fbBytes(op.customOptions));
    operators.push_back(t.build());
  }
  std::vector<FbRef> codeTables;
  for (const auto& [builtin, custom] : codes) {
    FbTable t;
    t.i8(kOperatorCodeDeprecatedBuiltinCode, static_cast<std::int8_t>(std::min(builtin, 127)))
        .i32(kOperatorCodeVersion, 1)
        .i32(kOperatorCodeBuiltinCode, builtin);
    if (!custom.empty()) t.ref(kOperatorCodeCustomCode, fbString(custom));
    codeTables.push_back(t.build());
  }
  std::vector<FbRef> buffers{FbTable().build()};
  std::vector<FbRef> tensors;
  for (std::size_t i = 0; i < desc.tensors.size(); ++i) {
    const TensorDesc& ts = desc.tensors[i];
    std::uint32_t buffer = 0;
    if (!ts.data.empty()) {
      buffer = static_cast<std::uint32_t>(buffers.size());
      buffers.push_back(FbTable().ref(kBufferData, fbBytes(ts.data)).build());
    }
    if (static_cast<std::int32_t>(i) == desc.badBufferTensor) buffer = 1000;
    tensors.push_back(
        FbTable()
            .ref(kTensorShape, fbInts(ts.shape))
            .i8(kTensorType, ts.type)
            .u32(kTensorBuffer, buffer)
            .ref(kTensorName, fbString(desc.names.count(i) != 0 ? desc.names.at(i)
                                                                : "tensor" + std::to_string(i)))
            .build());
  }
  const FbRef subgraph = FbTable()
                             .ref(kSubGraphTensors, fbTables(tensors))
                             .ref(kSubGraphInputs, fbInts(desc.inputs))
                             .ref(kSubGraphOutputs, fbInts(desc.outputs))
                             .ref(kSubGraphOperators, fbTables(operators))
                             .ref(kSubGraphName, fbString("main"))
                             .build();
  const FbRef model =
      FbTable()
          .u32(kModelVersion, desc.version)
          .ref(kModelOperatorCodes, fbTables(codeTables))
          .ref(kModelSubgraphs,
               fbTables(std::vector<FbRef>(static_cast<std::size_t>(desc.subgraphs), subgraph)))
          .ref(kModelDescription, fbString("test model"))
          .ref(kModelBuffers, fbTables(buffers))
          .build();
  return fbFinish(model, kFileIdentifier);
}

FbRef convOptions(std::int8_t padding, std::int32_t strideW, std::int32_t strideH,
                  std::int8_t activation, std::int32_t dilationW, std::int32_t dilationH) {
  return FbTable()
      .i8(kConv2DPadding, padding)
      .i32(kConv2DStrideW, strideW)
      .i32(kConv2DStrideH, strideH)
      .i8(kConv2DFusedActivation, activation)
      .i32(kConv2DDilationWFactor, dilationW)
      .i32(kConv2DDilationHFactor, dilationH)
      .build();
}

FbRef depthwiseOptions(std::int8_t padding, std::int32_t strideW, std::int32_t strideH,
                       std::int32_t multiplier, std::int8_t activation, std::int32_t dilationW,
                       std::int32_t dilationH) {
  return FbTable()
      .i8(kDepthwiseConv2DPadding, padding)
      .i32(kDepthwiseConv2DStrideW, strideW)
      .i32(kDepthwiseConv2DStrideH, strideH)
      .i32(kDepthwiseConv2DDepthMultiplier, multiplier)
      .i8(kDepthwiseConv2DFusedActivation, activation)
      .i32(kDepthwiseConv2DDilationWFactor, dilationW)
      .i32(kDepthwiseConv2DDilationHFactor, dilationH)
      .build();
}

FbRef poolOptions(std::int8_t padding, std::int32_t strideW, std::int32_t strideH,
                  std::int32_t filterW, std::int32_t filterH, std::int8_t activation) {
  return FbTable()
      .i8(kPool2DPadding, padding)
      .i32(kPool2DStrideW, strideW)
      .i32(kPool2DStrideH, strideH)
      .i32(kPool2DFilterWidth, filterW)
      .i32(kPool2DFilterHeight, filterH)
      .i8(kPool2DFusedActivation, activation)
      .build();
}

// AddOptions and MulOptions keep the activation in the same slot.
FbRef activationOptions(std::int8_t activation) {
  return FbTable().i8(kAddFusedActivation, activation).build();
}

FbRef resizeOptions(bool alignCorners, bool halfPixelCenters) {
  return FbTable()
      .u8(kResizeBilinearAlignCorners, alignCorners ? 1 : 0)
      .u8(kResizeBilinearHalfPixelCenters, halfPixelCenters ? 1 : 0)
      .build();
}

FbRef reducerOptions(bool keepDims) {
  return FbTable().u8(kReducerKeepDims, keepDims ? 1 : 0).build();
}

std::vector<std::uint8_t> transposeOptions(std::int32_t padding, std::int32_t strideW,
                                           std::int32_t strideH) {
  return intBytes({padding, strideW, strideH});
}

}  // namespace trelvo::matte::testing
