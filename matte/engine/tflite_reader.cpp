#include "tflite_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

#include "flatbuffer.h"
#include "tflite_schema.h"

namespace trelvo::matte {

namespace {

using namespace tflite;

constexpr const char kTransposeConvName[] = "Convolution2DTransposeBias";
constexpr std::size_t kMaxOperatorTensors = 8;
constexpr std::size_t kMaxNameShown = 64;

// Where a table of convolution options keeps each field: the depthwise table has
// depth_multiplier before the activation, which shifts the later fields.
struct ConvolutionSlots {
  unsigned padding, strideW, strideH, activation, dilationW, dilationH;
};
constexpr ConvolutionSlots kConv2DSlots{kConv2DPadding,         kConv2DStrideW,
                                        kConv2DStrideH,         kConv2DFusedActivation,
                                        kConv2DDilationWFactor, kConv2DDilationHFactor};
constexpr ConvolutionSlots kDepthwiseConv2DSlots{
    kDepthwiseConv2DPadding,         kDepthwiseConv2DStrideW,
    kDepthwiseConv2DStrideH,         kDepthwiseConv2DFusedActivation,
    kDepthwiseConv2DDilationWFactor, kDepthwiseConv2DDilationHFactor};

// A tensor as the file declares it, before conversion.
struct RawTensor {
  std::vector<std::uint32_t> shape;
  std::int8_t type = kFloat32;
  std::span<const std::uint8_t> data;  // empty unless the tensor is a constant
};

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, kMaxNameShown)) {
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return out;
}

class Reader {
 public:
  Reader(std::span<const std::uint8_t> bytes, std::string_view outputName)
      : fb_(bytes, error_), outputName_(outputName) {}

  bool read(Graph& graph) {
    if (fb_.size() > kMaxModelBytes) return fail("the model is larger than the limit");
    if (fb_.size() < 8) return fail("the model is truncated");
    if (!fb_.hasIdentifier(kFileIdentifier)) return fail("not a TFLite model");
    std::uint32_t rootOffset = 0;
    FlatTable model;
    if (!fb_.load(0, rootOffset) || !fb_.table(rootOffset, model)) return fail("bad root table");

    std::uint32_t version = 0;
    if (!fb_.scalar(model, kModelVersion, std::uint32_t{0}, version)) return false;
    if (version != kSchemaVersion)
      return fail("unsupported schema version " + std::to_string(version));

    FlatVector codes, subgraphs, buffers;
    if (!fb_.vector(model, kModelOperatorCodes, 4, codes) ||
        !fb_.vector(model, kModelSubgraphs, 4, subgraphs) ||
        !fb_.vector(model, kModelBuffers, 4, buffers)) {
      return false;
    }
    if (subgraphs.length != 1) {
      return fail("the model has " + std::to_string(subgraphs.length) +
                  " subgraphs; exactly one is supported");
    }
    if (codes.length > kMaxOperators) return fail("too many operator codes");
    if (buffers.length > 2 * kMaxTensors + 1) return fail("too many buffers");
    if (!readOperatorCodes(codes)) return false;

    FlatTable subgraph;
    if (!fb_.tableAt(subgraphs, 0, subgraph)) return false;
    FlatVector tensors, inputs, outputs, operators;
    if (!fb_.vector(subgraph, kSubGraphTensors, 4, tensors) ||
        !fb_.vector(subgraph, kSubGraphInputs, 4, inputs) ||
        !fb_.vector(subgraph, kSubGraphOutputs, 4, outputs) ||
        !fb_.vector(subgraph, kSubGraphOperators, 4, operators)) {
      return false;
    }
    if (tensors.length > kMaxTensors) return fail("too many tensors");
    if (operators.length > kMaxOperators) return fail("too many operators");
    if (inputs.length != 1 || outputs.length == 0 || (outputName_.empty() && outputs.length != 1)) {
      return fail("the model must have exactly one input and one output");
    }
    if (outputs.length > kMaxTensors) return fail("too many outputs");

    Graph out;
    raw_.resize(tensors.length);
    out.tensors.resize(tensors.length);
    for (std::uint32_t i = 0; i < tensors.length; ++i) {
      error_.context = "tensor " + std::to_string(i) + ": ";
      if (!readTensor(tensors, buffers, i, out.tensors[i])) return false;
    }
    error_.context.clear();
    out.input = fb_.element<std::int32_t>(inputs, 0);
    if (!chooseOutput(tensors, outputs, out.output)) return false;
    if (!floatTensor(out.input) || !floatTensor(out.output)) {
      return fail("the model input and output must be float32 tensors");
    }

    std::vector<RawOperator> ops(operators.length);
    for (std::uint32_t i = 0; i < operators.length; ++i) {
      error_.context = "operator " + std::to_string(i) + ": ";
      if (!fb_.tableAt(operators, i, ops[i].table) || !readOperatorHeader(ops[i])) return false;
    }
    error_.context.clear();
    // Only what the chosen output depends on is converted: a model with several heads may use
    // operators on the others that the engine does not support.
    const std::vector<bool> live = liveOperators(ops, out.output);
    if (!ops.empty() && std::find(live.begin(), live.end(), true) == live.end()) {
      return fail("the model output is not computed by any operator");
    }
    for (std::uint32_t i = 0; i < operators.length; ++i) {
      if (!live[i]) continue;
      error_.context = "operator " + std::to_string(i) + ": ";
      if (!readOperator(ops[i], i, out)) return false;
    }
    error_.context.clear();

    std::string invalid;
    if (!validateGraph(out, invalid)) return fail(invalid);
    graph = std::move(out);
    return true;
  }

