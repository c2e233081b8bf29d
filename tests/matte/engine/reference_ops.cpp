#include "reference_ops.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "model_graph.h"

namespace trelvo::matte::testing {

namespace {

float activate(float v, RefActivation a) {
  switch (a) {
    case RefActivation::None:
      return v;
    case RefActivation::Relu:
      return std::max(v, 0.0f);
    case RefActivation::Relu6:
      return std::min(std::max(v, 0.0f), 6.0f);
    case RefActivation::ReluN1To1:
      return std::min(std::max(v, -1.0f), 1.0f);
  }
  return v;
}

std::size_t at(const std::vector<std::uint32_t>& s, std::size_t n, std::size_t y, std::size_t x,
               std::size_t c) {
  return ((n * s[1] + y) * s[2] + x) * s[3] + c;
}

// Output size and padding before the first pixel, TensorFlow's rules.
void window(std::uint32_t in, std::uint32_t k, std::uint32_t stride, std::uint32_t dilation,
            RefPadding p, std::uint32_t& out, long& before) {
  const long dk = static_cast<long>((k - 1) * dilation + 1);
  if (p == RefPadding::Same) {
    out = (in + stride - 1) / stride;
    const long total =
        std::max(0L, static_cast<long>(out - 1) * stride + dk - static_cast<long>(in));
    before = total / 2;
  } else {
    out = static_cast<std::uint32_t>((static_cast<long>(in) - dk) / stride + 1);
    before = 0;
  }
}

RefTensor convolve(const RefTensor& x, const RefTensor& f, const std::vector<float>& bias,
                   const RefWindow& w, bool depthwise) {
  const std::uint32_t kh = f.shape[1], kw = f.shape[2];
  const std::uint32_t cin = x.shape[3];
  const std::uint32_t cout = depthwise ? f.shape[3] : f.shape[0];
  const std::uint32_t multiplier = depthwise ? cout / cin : 1;
  std::uint32_t oh = 0, ow = 0;
  long top = 0, left = 0;
  window(x.shape[1], kh, w.strideH, w.dilationH, w.padding, oh, top);
  window(x.shape[2], kw, w.strideW, w.dilationW, w.padding, ow, left);
  RefTensor y{{x.shape[0], oh, ow, cout}, {}};
  y.values.assign(std::size_t{x.shape[0]} * oh * ow * cout, 0.0f);
  for (std::uint32_t n = 0; n < x.shape[0]; ++n) {
    for (std::uint32_t oy = 0; oy < oh; ++oy) {
      for (std::uint32_t ox = 0; ox < ow; ++ox) {
        for (std::uint32_t o = 0; o < cout; ++o) {
          double sum = bias.empty() ? 0.0 : bias[o];
          for (std::uint32_t fy = 0; fy < kh; ++fy) {
            const long iy = static_cast<long>(oy * w.strideH + fy * w.dilationH) - top;
            if (iy < 0 || iy >= static_cast<long>(x.shape[1])) continue;
            for (std::uint32_t fx = 0; fx < kw; ++fx) {
              const long ix = static_cast<long>(ox * w.strideW + fx * w.dilationW) - left;
              if (ix < 0 || ix >= static_cast<long>(x.shape[2])) continue;
              if (depthwise) {
                const std::uint32_t c = o / multiplier;
                sum += double{x.values[at(x.shape, n, iy, ix, c)]} *
                       f.values[(std::size_t{fy} * kw + fx) * cout + o];
              } else {
                for (std::uint32_t c = 0; c < cin; ++c) {
                  sum += double{x.values[at(x.shape, n, iy, ix, c)]} *
                         f.values[((std::size_t{o} * kh + fy) * kw + fx) * cin + c];
                }
              }
            }
          }
          y.values[at(y.shape, n, oy, ox, o)] = activate(static_cast<float>(sum), w.activation);
        }
      }
    }
  }
  return y;
}

// Numpy broadcasting of two tensors of rank up to 4.
template <typename Fn>
RefTensor broadcast(const RefTensor& a, const RefTensor& b, Fn fn, RefActivation act) {
  const std::size_t rank = std::max(a.shape.size(), b.shape.size());
  auto padded = [rank](const std::vector<std::uint32_t>& s) {
    std::vector<std::uint32_t> p(rank - s.size(), 1);
    p.insert(p.end(), s.begin(), s.end());
    return p;
  };
  const auto sa = padded(a.shape), sb = padded(b.shape);
  RefTensor y;
  for (std::size_t i = 0; i < rank; ++i) y.shape.push_back(std::max(sa[i], sb[i]));
  std::size_t total = 1;
  for (auto d : y.shape) total *= d;
  y.values.resize(total);
  std::vector<std::uint32_t> index(rank, 0);
  for (std::size_t flat = 0; flat < total; ++flat) {
    std::size_t ia = 0, ib = 0;
    for (std::size_t d = 0; d < rank; ++d) {
      ia = ia * sa[d] + (sa[d] == 1 ? 0 : index[d]);
      ib = ib * sb[d] + (sb[d] == 1 ? 0 : index[d]);
    }
    y.values[flat] = activate(fn(a.values[ia], b.values[ib]), act);
    for (std::size_t d = rank; d-- > 0;) {
      if (++index[d] < y.shape[d]) break;
      index[d] = 0;
    }
  }
  return y;
}

template <typename Fn>
RefTensor map(const RefTensor& x, Fn fn) {
  RefTensor y = x;
  for (float& v : y.values) v = fn(v);
  return y;
}

}  // namespace

RefTensor refConv2D(const RefTensor& x, const RefTensor& filter, const std::vector<float>& bias,
                    const RefWindow& w) {
  return convolve(x, filter, bias, w, false);
}

RefTensor refDepthwiseConv2D(const RefTensor& x, const RefTensor& filter,
                             const std::vector<float>& bias, const RefWindow& w) {
  return convolve(x, filter, bias, w, true);
}

RefTensor refTransposeConv(const RefTensor& x, const RefTensor& filter,
                           const std::vector<float>& bias, RefPadding padding,
                           std::uint32_t strideH, std::uint32_t strideW) {
  const std::uint32_t cout = filter.shape[0], kh = filter.shape[1], kw = filter.shape[2];
  const std::uint32_t cin = x.shape[3];
  auto totalPad = [padding](std::uint32_t in, std::uint32_t k, std::uint32_t s) -> long {
    if (padding == RefPadding::Valid) return 0;
    return std::max(0L, static_cast<long>(k) - static_cast<long>((in - 1) % s) - 1);
  };
  const long padH = totalPad(x.shape[1], kh, strideH), padW = totalPad(x.shape[2], kw, strideW);
  const auto oh = static_cast<std::uint32_t>(strideH * (x.shape[1] - 1) + kh - padH);
  const auto ow = static_cast<std::uint32_t>(strideW * (x.shape[2] - 1) + kw - padW);
  RefTensor y{{x.shape[0], oh, ow, cout}, {}};
  y.values.resize(std::size_t{x.shape[0]} * oh * ow * cout);
  for (std::uint32_t n = 0; n < x.shape[0]; ++n) {
    for (std::uint32_t oy = 0; oy < oh; ++oy) {
      for (std::uint32_t ox = 0; ox < ow; ++ox) {
        for (std::uint32_t o = 0; o < cout; ++o) y.values[at(y.shape, n, oy, ox, o)] = bias[o];
      }
    }
    for (std::uint32_t iy = 0; iy < x.shape[1]; ++iy) {
      for (std::uint32_t ix = 0; ix < x.shape[2]; ++ix) {
        for (std::uint32_t fy = 0; fy < kh; ++fy) {
          const long oy = static_cast<long>(iy * strideH + fy) - padH / 2;
          if (oy < 0 || oy >= static_cast<long>(oh)) continue;
          for (std::uint32_t fx = 0; fx < kw; ++fx) {
            const long ox = static_cast<long>(ix * strideW + fx) - padW / 2;
            if (ox < 0 || ox >= static_cast<long>(ow)) continue;
            for (std::uint32_t o = 0; o < cout; ++o) {
              float sum = 0.0f;
              for (std::uint32_t c = 0; c < cin; ++c) {
                sum += x.values[at(x.shape, n, iy, ix, c)] *
                       filter.values[((std::size_t{o} * kh + fy) * kw + fx) * cin + c];
              }
              y.values[at(y.shape, n, oy, ox, o)] += sum;
            }
          }
        }
      }
    }
  }
  return y;
}

RefTensor refAdd(const RefTensor& a, const RefTensor& b, RefActivation activation) {
  return broadcast(
      a, b, [](float p, float q) { return p + q; }, activation);
}

RefTensor refMul(const RefTensor& a, const RefTensor& b, RefActivation activation) {
  return broadcast(
      a, b, [](float p, float q) { return p * q; }, activation);
}

RefTensor refRelu(const RefTensor& x) {
  return map(x, [](float v) { return std::max(v, 0.0f); });
}

RefTensor refHardSwish(const RefTensor& x) {
  return map(x, [](float v) { return v * std::min(std::max(v + 3.0f, 0.0f), 6.0f) / 6.0f; });
}

RefTensor refLogistic(const RefTensor& x) {
  return map(x, [](float v) { return static_cast<float>(1.0 / (1.0 + std::exp(-double{v}))); });
}

RefTensor refGlobalAveragePool(const RefTensor& x) {
  RefTensor y{{x.shape[0], 1, 1, x.shape[3]}, {}};
  y.values.assign(std::size_t{x.shape[0]} * x.shape[3], 0.0f);
  for (std::uint32_t n = 0; n < x.shape[0]; ++n) {
    for (std::uint32_t c = 0; c < x.shape[3]; ++c) {
      double sum = 0;
      for (std::uint32_t yy = 0; yy < x.shape[1]; ++yy) {
        for (std::uint32_t xx = 0; xx < x.shape[2]; ++xx)
          sum += x.values[at(x.shape, n, yy, xx, c)];
      }
      y.values[std::size_t{n} * x.shape[3] + c] =
          static_cast<float>(sum / (static_cast<double>(x.shape[1]) * x.shape[2]));
    }
  }
  return y;
}

RefTensor refResizeBilinear(const RefTensor& x, std::uint32_t newH, std::uint32_t newW,
                            bool alignCorners, bool halfPixelCenters) {
  auto source = [&](std::uint32_t out, std::uint32_t in, std::uint32_t i) {
    if (alignCorners) {
      return out > 1 ? double(i) * (in - 1) / (out - 1) : 0.0;
    }
    const double scale = double(in) / out;
    return halfPixelCenters ? (i + 0.5) * scale - 0.5 : i * scale;
  };
  RefTensor y{{x.shape[0], newH, newW, x.shape[3]}, {}};
  y.values.resize(std::size_t{x.shape[0]} * newH * newW * x.shape[3]);
  const long lastY = x.shape[1] - 1, lastX = x.shape[2] - 1;
  for (std::uint32_t n = 0; n < x.shape[0]; ++n) {
    for (std::uint32_t oy = 0; oy < newH; ++oy) {
      const double sy = source(newH, x.shape[1], oy);
      const long y0 = std::clamp(static_cast<long>(std::floor(sy)), 0L, lastY);
      const long y1 = std::clamp(static_cast<long>(std::ceil(sy)), 0L, lastY);
      const double fy = sy - std::floor(sy);
      for (std::uint32_t ox = 0; ox < newW; ++ox) {
        const double sx = source(newW, x.shape[2], ox);
        const long x0 = std::clamp(static_cast<long>(std::floor(sx)), 0L, lastX);
        const long x1 = std::clamp(static_cast<long>(std::ceil(sx)), 0L, lastX);
        const double fx = sx - std::floor(sx);
        for (std::uint32_t c = 0; c < x.shape[3]; ++c) {
          const double a = x.values[at(x.shape, n, y0, x0, c)];
          const double b = x.values[at(x.shape, n, y0, x1, c)];
          const double cc = x.values[at(x.shape, n, y1, x0, c)];
          const double d = x.values[at(x.shape, n, y1, x1, c)];
          const double top = a + (b - a) * fx, bottom = cc + (d - cc) * fx;
          y.values[at(y.shape, n, oy, ox, c)] = static_cast<float>(top + (bottom - top) * fy);
        }
      }
    }
  }
  return y;
}

RefTensor refPad(const RefTensor& x, const std::uint32_t before[4], const std::uint32_t after[4]) {
  RefTensor y;
  for (int d = 0; d < 4; ++d) y.shape.push_back(x.shape[d] + before[d] + after[d]);
  y.values.assign(std::size_t{y.shape[0]} * y.shape[1] * y.shape[2] * y.shape[3], 0.0f);
  for (std::uint32_t n = 0; n < x.shape[0]; ++n) {
    for (std::uint32_t h = 0; h < x.shape[1]; ++h) {
      for (std::uint32_t w = 0; w < x.shape[2]; ++w) {
        for (std::uint32_t c = 0; c < x.shape[3]; ++c) {
          y.values[at(y.shape, n + before[0], h + before[1], w + before[2], c + before[3])] =
              x.values[at(x.shape, n, h, w, c)];
        }
      }
    }
  }
  return y;
}

namespace {

RefPadding refPadding(Padding p) {
  return p == Padding::Same ? RefPadding::Same : RefPadding::Valid;
}

RefActivation refActivation(Activation a) {
  switch (a) {
    case Activation::None:
      return RefActivation::None;
    case Activation::Relu:
      return RefActivation::Relu;
    case Activation::Relu6:
      return RefActivation::Relu6;
    case Activation::ReluN1To1:
      return RefActivation::ReluN1To1;
  }
  return RefActivation::None;
}

}  // namespace

RefTensor runReference(const Graph& graph, const RefTensor& input) {
  std::vector<RefTensor> values(graph.tensors.size());
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    if (graph.tensors[i].constant) values[i] = {graph.tensors[i].shape, graph.tensors[i].data};
  }
  values[static_cast<std::size_t>(graph.input)] = input;
  auto operand = [&](const GraphOp& op, std::size_t slot) -> const RefTensor& {
    return values[static_cast<std::size_t>(op.inputs[slot])];
  };
  auto bias = [&](const GraphOp& op) {
    return op.inputs.size() > 2 && op.inputs[2] != kNoTensor ? operand(op, 2).values
                                                             : std::vector<float>{};
  };
  for (const GraphOp& op : graph.ops) {
    const RefWindow window{refPadding(op.padding), op.strideHeight,  op.strideWidth,
                           op.dilationHeight,      op.dilationWidth, refActivation(op.activation)};
    RefTensor& out = values[static_cast<std::size_t>(op.output)];
    switch (op.kind) {
      case OpKind::Conv2D:
        out = refConv2D(operand(op, 0), operand(op, 1), bias(op), window);
        break;
      case OpKind::DepthwiseConv2D:
        out = refDepthwiseConv2D(operand(op, 0), operand(op, 1), bias(op), window);
        break;
      case OpKind::TransposeConvBias:
        out = refTransposeConv(operand(op, 0), operand(op, 1), bias(op), window.padding,
                               op.strideHeight, op.strideWidth);
        break;
      case OpKind::Add:
        out = refAdd(operand(op, 0), operand(op, 1), window.activation);
        break;
      case OpKind::Mul:
        out = refMul(operand(op, 0), operand(op, 1), window.activation);
        break;
      case OpKind::Relu:
        out = refRelu(operand(op, 0));
        break;
      case OpKind::HardSwish:
        out = refHardSwish(operand(op, 0));
        break;
      case OpKind::Logistic:
        out = refLogistic(operand(op, 0));
        break;
      case OpKind::GlobalAveragePool:
        out = refGlobalAveragePool(operand(op, 0));
        break;
      case OpKind::ResizeBilinear:
        out = refResizeBilinear(operand(op, 0), op.newHeight, op.newWidth, op.alignCorners,
                                op.halfPixelCenters);
        break;
      case OpKind::Pad:
        out = refPad(operand(op, 0), op.padBefore.data(), op.padAfter.data());
        break;
    }
  }
  return values[static_cast<std::size_t>(graph.output)];
}

}  // namespace trelvo::matte::testing
