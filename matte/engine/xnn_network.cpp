#include "xnn_network.h"

#include <pthreadpool.h>
#include <xnnpack.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <thread>

namespace trelvo::matte {

namespace {

// XNNPACK kernels may read up to this many bytes past the end of a tensor.
constexpr std::size_t kPaddingFloats = (XNN_EXTRA_BYTES + sizeof(float) - 1) / sizeof(float);
constexpr std::uint32_t kInputId = 0;
constexpr std::uint32_t kOutputId = 1;

struct SubgraphDeleter {
  void operator()(xnn_subgraph* s) const { (void)xnn_delete_subgraph(s); }
};
struct RuntimeDeleter {
  void operator()(xnn_runtime* r) const { (void)xnn_delete_runtime(r); }
};

bool initializeOnce(std::string& error) {
  static std::once_flag once;
  static xnn_status status = xnn_status_uninitialized;
  std::call_once(once, [] { status = xnn_initialize(nullptr); });
  if (status != xnn_status_success) {
    error = "XNNPACK cannot be initialised on this processor (status " +
            std::to_string(static_cast<int>(status)) + ")";
    return false;
  }
  return true;
}

std::pair<float, float> clampRange(Activation activation) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  switch (activation) {
    case Activation::None:
      return {-kInf, kInf};
    case Activation::Relu:
      return {0.0f, kInf};
    case Activation::Relu6:
      return {0.0f, 6.0f};
    case Activation::ReluN1To1:
      return {-1.0f, 1.0f};
  }
  return {-kInf, kInf};
}

}  // namespace

struct XnnNetwork::Handles {
  std::unique_ptr<xnn_runtime, RuntimeDeleter> runtime;
};

XnnNetwork::~XnnNetwork() {
  // The runtime goes before the static data it may still point at.
  handles_.reset();
}

std::unique_ptr<XnnNetwork> XnnNetwork::create(const Graph& graph, std::size_t threads,
                                               std::string& error) {
  std::shared_ptr<ThreadPool> pool = ThreadPool::create(threads, error);
  if (!pool) return nullptr;
  return create(graph, std::move(pool), error);
}