  const std::string& error() const { return error_.text; }

 private:
  struct OperatorCode {
    std::int32_t builtin = 0;
    std::string custom;
  };

  // An operator's table and the tensors it reads and writes, before conversion.
  struct RawOperator {
    FlatTable table;
    std::uint32_t codeIndex = 0;
    std::vector<std::int32_t> inputs;
    std::vector<std::int32_t> outputs;
  };

  // The output to compute: the only one, or the one whose tensor carries the requested name.
  bool chooseOutput(const FlatVector& tensors, const FlatVector& outputs, std::int32_t& chosen) {
    if (outputName_.empty()) {
      chosen = fb_.element<std::int32_t>(outputs, 0);
      return true;
    }
    for (std::uint32_t i = 0; i < outputs.length; ++i) {
      const std::int32_t index = fb_.element<std::int32_t>(outputs, i);
      if (!validTensor(index)) return fail("an output index is out of range");
      FlatTable t;
      std::string name;
      if (!fb_.tableAt(tensors, static_cast<std::size_t>(index), t) ||
          !fb_.string(t, kTensorName, name)) {
        return false;
      }
      if (name == outputName_) {
        chosen = index;
        return true;
      }
    }
    return fail("the model has no output named \"" + printable(outputName_) + "\"");
  }

  // Operators whose results the output needs, found backwards from it. Every writer of a needed
  // tensor counts, so a tensor written twice is still reported as such.
  std::vector<bool> liveOperators(const std::vector<RawOperator>& ops, std::int32_t output) const {
    std::vector<bool> live(ops.size(), false);
    std::vector<bool> needed(raw_.size(), false);
    needed[static_cast<std::size_t>(output)] = true;
    for (std::size_t n = ops.size(); n-- > 0;) {
      for (std::int32_t index : ops[n].outputs) {
        if (needed[static_cast<std::size_t>(index)]) live[n] = true;
      }
      if (!live[n]) continue;
      for (std::int32_t index : ops[n].inputs) {
        if (index != kNoTensor) needed[static_cast<std::size_t>(index)] = true;
      }
    }
    return live;
  }

  bool fail(const std::string& text) { return error_.fail(text); }

