#include "tflite_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

namespace trelvo::matte {

static_assert(std::endian::native == std::endian::little,
              "the flatbuffer reader reads little-endian values in place");

namespace {

// Operator codes and enum values of the TFLite schema that the engine knows.
enum BuiltinCode : std::int32_t {
  kAdd = 0,
  kAveragePool2D = 1,
  kConv2D = 3,
  kDepthwiseConv2D = 4,
  kDequantize = 6,
  kLogistic = 14,
  kMul = 18,
  kRelu = 19,
  kResizeBilinear = 23,
  kCustom = 32,
  kPad = 34,
  kMean = 40,
  kHardSwish = 117,
};

enum OptionsType : std::uint8_t {
  kOptionsNone = 0,
  kConv2DOptions = 1,
  kDepthwiseConv2DOptions = 2,
  kPool2DOptions = 5,
  kAddOptions = 11,
  kResizeBilinearOptions = 15,
  kMulOptions = 21,
  kPadOptions = 22,
  kReducerOptions = 27,
};

enum TensorType : std::int8_t { kFloat32 = 0, kFloat16 = 1, kInt32 = 2 };

constexpr const char kTransposeConvName[] = "Convolution2DTransposeBias";
constexpr std::uint32_t kSchemaVersion = 3;
constexpr std::size_t kMaxOperatorTensors = 8;
constexpr std::size_t kMaxNameShown = 64;

struct Table {
  std::size_t pos = 0;
  std::size_t vtable = 0;
  std::uint16_t vtableSize = 0;
  std::uint16_t tableSize = 0;
};

// A vector whose elements have been checked to lie inside the buffer.
struct Vec {
  std::size_t data = 0;
  std::uint32_t length = 0;
};

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
      : bytes_(bytes), outputName_(outputName) {}

