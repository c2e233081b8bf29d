#include "model_graph.h"

#include <algorithm>
#include <string>

namespace trelvo::matte {

namespace {

std::string shapeText(const std::vector<std::uint32_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ",";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

class Validator {
 public:
  Validator(const Graph& graph, std::string& error) : graph_(graph), error_(error) {}

  bool run() {
    if (graph_.tensors.size() > kMaxTensors) return fail("too many tensors");
    if (graph_.ops.empty()) return fail("the model has no operators");
    if (graph_.ops.size() > kMaxOperators) return fail("too many operators");
    defined_.assign(graph_.tensors.size(), false);
    if (!validIndex(graph_.input) || !validIndex(graph_.output)) {
      return fail("the model input or output is not a tensor of the model");
    }
    const GraphTensor& input = graph_.tensors[static_cast<std::size_t>(graph_.input)];
    if (input.constant) return fail("the model input is a constant");
    if (!checkShape(input.shape, "the model input")) return false;
    if (input.shape.size() != 4) return fail("the model input is not a 4-dimensional image tensor");
    defined_[static_cast<std::size_t>(graph_.input)] = true;
    activationElements_ = elementCount(input.shape);

    for (std::size_t i = 0; i < graph_.ops.size(); ++i) {
      const GraphOp& op = graph_.ops[i];
      const std::size_t position =
          op.sourceIndex >= 0 ? static_cast<std::size_t>(op.sourceIndex) : i;
      context_ = "operator " + std::to_string(position) + " (" + opKindName(op.kind) + "): ";
      if (!checkOp(graph_.ops[i])) return false;
    }
    context_.clear();
    if (!defined_[static_cast<std::size_t>(graph_.output)] || graph_.output == graph_.input) {
      return fail("the model output is not computed by any operator");
    }
    return true;
  }

 private:
  bool fail(const std::string& text) {
    error_ = context_ + text;
    return false;
  }

  bool validIndex(std::int32_t index) const {
    return index >= 0 && static_cast<std::size_t>(index) < graph_.tensors.size();
  }

  bool checkShape(const std::vector<std::uint32_t>& shape, const std::string& what) {
    if (shape.empty() || shape.size() > kMaxRank) {
      return fail(what + " has an unsupported rank " + std::to_string(shape.size()));
    }
    for (std::uint32_t d : shape) {
      if (d == 0 || d > kMaxDimension)
        return fail(what + " has a bad dimension " + shapeText(shape));
    }
    if (elementCount(shape) == 0) return fail(what + " is too large " + shapeText(shape));
    return true;
  }

  // A tensor that an operator reads: a constant or a value computed before this operator.
  const GraphTensor* operand(const GraphOp& op, std::size_t slot, bool mayBeConstant,
                             bool mustBeConstant) {
    if (slot >= op.inputs.size() || !validIndex(op.inputs[slot])) {
      fail("input " + std::to_string(slot) + " is not a tensor of the model");
      return nullptr;
    }
    const std::size_t index = static_cast<std::size_t>(op.inputs[slot]);
    const GraphTensor& t = graph_.tensors[index];
    const std::string what = "input " + std::to_string(slot);
    if (!checkShape(t.shape, what)) return nullptr;
    if (t.constant) {
      if (!mayBeConstant) {
        fail(what + " must not be a constant");
        return nullptr;
      }
      if (t.data.size() != elementCount(t.shape)) {
        fail(what + " has " + std::to_string(t.data.size()) + " values for shape " +
             shapeText(t.shape));
        return nullptr;
      }
    } else {
      if (mustBeConstant) {
        fail(what + " must be a constant");
        return nullptr;
      }
      if (!defined_[index]) {
        fail(what + " is read before it is computed");
        return nullptr;
      }
    }
    return &t;
  }

  bool checkOutput(const GraphOp& op, const std::vector<std::uint32_t>& expected) {
    if (!validIndex(op.output)) return fail("the output is not a tensor of the model");
    const std::size_t index = static_cast<std::size_t>(op.output);
    const GraphTensor& t = graph_.tensors[index];
    if (t.constant) return fail("the output is a constant");
    if (defined_[index]) return fail("the output is computed twice");
    if (!checkShape(t.shape, "the output")) return false;
    if (t.shape != expected) {
      return fail("the output shape " + shapeText(t.shape) + " should be " + shapeText(expected));
    }
    activationElements_ += elementCount(t.shape);
    if (activationElements_ > kMaxActivationElements) {
      return fail("the intermediate tensors exceed the memory limit");
    }
    defined_[index] = true;
    return true;
  }

  bool checkWindow(const GraphOp& op) {
    if (op.strideHeight < 1 || op.strideWidth < 1 || op.strideHeight > kMaxStride ||
        op.strideWidth > kMaxStride) {
      return fail("unsupported stride " + std::to_string(op.strideHeight) + "x" +
                  std::to_string(op.strideWidth));
    }
    if (op.dilationHeight < 1 || op.dilationWidth < 1 || op.dilationHeight > kMaxStride ||
        op.dilationWidth > kMaxStride) {
      return fail("unsupported dilation");
    }
    return true;
  }

  bool checkInputCount(const GraphOp& op, std::size_t min, std::size_t max) {
    if (op.inputs.size() < min || op.inputs.size() > max) {
      return fail("has " + std::to_string(op.inputs.size()) + " inputs");
    }
    return true;
  }

  bool checkBias(const GraphOp& op, std::uint32_t channels, bool required) {
    if (op.inputs.size() < 3 || op.inputs[2] == kNoTensor) {
      return required ? fail("the bias is missing") : true;
    }
    const GraphTensor* bias = operand(op, 2, true, true);
    if (bias == nullptr) return false;
    if (bias->shape != std::vector<std::uint32_t>{channels}) {
      return fail("the bias shape " + shapeText(bias->shape) + " should be [" +
                  std::to_string(channels) + "]");
    }
    return true;
  }

  bool checkOp(const GraphOp& op) {
    switch (op.kind) {
      case OpKind::Conv2D:
      case OpKind::DepthwiseConv2D:
      case OpKind::TransposeConvBias:
        return checkConvolution(op);
      case OpKind::Add:
      case OpKind::Mul:
        return checkBinary(op);
      case OpKind::Relu:
      case OpKind::HardSwish:
      case OpKind::Logistic: {
        if (!checkInputCount(op, 1, 1)) return false;
        const GraphTensor* x = operand(op, 0, false, false);
        return x != nullptr && checkOutput(op, x->shape);
      }
      case OpKind::GlobalAveragePool: {
        if (!checkInputCount(op, 1, 1)) return false;
        const GraphTensor* x = operand(op, 0, false, false);
        if (x == nullptr) return false;
        if (x->shape.size() != 4) return fail("the input is not 4-dimensional");
        return checkOutput(op, {x->shape[0], 1, 1, x->shape[3]});
      }
      case OpKind::ResizeBilinear: {
        if (!checkInputCount(op, 1, 1)) return false;
        const GraphTensor* x = operand(op, 0, false, false);
        if (x == nullptr) return false;
        if (x->shape.size() != 4) return fail("the input is not 4-dimensional");
        if (op.newHeight < 1 || op.newWidth < 1 || op.newHeight > kMaxDimension ||
            op.newWidth > kMaxDimension) {
          return fail("unsupported output size");
        }
        if (op.alignCorners && op.halfPixelCenters) {
          return fail("align_corners and half_pixel_centers cannot both be set");
        }
        return checkOutput(op, {x->shape[0], op.newHeight, op.newWidth, x->shape[3]});
      }
      case OpKind::Pad: {
        if (!checkInputCount(op, 1, 1)) return false;
        const GraphTensor* x = operand(op, 0, false, false);
        if (x == nullptr) return false;
        if (x->shape.size() != 4) return fail("the input is not 4-dimensional");
        std::vector<std::uint32_t> out(4);
        for (std::size_t d = 0; d < 4; ++d) {
          if (op.padBefore[d] > kMaxPadding || op.padAfter[d] > kMaxPadding) {
            return fail("the padding is larger than the limit");
          }
          out[d] = x->shape[d] + op.padBefore[d] + op.padAfter[d];
        }
        return checkOutput(op, out);
      }
    }
    return fail("unknown operator kind");
  }

  bool checkConvolution(const GraphOp& op) {
    const bool transposed = op.kind == OpKind::TransposeConvBias;
    if (!checkInputCount(op, transposed ? 3 : 2, 3) || !checkWindow(op)) return false;
    const GraphTensor* x = operand(op, 0, false, false);
    if (x == nullptr) return false;
    const GraphTensor* w = operand(op, 1, true, true);
    if (w == nullptr) return false;
    if (x->shape.size() != 4) return fail("the input is not 4-dimensional");
    if (w->shape.size() != 4) return fail("the filter is not 4-dimensional");
    const std::uint32_t channels = x->shape[3];
    const std::uint32_t kh = w->shape[1];
    const std::uint32_t kw = w->shape[2];
    if (kh > kMaxKernel || kw > kMaxKernel) return fail("the filter is too large");
    std::uint32_t outChannels = 0;
    if (op.kind == OpKind::DepthwiseConv2D) {
      outChannels = w->shape[3];
      if (w->shape[0] != 1 || outChannels % channels != 0) {
        return fail("the filter shape " + shapeText(w->shape) + " does not fit " +
                    std::to_string(channels) + " input channels");
      }
    } else {
      outChannels = w->shape[0];
      if (w->shape[3] != channels) {
        return fail("the filter shape " + shapeText(w->shape) + " does not fit " +
                    std::to_string(channels) + " input channels");
      }
    }
    if (!checkBias(op, outChannels, transposed)) return false;

    std::uint32_t oh = 0;
    std::uint32_t ow = 0;
    if (transposed) {
      if (op.dilationHeight != 1 || op.dilationWidth != 1) return fail("dilation is not supported");
      // Computed in 64 bits: stride * (in - 1) + kernel can exceed 32 bits before the limit check.
      const std::uint64_t h = std::uint64_t{op.strideHeight} * (x->shape[1] - 1) + kh -
                              transposePaddingTotal(x->shape[1], kh, op.strideHeight, op.padding);
      const std::uint64_t wd = std::uint64_t{op.strideWidth} * (x->shape[2] - 1) + kw -
                               transposePaddingTotal(x->shape[2], kw, op.strideWidth, op.padding);
      if (h > kMaxDimension || wd > kMaxDimension) return fail("the output is too large");
      oh = static_cast<std::uint32_t>(h);
      ow = static_cast<std::uint32_t>(wd);
    } else {
      oh = convOutputSize(x->shape[1], kh, op.strideHeight, op.dilationHeight, op.padding);
      ow = convOutputSize(x->shape[2], kw, op.strideWidth, op.dilationWidth, op.padding);
      if (oh == 0 || ow == 0) return fail("the filter is larger than the padded input");
    }
    return checkOutput(op, {x->shape[0], oh, ow, outChannels});
  }

  bool checkBinary(const GraphOp& op) {
    if (!checkInputCount(op, 2, 2)) return false;
    const GraphTensor* a = operand(op, 0, true, false);
    if (a == nullptr) return false;
    const GraphTensor* b = operand(op, 1, true, false);
    if (b == nullptr) return false;
    if (a->constant && b->constant) return fail("both inputs are constants");
    const std::size_t rank = std::max(a->shape.size(), b->shape.size());
    std::vector<std::uint32_t> out(rank, 1);
    for (std::size_t i = 0; i < rank; ++i) {
      // Numpy broadcasting: shapes aligned at their last dimension.
      const std::uint32_t da =
          i < rank - a->shape.size() ? 1 : a->shape[i - (rank - a->shape.size())];
      const std::uint32_t db =
          i < rank - b->shape.size() ? 1 : b->shape[i - (rank - b->shape.size())];
      if (da != db && da != 1 && db != 1) {
        return fail("the input shapes " + shapeText(a->shape) + " and " + shapeText(b->shape) +
                    " do not broadcast");
      }
      out[i] = std::max(da, db);
    }
    return checkOutput(op, out);
  }

  const Graph& graph_;
  std::string& error_;
  std::string context_;
  std::vector<bool> defined_;
  std::size_t activationElements_ = 0;
};

}  // namespace

const char* opKindName(OpKind kind) {
  switch (kind) {
    case OpKind::Conv2D:
      return "CONV_2D";
    case OpKind::DepthwiseConv2D:
      return "DEPTHWISE_CONV_2D";
    case OpKind::TransposeConvBias:
      return "Convolution2DTransposeBias";
    case OpKind::Add:
      return "ADD";
    case OpKind::Mul:
      return "MUL";
    case OpKind::Relu:
      return "RELU";
    case OpKind::HardSwish:
      return "HARD_SWISH";
    case OpKind::Logistic:
      return "LOGISTIC";
    case OpKind::GlobalAveragePool:
      return "global average pooling";
    case OpKind::ResizeBilinear:
      return "RESIZE_BILINEAR";
    case OpKind::Pad:
      return "PAD";
  }
  return "unknown";
}

std::size_t elementCount(const std::vector<std::uint32_t>& shape) {
  std::size_t count = 1;
  for (std::uint32_t d : shape) {
    if (d == 0) return 0;
    if (count > kMaxTensorElements / d) return 0;
    count *= d;
  }
  return count;
}

std::uint32_t convOutputSize(std::uint32_t in, std::uint32_t kernel, std::uint32_t stride,
                             std::uint32_t dilation, Padding padding) {
  if (in == 0 || kernel == 0 || stride == 0 || dilation == 0) return 0;
  if (padding == Padding::Same) return (in + stride - 1) / stride;
  const std::uint64_t dilated = std::uint64_t{kernel - 1} * dilation + 1;
  if (dilated > in) return 0;
  return static_cast<std::uint32_t>((in - dilated) / stride + 1);
}

std::uint32_t samePaddingTotal(std::uint32_t in, std::uint32_t out, std::uint32_t kernel,
                               std::uint32_t stride, std::uint32_t dilation) {
  const std::int64_t total =
      std::int64_t{out - 1} * stride + std::int64_t{kernel - 1} * dilation + 1 - std::int64_t{in};
  return total > 0 ? static_cast<std::uint32_t>(total) : 0;
}

std::uint32_t transposePaddingTotal(std::uint32_t in, std::uint32_t kernel, std::uint32_t stride,
                                    Padding padding) {
  if (padding == Padding::Valid || stride == 0 || in == 0) return 0;
  const std::int64_t total = std::int64_t{kernel} - (in - 1) % stride - 1;
  return total > 0 ? static_cast<std::uint32_t>(total) : 0;
}

bool validateGraph(const Graph& graph, std::string& error) { return Validator(graph, error).run(); }

void appendLogistic(Graph& graph) {
  GraphTensor probability;
  probability.shape = graph.tensors[static_cast<std::size_t>(graph.output)].shape;
  graph.tensors.push_back(std::move(probability));
  const auto index = static_cast<std::int32_t>(graph.tensors.size() - 1);
  GraphOp logistic;
  logistic.kind = OpKind::Logistic;
  logistic.inputs = {graph.output};
  logistic.output = index;
  graph.ops.push_back(std::move(logistic));
  graph.output = index;
}

}  // namespace trelvo::matte