  bool readOperatorCodes(const FlatVector& codes) {
    codes_.resize(codes.length);
    for (std::uint32_t i = 0; i < codes.length; ++i) {
      error_.context = "operator code " + std::to_string(i) + ": ";
      FlatTable code;
      std::int8_t deprecated = 0;
      std::int32_t builtin = 0;
      if (!fb_.tableAt(codes, i, code) ||
          !fb_.scalar(code, kOperatorCodeDeprecatedBuiltinCode, std::int8_t{0}, deprecated) ||
          !fb_.string(code, kOperatorCodeCustomCode, codes_[i].custom) ||
          !fb_.scalar(code, kOperatorCodeBuiltinCode, std::int32_t{0}, builtin)) {
        return false;
      }
      // Older files carry the code in the deprecated byte only; newer ones in both fields.
      codes_[i].builtin = std::max<std::int32_t>(deprecated, builtin);
    }
    error_.context.clear();
    return true;
  }

  bool readTensor(const FlatVector& tensors, const FlatVector& buffers, std::uint32_t i,
                  GraphTensor& out) {
    FlatTable t;
    FlatVector shape;
    std::int8_t type = 0;
    std::uint32_t bufferIndex = 0;
    if (!fb_.tableAt(tensors, i, t) || !fb_.vector(t, kTensorShape, 4, shape) ||
        !fb_.scalar(t, kTensorType, std::int8_t{0}, type) ||
        !fb_.scalar(t, kTensorBuffer, std::uint32_t{0}, bufferIndex)) {
      return false;
    }
    if (shape.length > kMaxRank) return fail("unsupported rank " + std::to_string(shape.length));
    RawTensor& raw = raw_[i];
    for (std::uint32_t d = 0; d < shape.length; ++d) {
      const std::int32_t dim = fb_.element<std::int32_t>(shape, d);
      if (dim < 1 || static_cast<std::uint32_t>(dim) > kMaxDimension) {
        return fail("bad dimension " + std::to_string(dim));
      }
      raw.shape.push_back(static_cast<std::uint32_t>(dim));
    }
    const std::size_t elements = elementCount(raw.shape);
    if (elements == 0) return fail("too many elements");
    std::size_t elementSize = 0;
    switch (type) {
      case kFloat32:
        elementSize = 4;
        break;
      case kFloat16:
        elementSize = 2;
        break;
      case kInt32:
        elementSize = 4;
        break;
      default:
        return fail("unsupported tensor type " + std::to_string(type));
    }
    raw.type = type;
    if (bufferIndex >= buffers.length) return fail("buffer index out of range");
    FlatTable buffer;
    FlatVector data;
    if (!fb_.tableAt(buffers, bufferIndex, buffer) || !fb_.vector(buffer, kBufferData, 1, data)) {
      return false;
    }
    if (data.length != 0) {
      if (data.length != elements * elementSize) {
        return fail("the buffer holds " + std::to_string(data.length) + " bytes, not " +
                    std::to_string(elements * elementSize));
      }
      raw.data = fb_.bytes(data);
    }
    out.shape = raw.shape;
    if (type == kFloat32 && !raw.data.empty()) {
      out.constant = true;
      out.data.resize(elements);
      std::memcpy(out.data.data(), raw.data.data(), raw.data.size());
    }
    return true;
  }

  bool validTensor(std::int32_t index) const {
    return index >= 0 && static_cast<std::size_t>(index) < raw_.size();
  }

  bool floatTensor(std::int32_t index) const {
    return validTensor(index) && raw_[static_cast<std::size_t>(index)].type == kFloat32;
  }

  // The values of a constant int32 tensor, such as a resize size or reduction axes.
  bool intConstant(std::int32_t index, std::vector<std::int32_t>& values) {
    if (!validTensor(index)) return fail("a parameter tensor index is out of range");
    const RawTensor& t = raw_[static_cast<std::size_t>(index)];
    if (t.type != kInt32 || t.data.empty() || t.shape.size() > 1) {
      return fail("a parameter tensor must be a constant int32 vector");
    }
    values.resize(t.data.size() / 4);
    std::memcpy(values.data(), t.data.data(), t.data.size());
    return true;
  }

  bool activation(std::int8_t code, Activation& out) {
    switch (code) {
      case kActNone:
        out = Activation::None;
        return true;
      case kActRelu:
        out = Activation::Relu;
        return true;
      case kActReluN1To1:
        out = Activation::ReluN1To1;
        return true;
      case kActRelu6:
        out = Activation::Relu6;
        return true;
      default:
        return fail("unsupported fused activation " + std::to_string(code));
    }
  }