  bool read(Graph& graph) {
    if (bytes_.size() > kMaxModelBytes) return fail("the model is larger than the limit");
    if (bytes_.size() < 8) return fail("the model is truncated");
    if (std::memcmp(bytes_.data() + 4, "TFL3", 4) != 0) return fail("not a TFLite model");
    std::uint32_t rootOffset = 0;
    Table model;
    if (!load(0, rootOffset) || !table(rootOffset, model)) return fail("bad root table");

    std::uint32_t version = 0;
    if (!scalar(model, 0, std::uint32_t{0}, version)) return false;
    if (version != kSchemaVersion)
      return fail("unsupported schema version " + std::to_string(version));

    Vec codes, subgraphs, buffers;
    if (!vector(model, 1, 4, codes) || !vector(model, 2, 4, subgraphs) ||
        !vector(model, 4, 4, buffers)) {
      return false;
    }
    if (subgraphs.length != 1) {
      return fail("the model has " + std::to_string(subgraphs.length) +
                  " subgraphs; exactly one is supported");
    }
    if (codes.length > kMaxOperators) return fail("too many operator codes");
    if (buffers.length > 2 * kMaxTensors + 1) return fail("too many buffers");
    if (!readOperatorCodes(codes)) return false;

    Table subgraph;
    if (!tableAt(subgraphs, 0, subgraph)) return false;
    Vec tensors, inputs, outputs, operators;
    if (!vector(subgraph, 0, 4, tensors) || !vector(subgraph, 1, 4, inputs) ||
        !vector(subgraph, 2, 4, outputs) || !vector(subgraph, 3, 4, operators)) {
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
      context_ = "tensor " + std::to_string(i) + ": ";
      if (!readTensor(tensors, buffers, i, out.tensors[i])) return false;
    }
    context_.clear();
    out.input = element<std::int32_t>(inputs, 0);
    if (!chooseOutput(tensors, outputs, out.output)) return false;
    if (!floatTensor(out.input) || !floatTensor(out.output)) {
      return fail("the model input and output must be float32 tensors");
    }

    std::vector<RawOperator> ops(operators.length);
    for (std::uint32_t i = 0; i < operators.length; ++i) {
      context_ = "operator " + std::to_string(i) + ": ";
      if (!tableAt(operators, i, ops[i].table) || !readOperatorHeader(ops[i])) return false;
    }
    context_.clear();
    // Only what the chosen output depends on is converted: a model with several heads may use
    // operators on the others that the engine does not support.
    const std::vector<bool> live = liveOperators(ops, out.output);
    if (!ops.empty() && std::find(live.begin(), live.end(), true) == live.end()) {
      return fail("the model output is not computed by any operator");
    }
    for (std::uint32_t i = 0; i < operators.length; ++i) {
      if (!live[i]) continue;
      context_ = "operator " + std::to_string(i) + ": ";
      if (!readOperator(ops[i], i, out)) return false;
    }
    context_.clear();

    std::string invalid;
    if (!validateGraph(out, invalid)) return fail(invalid);
    graph = std::move(out);
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  struct OperatorCode {
    std::int32_t builtin = 0;
    std::string custom;
  };

  // An operator's table and the tensors it reads and writes, before conversion.
  struct RawOperator {
    Table table;
    std::uint32_t codeIndex = 0;
    std::vector<std::int32_t> inputs;
    std::vector<std::int32_t> outputs;
  };

  // The output to compute: the only one, or the one whose tensor carries the requested name.
  bool chooseOutput(const Vec& tensors, const Vec& outputs, std::int32_t& chosen) {
    if (outputName_.empty()) {
      chosen = element<std::int32_t>(outputs, 0);
      return true;
    }
    for (std::uint32_t i = 0; i < outputs.length; ++i) {
      const std::int32_t index = element<std::int32_t>(outputs, i);
      if (!validTensor(index)) return fail("an output index is out of range");
      Table t;
      std::string name;
      if (!tableAt(tensors, static_cast<std::size_t>(index), t) || !string(t, 3, name)) {
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

  bool fail(const std::string& text) {
    if (error_.empty()) error_ = context_ + text;
    return false;
  }

  bool has(std::size_t pos, std::size_t length) const {
    return pos <= bytes_.size() && length <= bytes_.size() - pos;
  }

  template <typename T>
  bool load(std::size_t pos, T& value) const {
    if (!has(pos, sizeof(T))) return false;
    std::memcpy(&value, bytes_.data() + pos, sizeof(T));
    return true;
  }

  bool table(std::size_t pos, Table& t) {
    std::int32_t toVtable = 0;
    if (!load(pos, toVtable)) return fail("a table lies outside the model");
    const std::int64_t vtable = static_cast<std::int64_t>(pos) - toVtable;
    if (vtable < 0 || !has(static_cast<std::size_t>(vtable), 4)) {
      return fail("a vtable lies outside the model");
    }
    t.pos = pos;
    t.vtable = static_cast<std::size_t>(vtable);
    (void)load(t.vtable, t.vtableSize);
    (void)load(t.vtable + 2, t.tableSize);
    if (t.vtableSize < 4 || t.vtableSize % 2 != 0 || !has(t.vtable, t.vtableSize)) {
      return fail("a vtable has a bad size");
    }
    if (t.tableSize < 4 || !has(pos, t.tableSize)) return fail("a table has a bad size");
    return true;
  }

  // Position of field `id` of `size` bytes, or nothing when the field is absent.
  bool field(const Table& t, unsigned id, std::size_t size, std::optional<std::size_t>& pos) {
    pos.reset();
    const std::size_t slot = 4 + 2 * std::size_t{id};
    if (slot + 2 > t.vtableSize) return true;
    std::uint16_t offset = 0;
    (void)load(t.vtable + slot, offset);
    if (offset == 0) return true;
    if (offset < 4 || std::size_t{offset} + size > t.tableSize) {
      return fail("a field lies outside its table");
    }
    pos = t.pos + offset;
    return true;
  }

  template <typename T>
  bool scalar(const Table& t, unsigned id, T fallback, T& value) {
    std::optional<std::size_t> pos;
    if (!field(t, id, sizeof(T), pos)) return false;
    value = fallback;
    if (pos) (void)load(*pos, value);
    return true;
  }

  bool target(const Table& t, unsigned id, std::optional<std::size_t>& to) {
    std::optional<std::size_t> pos;
    to.reset();
    if (!field(t, id, 4, pos)) return false;
    if (!pos) return true;
    std::uint32_t offset = 0;
    (void)load(*pos, offset);
    if (offset == 0 || !has(*pos, offset)) return fail("an offset points outside the model");
    to = *pos + offset;
    return true;
  }

  bool vectorAt(std::size_t pos, std::size_t elementSize, Vec& v) {
    std::uint32_t length = 0;
    if (!load(pos, length)) return fail("a vector lies outside the model");
    if (!has(pos + 4, std::uint64_t{length} * elementSize)) {
      return fail("a vector is longer than the model");
    }
    v.data = pos + 4;
    v.length = length;
    return true;
  }

  // An absent vector reads as empty.
  bool vector(const Table& t, unsigned id, std::size_t elementSize, Vec& v) {
    v = Vec{};
    std::optional<std::size_t> to;
    if (!target(t, id, to)) return false;
    return !to || vectorAt(*to, elementSize, v);
  }

  bool string(const Table& t, unsigned id, std::string& s) {
    Vec v;
    if (!vector(t, id, 1, v)) return false;
    s.assign(reinterpret_cast<const char*>(bytes_.data() + v.data), v.length);
    return true;
  }

  bool subTable(const Table& t, unsigned id, std::optional<Table>& sub) {
    sub.reset();
    std::optional<std::size_t> to;
    if (!target(t, id, to)) return false;
    if (!to) return true;
    Table found;
    if (!table(*to, found)) return false;
    sub = found;
    return true;
  }

  bool tableAt(const Vec& v, std::size_t i, Table& t) {
    const std::size_t pos = v.data + 4 * i;
    std::uint32_t offset = 0;
    (void)load(pos, offset);
    if (offset == 0 || !has(pos, offset)) return fail("an offset points outside the model");
    return table(pos + offset, t);
  }

  template <typename T>
  T element(const Vec& v, std::size_t i) const {
    T value{};
    (void)load(v.data + sizeof(T) * i, value);
    return value;
  }

  bool readOperatorCodes(const Vec& codes) {
    codes_.resize(codes.length);
    for (std::uint32_t i = 0; i < codes.length; ++i) {
      context_ = "operator code " + std::to_string(i) + ": ";
      Table code;
      std::int8_t deprecated = 0;
      std::int32_t builtin = 0;
      if (!tableAt(codes, i, code) || !scalar(code, 0, std::int8_t{0}, deprecated) ||
          !string(code, 1, codes_[i].custom) || !scalar(code, 3, std::int32_t{0}, builtin)) {
        return false;
      }
      // Older files carry the code in the deprecated byte only; newer ones in both fields.
      codes_[i].builtin = std::max<std::int32_t>(deprecated, builtin);
    }
    context_.clear();
    return true;
  }

  bool readTensor(const Vec& tensors, const Vec& buffers, std::uint32_t i, GraphTensor& out) {
    Table t;
    Vec shape;
    std::int8_t type = 0;
    std::uint32_t bufferIndex = 0;
    if (!tableAt(tensors, i, t) || !vector(t, 0, 4, shape) || !scalar(t, 1, std::int8_t{0}, type) ||
        !scalar(t, 2, std::uint32_t{0}, bufferIndex)) {
      return false;
    }
    if (shape.length > kMaxRank) return fail("unsupported rank " + std::to_string(shape.length));
    RawTensor& raw = raw_[i];
    for (std::uint32_t d = 0; d < shape.length; ++d) {
      const std::int32_t dim = element<std::int32_t>(shape, d);
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
    Table buffer;
    Vec data;
    if (!tableAt(buffers, bufferIndex, buffer) || !vector(buffer, 0, 1, data)) return false;
    if (data.length != 0) {
      if (data.length != elements * elementSize) {
        return fail("the buffer holds " + std::to_string(data.length) + " bytes, not " +
                    std::to_string(elements * elementSize));
      }
      raw.data = bytes_.subspan(data.data, data.length);
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
      case 0:
        out = Activation::None;
        return true;
      case 1:
        out = Activation::Relu;
        return true;
      case 2:
        out = Activation::ReluN1To1;
        return true;
      case 3:
        out = Activation::Relu6;
        return true;
      default:
        return fail("unsupported fused activation " + std::to_string(code));
    }
  }

  bool padding(std::int8_t code, Padding& out) {
    switch (code) {
      case 0:
        out = Padding::Same;
        return true;
      case 1:
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
  bool options(const Table& op, std::uint8_t expected, std::optional<Table>& opts) {
    opts.reset();
    std::uint8_t type = 0;
    if (!scalar(op, 3, std::uint8_t{0}, type)) return false;
    if (type == kOptionsNone) return true;
    if (type != expected) return fail("options of type " + std::to_string(type));
    return subTable(op, 4, opts);
  }

  // The operator's code and tensor indices, checked for every operator of the file.
  bool readOperatorHeader(RawOperator& raw) {
    Vec inputs, outputs;
    if (!scalar(raw.table, 0, std::uint32_t{0}, raw.codeIndex) ||
        !vector(raw.table, 1, 4, inputs) || !vector(raw.table, 2, 4, outputs)) {
      return false;
    }
    if (raw.codeIndex >= codes_.size()) return fail("operator code index out of range");
    if (inputs.length > kMaxOperatorTensors) return fail("too many inputs");
    if (outputs.length > kMaxOperatorTensors) return fail("too many outputs");
    for (std::uint32_t i = 0; i < inputs.length; ++i) {
      const std::int32_t index = element<std::int32_t>(inputs, i);
      if (index != kNoTensor && !validTensor(index)) return fail("input index out of range");
      raw.inputs.push_back(index);
    }
    for (std::uint32_t i = 0; i < outputs.length; ++i) {
      const std::int32_t index = element<std::int32_t>(outputs, i);
      if (!validTensor(index)) return fail("output index out of range");
      raw.outputs.push_back(index);
    }
    return true;
  }

  bool readOperator(const RawOperator& raw, std::uint32_t position, Graph& graph) {
    if (raw.outputs.size() != 1) return fail("exactly one output is supported");
    const Table& op = raw.table;
    GraphOp g;
    g.sourceIndex = static_cast<std::int32_t>(position);
    g.inputs = raw.inputs;
    g.output = raw.outputs[0];

    const OperatorCode& code = codes_[raw.codeIndex];
    switch (code.builtin) {
      case kDequantize:
        return readDequantize(g, graph);
      case kConv2D:
        g.kind = OpKind::Conv2D;
        return readConvolution(op, g, kConv2DOptions, graph);
      case kDepthwiseConv2D:
        g.kind = OpKind::DepthwiseConv2D;
        return readConvolution(op, g, kDepthwiseConv2DOptions, graph);
      case kAveragePool2D:
        return readAveragePool(op, g, graph);
      case kMean:
        return readMean(op, g, graph);
      case kAdd:
        g.kind = OpKind::Add;
        return readBinary(op, g, kAddOptions, graph);
      case kMul:
        g.kind = OpKind::Mul;
        return readBinary(op, g, kMulOptions, graph);
      case kRelu:
        g.kind = OpKind::Relu;
        return emit(g, graph);
      case kHardSwish:
        g.kind = OpKind::HardSwish;
        return emit(g, graph);
      case kLogistic:
        g.kind = OpKind::Logistic;
        return emit(g, graph);
      case kResizeBilinear:
        return readResize(op, g, graph);
      case kPad:
        return readPad(op, g, graph);
      case kCustom:
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

  bool readConvolution(const Table& op, GraphOp& g, std::uint8_t optionsType, Graph& graph) {
    std::optional<Table> opts;
    if (!options(op, optionsType, opts)) return false;
    std::int8_t pad = 0, act = 0;
    std::int32_t strideW = 0, strideH = 0, dilationW = 1, dilationH = 1;
    if (opts) {
      const bool depthwise = optionsType == kDepthwiseConv2DOptions;
      // Depthwise options carry depth_multiplier at slot 3, which shifts the later fields.
      const unsigned shift = depthwise ? 1 : 0;
      if (!scalar(*opts, 0, std::int8_t{0}, pad) || !scalar(*opts, 1, std::int32_t{0}, strideW) ||
          !scalar(*opts, 2, std::int32_t{0}, strideH) ||
          !scalar(*opts, 3 + shift, std::int8_t{0}, act) ||
          !scalar(*opts, 4 + shift, std::int32_t{1}, dilationW) ||
          !scalar(*opts, 5 + shift, std::int32_t{1}, dilationH)) {
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

  bool readTransposeConv(const Table& op, GraphOp& g, Graph& graph) {
    g.kind = OpKind::TransposeConvBias;
    Vec blob;
    if (!vector(op, 5, 1, blob)) return false;
    // Three little-endian int32: padding (1 SAME, 2 VALID), stride width, stride height.
    if (blob.length < 12) return fail("the custom options are shorter than 12 bytes");
    const std::int32_t pad = element<std::int32_t>(blob, 0);
    if (pad == 1) {
      g.padding = Padding::Same;
    } else if (pad == 2) {
      g.padding = Padding::Valid;
    } else {
      return fail("unsupported padding " + std::to_string(pad));
    }
    if (!positive(element<std::int32_t>(blob, 1), g.strideWidth, "stride") ||
        !positive(element<std::int32_t>(blob, 2), g.strideHeight, "stride")) {
      return false;
    }
    return emit(g, graph);
  }

  bool readAveragePool(const Table& op, GraphOp& g, Graph& graph) {
    std::optional<Table> opts;
    if (!options(op, kPool2DOptions, opts)) return false;
    std::int8_t pad = 0, act = 0;
    std::int32_t strideW = 0, strideH = 0, filterW = 0, filterH = 0;
    if (opts &&
        (!scalar(*opts, 0, std::int8_t{0}, pad) || !scalar(*opts, 1, std::int32_t{0}, strideW) ||
         !scalar(*opts, 2, std::int32_t{0}, strideH) ||
         !scalar(*opts, 3, std::int32_t{0}, filterW) ||
         !scalar(*opts, 4, std::int32_t{0}, filterH) || !scalar(*opts, 5, std::int8_t{0}, act))) {
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

  bool readMean(const Table& op, GraphOp& g, Graph& graph) {
    std::optional<Table> opts;
    std::uint8_t keepDims = 0;
    if (!options(op, kReducerOptions, opts)) return false;
    if (opts && !scalar(*opts, 0, std::uint8_t{0}, keepDims)) return false;
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

  bool readBinary(const Table& op, GraphOp& g, std::uint8_t optionsType, Graph& graph) {
    std::optional<Table> opts;
    std::int8_t act = 0;
    if (!options(op, optionsType, opts)) return false;
    if (opts && !scalar(*opts, 0, std::int8_t{0}, act)) return false;
    if (!activation(act, g.activation)) return false;
    return emit(g, graph);
  }

  bool readResize(const Table& op, GraphOp& g, Graph& graph) {
    g.kind = OpKind::ResizeBilinear;
    std::optional<Table> opts;
    std::uint8_t alignCorners = 0, halfPixel = 0;
    if (!options(op, kResizeBilinearOptions, opts)) return false;
    if (opts && (!scalar(*opts, 2, std::uint8_t{0}, alignCorners) ||
                 !scalar(*opts, 3, std::uint8_t{0}, halfPixel))) {
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

  bool readPad(const Table& op, GraphOp& g, Graph& graph) {
    g.kind = OpKind::Pad;
    std::optional<Table> opts;
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

  std::span<const std::uint8_t> bytes_;
  std::string_view outputName_;
  std::string error_;
  std::string context_;
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