std::unique_ptr<XnnNetwork> XnnNetwork::create(const Graph& graph, std::shared_ptr<ThreadPool> pool,
                                               std::string& error) {
  if (!validateGraph(graph, error) || !initializeOnce(error)) return nullptr;

  std::unique_ptr<XnnNetwork> net(new XnnNetwork());
  xnn_subgraph_t rawSubgraph = nullptr;
  if (xnn_create_subgraph(2, 0, &rawSubgraph) != xnn_status_success) {
    error = "XNNPACK cannot create a subgraph";
    return nullptr;
  }
  std::unique_ptr<xnn_subgraph, SubgraphDeleter> subgraph(rawSubgraph);

  // XNNPACK values for the tensors the operators touch, defined on first use.
  std::vector<std::uint32_t> ids(graph.tensors.size(), XNN_INVALID_VALUE_ID);
  auto value = [&](std::int32_t index, std::uint32_t& id) {
    if (index == kNoTensor) {
      id = XNN_INVALID_VALUE_ID;
      return true;
    }
    const std::size_t i = static_cast<std::size_t>(index);
    if (ids[i] != XNN_INVALID_VALUE_ID) {
      id = ids[i];
      return true;
    }
    const GraphTensor& t = graph.tensors[i];
    std::vector<std::size_t> dims(t.shape.begin(), t.shape.end());
    const void* data = nullptr;
    std::uint32_t externalId = XNN_INVALID_VALUE_ID;
    std::uint32_t flags = 0;
    if (t.constant) {
      std::vector<float> padded(t.data.size() + kPaddingFloats, 0.0f);
      std::copy(t.data.begin(), t.data.end(), padded.begin());
      net->constants_.push_back(std::move(padded));
      data = net->constants_.back().data();
    } else if (index == graph.input) {
      externalId = kInputId;
      flags = XNN_VALUE_FLAG_EXTERNAL_INPUT;
    } else if (index == graph.output) {
      externalId = kOutputId;
      flags = XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
    }
    if (xnn_define_tensor_value(subgraph.get(), xnn_datatype_fp32, dims.size(), dims.data(), data,
                                externalId, flags, &ids[i]) != xnn_status_success) {
      error = "XNNPACK refused tensor " + std::to_string(index);
      return false;
    }
    id = ids[i];
    return true;
  };

  // Operators whose results nothing reads are left out: XNNPACK gives an unread value no memory
  // and would then write through a null pointer.
  std::vector<bool> needed(graph.tensors.size(), false);
  std::vector<bool> live(graph.ops.size(), false);
  needed[static_cast<std::size_t>(graph.output)] = true;
  for (std::size_t n = graph.ops.size(); n-- > 0;) {
    const GraphOp& op = graph.ops[n];
    if (!needed[static_cast<std::size_t>(op.output)]) continue;
    live[n] = true;
    for (std::int32_t index : op.inputs) {
      if (index != kNoTensor) needed[static_cast<std::size_t>(index)] = true;
    }
  }

  for (std::size_t n = 0; n < graph.ops.size(); ++n) {
    if (!live[n]) continue;
    const GraphOp& op = graph.ops[n];
    std::uint32_t in[3] = {XNN_INVALID_VALUE_ID, XNN_INVALID_VALUE_ID, XNN_INVALID_VALUE_ID};
    std::uint32_t out = XNN_INVALID_VALUE_ID;
    for (std::size_t k = 0; k < op.inputs.size() && k < 3; ++k) {
      if (!value(op.inputs[k], in[k])) return nullptr;
    }
    if (!value(op.output, out)) return nullptr;
    const auto [outMin, outMax] = clampRange(op.activation);
    const GraphTensor& x = graph.tensors[static_cast<std::size_t>(op.inputs[0])];
    xnn_status status = xnn_status_success;
    switch (op.kind) {
      case OpKind::Conv2D:
      case OpKind::DepthwiseConv2D: {
        const GraphTensor& w = graph.tensors[static_cast<std::size_t>(op.inputs[1])];
        const GraphTensor& y = graph.tensors[static_cast<std::size_t>(op.output)];
        const std::uint32_t kh = w.shape[1];
        const std::uint32_t kw = w.shape[2];
        // TensorFlow's SAME: the odd pixel of padding goes after, never before.
        std::uint32_t padTop = 0, padBottom = 0, padLeft = 0, padRight = 0;
        if (op.padding == Padding::Same) {
          const std::uint32_t th =
              samePaddingTotal(x.shape[1], y.shape[1], kh, op.strideHeight, op.dilationHeight);
          const std::uint32_t tw =
              samePaddingTotal(x.shape[2], y.shape[2], kw, op.strideWidth, op.dilationWidth);
          padTop = th / 2;
          padBottom = th - padTop;
          padLeft = tw / 2;
          padRight = tw - padLeft;
        }
        if (op.kind == OpKind::Conv2D) {
          status = xnn_define_convolution_2d(
              subgraph.get(), padTop, padRight, padBottom, padLeft, kh, kw, op.strideHeight,
              op.strideWidth, op.dilationHeight, op.dilationWidth, 1, x.shape[3], w.shape[0],
              outMin, outMax, in[0], in[1], in[2], out, 0);
        } else {
          status = xnn_define_depthwise_convolution_2d(
              subgraph.get(), padTop, padRight, padBottom, padLeft, kh, kw, op.strideHeight,
              op.strideWidth, op.dilationHeight, op.dilationWidth, w.shape[3] / x.shape[3],
              x.shape[3], outMin, outMax, in[0], in[1], in[2], out, 0);
        }
        break;
      }
      case OpKind::TransposeConvBias: {
        const GraphTensor& w = graph.tensors[static_cast<std::size_t>(op.inputs[1])];
        const std::uint32_t kh = w.shape[1];
        const std::uint32_t kw = w.shape[2];
        // This XNNPACK ignores its SAME flag for deconvolution, so the padding is explicit.
        const std::uint32_t th = transposePaddingTotal(x.shape[1], kh, op.strideHeight, op.padding);
        const std::uint32_t tw = transposePaddingTotal(x.shape[2], kw, op.strideWidth, op.padding);
        status = xnn_define_deconvolution_2d(subgraph.get(), th / 2, tw - tw / 2, th - th / 2,
                                             tw / 2, 0, 0, kh, kw, op.strideHeight, op.strideWidth,
                                             1, 1, 1, x.shape[3], w.shape[0], outMin, outMax, in[0],
                                             in[1], in[2], out, 0);
        break;
      }
      case OpKind::Add:
        status = xnn_define_add2(subgraph.get(), outMin, outMax, in[0], in[1], out, 0);
        break;
      case OpKind::Mul:
        status = xnn_define_multiply2(subgraph.get(), outMin, outMax, in[0], in[1], out, 0);
        break;
      case OpKind::Relu:
        status = xnn_define_clamp(subgraph.get(), 0.0f, std::numeric_limits<float>::infinity(),
                                  in[0], out, 0);
        break;
      case OpKind::HardSwish:
        status = xnn_define_hardswish(subgraph.get(), in[0], out, 0);
        break;
      case OpKind::Logistic:
        status = xnn_define_sigmoid(subgraph.get(), in[0], out, 0);
        break;
      case OpKind::GlobalAveragePool:
        status =
            xnn_define_global_average_pooling_2d(subgraph.get(), outMin, outMax, in[0], out, 0);
        break;
      case OpKind::ResizeBilinear: {
        std::uint32_t flags = 0;
        if (op.alignCorners) {
          flags = XNN_FLAG_ALIGN_CORNERS;
        } else if (!op.halfPixelCenters) {
          flags = XNN_FLAG_TENSORFLOW_LEGACY_MODE;
        }
        status = xnn_define_static_resize_bilinear_2d(subgraph.get(), op.newHeight, op.newWidth,
                                                      in[0], out, flags);
        break;
      }
      case OpKind::Pad: {
        const std::size_t before[4] = {op.padBefore[0], op.padBefore[1], op.padBefore[2],
                                       op.padBefore[3]};
        const std::size_t after[4] = {op.padAfter[0], op.padAfter[1], op.padAfter[2],
                                      op.padAfter[3]};
        status = xnn_define_static_constant_pad(subgraph.get(), before, after, 0.0f, in[0], out, 0);
        break;
      }
    }
    if (status != xnn_status_success) {
      error = "XNNPACK refused operator " + std::to_string(n) + " (" + opKindName(op.kind) +
              ", status " + std::to_string(static_cast<int>(status)) + ")";
      return nullptr;
    }
  }

  net->pool_ = std::move(pool);
  net->handles_ = std::make_unique<Handles>();
  xnn_runtime_t rawRuntime = nullptr;
  // Between inferences the pool's workers go to sleep rather than spin, so the cores are free for
  // whatever else the program does meanwhile (decoding, writing files).
  const xnn_status created =
      xnn_create_runtime_v2(subgraph.get(), net->pool_->get(), XNN_FLAG_YIELD_WORKERS, &rawRuntime);
  if (created != xnn_status_success) {
    error = "XNNPACK cannot create the runtime (status " +
            std::to_string(static_cast<int>(created)) + ")";
    return nullptr;
  }
  net->handles_->runtime.reset(rawRuntime);

  const GraphTensor& input = graph.tensors[static_cast<std::size_t>(graph.input)];
  const GraphTensor& output = graph.tensors[static_cast<std::size_t>(graph.output)];
  net->inputShape_ = input.shape;
  net->outputShape_ = output.shape;
  net->inputSize_ = elementCount(input.shape);
  net->outputSize_ = elementCount(output.shape);
  net->input_.assign(net->inputSize_ + kPaddingFloats, 0.0f);
  net->output_.assign(net->outputSize_ + kPaddingFloats, 0.0f);
  // The input and output buffers never move, so the runtime is set up once.
  const xnn_external_value externals[2] = {{kInputId, net->input_.data()},
                                           {kOutputId, net->output_.data()}};
  if (xnn_setup_runtime(net->handles_->runtime.get(), 2, externals) != xnn_status_success) {
    error = "XNNPACK cannot set up the runtime";
    return nullptr;
  }
  return net;
}

bool XnnNetwork::run(std::string& error) {
  const xnn_status status = xnn_invoke_runtime(handles_->runtime.get());
  if (status != xnn_status_success) {
    error =
        "XNNPACK failed to run the model (status " + std::to_string(static_cast<int>(status)) + ")";
    return false;
  }
  return true;
}

}  // namespace trelvo::matte