  bool padding(std::int8_t code, Padding& out) {
    switch (code) {
      case kSame:
        out = Padding::Same;
        return true;
      case kValid:
        out = Padding::Valid;
        return true;
      default:
        return fail("unsupported padding " + std::to_string(code));
    }
  }

  bool positive(std::int32_t value, std::uint32_t& out, const char* what) {
    if (value < 1) return fail(std::string("bad ") + what + " " + std::to_string(value));
    out = static_cast<std::uint32_t>(value);
    return true;
  }

  // The builtin options table when present and of the expected type; absent options read as the
  // schema's defaults.
  bool options(const FlatTable& op, std::uint8_t expected, std::optional<FlatTable>& opts) {
    opts.reset();
    std::uint8_t type = 0;
    if (!fb_.scalar(op, kOperatorBuiltinOptionsType, std::uint8_t{0}, type)) return false;
    if (type == kOptionsNone) return true;
    if (type != expected) return fail("options of type " + std::to_string(type));
    return fb_.subTable(op, kOperatorBuiltinOptions, opts);
  }

  // The operator's code and tensor indices, checked for every operator of the file.
  bool readOperatorHeader(RawOperator& raw) {
    FlatVector inputs, outputs;
    if (!fb_.scalar(raw.table, kOperatorOpcodeIndex, std::uint32_t{0}, raw.codeIndex) ||
        !fb_.vector(raw.table, kOperatorInputs, 4, inputs) ||
        !fb_.vector(raw.table, kOperatorOutputs, 4, outputs)) {
      return false;
    }
    if (raw.codeIndex >= codes_.size()) return fail("operator code index out of range");
    if (inputs.length > kMaxOperatorTensors) return fail("too many inputs");
    if (outputs.length > kMaxOperatorTensors) return fail("too many outputs");
    for (std::uint32_t i = 0; i < inputs.length; ++i) {
      const std::int32_t index = fb_.element<std::int32_t>(inputs, i);
      if (index != kNoTensor && !validTensor(index)) return fail("input index out of range");
      raw.inputs.push_back(index);
    }
    for (std::uint32_t i = 0; i < outputs.length; ++i) {
      const std::int32_t index = fb_.element<std::int32_t>(outputs, i);
      if (!validTensor(index)) return fail("output index out of range");
      raw.outputs.push_back(index);
    }
    return true;
  }

  bool readOperator(const RawOperator& raw, std::uint32_t position, Graph& graph) {
    if (raw.outputs.size() != 1) return fail("exactly one output is supported");
    const FlatTable& op = raw.table;
    GraphOp g;
    g.sourceIndex = static_cast<std::int32_t>(position);
    g.inputs = raw.inputs;
    g.output = raw.outputs[0];

    const OperatorCode& code = codes_[raw.codeIndex];
    switch (code.builtin) {
      case kOpDequantize:
        return readDequantize(g, graph);
      case kOpConv2D:
        g.kind = OpKind::Conv2D;
        return readConvolution(op, g, kConv2DOptions, graph);
      case kOpDepthwiseConv2D:
        g.kind = OpKind::DepthwiseConv2D;
        return readConvolution(op, g, kDepthwiseConv2DOptions, graph);
      case kOpAveragePool2D:
        return readAveragePool(op, g, graph);
      case kOpMean:
        return readMean(op, g, graph);
      case kOpAdd:
        g.kind = OpKind::Add;
        return readBinary(op, g, kAddOptions, kAddFusedActivation, graph);
      case kOpMul:
        g.kind = OpKind::Mul;
        return readBinary(op, g, kMulOptions, kMulFusedActivation, graph);
      case kOpRelu:
        g.kind = OpKind::Relu;
        return emit(g, graph);
      case kOpHardSwish:
        g.kind = OpKind::HardSwish;
        return emit(g, graph);
      case kOpLogistic:
        g.kind = OpKind::Logistic;
        return emit(g, graph);
      case kOpResizeBilinear:
        return readResize(op, g, graph);
      case kOpPad:
        return readPad(op, g, graph);
      case kOpCustom:
        if (code.custom == kTransposeConvName) return readTransposeConv(op, g, graph);
        return fail("unsupported custom operator \"" + printable(code.custom) + "\"");
      default:
        return fail("unsupported operator " + std::to_string(code.builtin));
    }
  }

  // Every tensor an operator computes with must be float32; int32 parameters were taken out.
  bool emit(GraphOp& g, Graph& graph) {
    for (std::int32_t index : g.inputs) {
      if (index != kNoTensor && !floatTensor(index)) return fail("an input is not float32");
    }
    if (!floatTensor(g.output)) return fail("the output is not float32");
    graph.ops.push_back(std::move(g));
    return true;
  }

  bool readDequantize(const GraphOp& g, Graph& graph) {
    if (g.inputs.size() != 1 || g.inputs[0] == kNoTensor) return fail("DEQUANTIZE needs one input");
    const RawTensor& in = raw_[static_cast<std::size_t>(g.inputs[0])];
    if (in.type != kFloat16 || in.data.empty()) {
      return fail("only DEQUANTIZE of constant float16 weights is supported");
    }
    const std::size_t outIndex = static_cast<std::size_t>(g.output);
    GraphTensor& out = graph.tensors[outIndex];
    if (raw_[outIndex].type != kFloat32 || out.constant || out.shape != in.shape) {
      return fail("DEQUANTIZE output must be a new float32 tensor of the input's shape");
    }
    // Folded at load: the weights become fp32 constants and the operator disappears.
    out.constant = true;
    out.data.resize(in.data.size() / 2);
    for (std::size_t i = 0; i < out.data.size(); ++i) {
      std::uint16_t half = 0;
      std::memcpy(&half, in.data.data() + 2 * i, 2);
      out.data[i] = halfToFloat(half);
    }
    return true;
  }

  bool readConvolution(const FlatTable& op, GraphOp& g, std::uint8_t optionsType, Graph& graph) {
    std::optional<FlatTable> opts;
    if (!options(op, optionsType, opts)) return false;
    std::int8_t pad = 0, act = 0;
    std::int32_t strideW = 0, strideH = 0, dilationW = 1, dilationH = 1;
    if (opts) {
      const ConvolutionSlots& slots =
          optionsType == kDepthwiseConv2DOptions ? kDepthwiseConv2DSlots : kConv2DSlots;
      if (!fb_.scalar(*opts, slots.padding, std::int8_t{0}, pad) ||
          !fb_.scalar(*opts, slots.strideW, std::int32_t{0}, strideW) ||
          !fb_.scalar(*opts, slots.strideH, std::int32_t{0}, strideH) ||
          !fb_.scalar(*opts, slots.activation, std::int8_t{0}, act) ||
          !fb_.scalar(*opts, slots.dilationW, std::int32_t{1}, dilationW) ||
          !fb_.scalar(*opts, slots.dilationH, std::int32_t{1}, dilationH)) {
        return false;
      }
    }
    if (!padding(pad, g.padding) || !activation(act, g.activation) ||
        !positive(strideW, g.strideWidth, "stride") ||
        !positive(strideH, g.strideHeight, "stride") ||
        !positive(dilationW, g.dilationWidth, "dilation") ||
        !positive(dilationH, g.dilationHeight, "dilation")) {
      return false;
    }
    return emit(g, graph);
  }

  bool readTransposeConv(const FlatTable& op, GraphOp& g, Graph& graph) {
    g.kind = OpKind::TransposeConvBias;
    FlatVector blob;
    if (!fb_.vector(op, kOperatorCustomOptions, 1, blob)) return false;
    // Three little-endian int32: padding (1 SAME, 2 VALID), stride width, stride height.
    if (blob.length < 12) return fail("the custom options are shorter than 12 bytes");
    const std::int32_t pad = fb_.element<std::int32_t>(blob, 0);
    if (pad == 1) {
      g.padding = Padding::Same;
    } else if (pad == 2) {
      g.padding = Padding::Valid;
    } else {
      return fail("unsupported padding " + std::to_string(pad));
    }
    if (!positive(fb_.element<std::int32_t>(blob, 1), g.strideWidth, "stride") ||
        !positive(fb_.element<std::int32_t>(blob, 2), g.strideHeight, "stride")) {
      return false;
    }
    return emit(g, graph);
  }

  bool readAveragePool(const FlatTable& op, GraphOp& g, Graph& graph) {
    std::optional<FlatTable> opts;
    if (!options(op, kPool2DOptions, opts)) return false;
    std::int8_t pad = 0, act = 0;
    std::int32_t strideW = 0, strideH = 0, filterW = 0, filterH = 0;
    if (opts && (!fb_.scalar(*opts, kPool2DPadding, std::int8_t{0}, pad) ||
                 !fb_.scalar(*opts, kPool2DStrideW, std::int32_t{0}, strideW) ||
                 !fb_.scalar(*opts, kPool2DStrideH, std::int32_t{0}, strideH) ||
                 !fb_.scalar(*opts, kPool2DFilterWidth, std::int32_t{0}, filterW) ||
                 !fb_.scalar(*opts, kPool2DFilterHeight, std::int32_t{0}, filterH) ||
                 !fb_.scalar(*opts, kPool2DFusedActivation, std::int8_t{0}, act))) {
      return false;
    }
    Padding padMode = Padding::Valid;
    std::uint32_t sw = 0, sh = 0, fw = 0, fh = 0;
    if (!padding(pad, padMode) || !activation(act, g.activation) ||
        !positive(strideW, sw, "stride") || !positive(strideH, sh, "stride") ||
        !positive(filterW, fw, "filter size") || !positive(filterH, fh, "filter size")) {
      return false;
    }
    if (g.inputs.size() != 1 || g.inputs[0] == kNoTensor) return fail("needs one input");
    const std::vector<std::uint32_t>& shape = raw_[static_cast<std::size_t>(g.inputs[0])].shape;
    // Only the global form is supported: one window covering the whole image, no padding.
    if (shape.size() != 4 || fh != shape[1] || fw != shape[2] ||
        convOutputSize(shape[1], fh, sh, 1, padMode) != 1 ||
        convOutputSize(shape[2], fw, sw, 1, padMode) != 1) {
      return fail("only average pooling over the whole image is supported");
    }
    g.kind = OpKind::GlobalAveragePool;
    return emit(g, graph);
  }

  bool readMean(const FlatTable& op, GraphOp& g, Graph& graph) {
    std::optional<FlatTable> opts;
    std::uint8_t keepDims = 0;
    if (!options(op, kReducerOptions, opts)) return false;
    if (opts && !fb_.scalar(*opts, kReducerKeepDims, std::uint8_t{0}, keepDims)) return false;
    if (g.inputs.size() != 2 || g.inputs[0] == kNoTensor) return fail("MEAN needs two inputs");
    std::vector<std::int32_t> axes;
    if (!intConstant(g.inputs[1], axes)) return false;
    const std::vector<std::uint32_t>& shape = raw_[static_cast<std::size_t>(g.inputs[0])].shape;
    if (shape.size() != 4) return fail("MEAN needs a 4-dimensional input");
    for (std::int32_t& axis : axes) {
      if (axis < 0) axis += 4;
    }
    std::sort(axes.begin(), axes.end());
    // Only the global form is supported: the mean over height and width, dimensions kept.
    if (keepDims == 0 || axes != std::vector<std::int32_t>{1, 2}) {
      return fail("only MEAN over height and width with keep_dims is supported");
    }
    g.inputs.resize(1);
    g.kind = OpKind::GlobalAveragePool;
    return emit(g, graph);
  }

  bool readBinary(const FlatTable& op, GraphOp& g, std::uint8_t optionsType,
                  unsigned activationSlot, Graph& graph) {
    std::optional<FlatTable> opts;
    std::int8_t act = 0;
    if (!options(op, optionsType, opts)) return false;
    if (opts && !fb_.scalar(*opts, activationSlot, std::int8_t{0}, act)) return false;
    if (!activation(act, g.activation)) return false;
    return emit(g, graph);
  }

  bool readResize(const FlatTable& op, GraphOp& g, Graph& graph) {
    g.kind = OpKind::ResizeBilinear;
    std::optional<FlatTable> opts;
    std::uint8_t alignCorners = 0, halfPixel = 0;
    if (!options(op, kResizeBilinearOptions, opts)) return false;
    if (opts && (!fb_.scalar(*opts, kResizeBilinearAlignCorners, std::uint8_t{0}, alignCorners) ||
                 !fb_.scalar(*opts, kResizeBilinearHalfPixelCenters, std::uint8_t{0}, halfPixel))) {
      return false;
    }
    g.alignCorners = alignCorners != 0;
    g.halfPixelCenters = halfPixel != 0;
    if (g.inputs.size() != 2) return fail("RESIZE_BILINEAR needs two inputs");
    std::vector<std::int32_t> size;
    if (!intConstant(g.inputs[1], size)) return false;
    if (size.size() != 2) return fail("the size must hold two values");
    if (!positive(size[0], g.newHeight, "height") || !positive(size[1], g.newWidth, "width")) {
      return false;
    }
    g.inputs.resize(1);
    return emit(g, graph);
  }

  bool readPad(const FlatTable& op, GraphOp& g, Graph& graph) {
    g.kind = OpKind::Pad;
    std::optional<FlatTable> opts;
    if (!options(op, kPadOptions, opts)) return false;
    if (g.inputs.size() != 2 || g.inputs[0] == kNoTensor) return fail("PAD needs two inputs");
    const std::vector<std::uint32_t>& shape = raw_[static_cast<std::size_t>(g.inputs[0])].shape;
    if (shape.size() != 4) return fail("PAD needs a 4-dimensional input");
    // The paddings: int32 [rank, 2], the zeros before and after each dimension.
    if (!validTensor(g.inputs[1])) return fail("a parameter tensor index is out of range");
    const RawTensor& paddings = raw_[static_cast<std::size_t>(g.inputs[1])];
    if (paddings.type != kInt32 || paddings.data.empty() ||
        paddings.shape != std::vector<std::uint32_t>{4, 2}) {
      return fail("the paddings must be a constant int32 tensor of shape [4,2]");
    }
    for (std::size_t d = 0; d < 4; ++d) {
      std::int32_t before = 0, after = 0;
      std::memcpy(&before, paddings.data.data() + 8 * d, 4);
      std::memcpy(&after, paddings.data.data() + 8 * d + 4, 4);
      if (before < 0 || after < 0) return fail("negative padding");
      g.padBefore[d] = static_cast<std::uint32_t>(before);
      g.padAfter[d] = static_cast<std::uint32_t>(after);
    }
    g.inputs.resize(1);
    return emit(g, graph);
  }

  ReadError error_;  // before fb_, which records into it
  FlatBuffer fb_;
  std::string_view outputName_;
  std::vector<OperatorCode> codes_;
  std::vector<RawTensor> raw_;
};

}  // namespace

float halfToFloat(std::uint16_t half) {
  const std::uint32_t sign = (half >> 15) & 1u;
  const std::uint32_t exponent = (half >> 10) & 0x1fu;
  const std::uint32_t mantissa = half & 0x3ffu;
  float magnitude = 0.0f;
  if (exponent == 0) {
    magnitude = std::ldexp(static_cast<float>(mantissa), -24);
  } else if (exponent == 31) {
    magnitude = mantissa == 0 ? INFINITY : NAN;
  } else {
    magnitude = std::ldexp(static_cast<float>(mantissa | 0x400u), static_cast<int>(exponent) - 25);
  }
  return sign != 0 ? -magnitude : magnitude;
}

bool readTfliteModel(std::span<const std::uint8_t> model, Graph& graph, std::string& error,
                     std::string_view outputName) {
  Reader reader(model, outputName);
  if (!reader.read(graph)) {
    error = reader.error().empty() ? "the model is malformed" : reader.error();
    return false;
  }
  return true;
}

}  // namespace trelvo::matte
