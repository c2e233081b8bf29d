// The parts of the TFLite flatbuffer schema the engine reads: enum values, and the field slots of
// each table as the schema numbers them (the schema's field name beside each). The model reader
// and the tests' model writer both take them from here, so the two cannot disagree.
#pragma once

#include <cstdint>

namespace trelvo::matte::tflite {

// enum BuiltinOperator (those the engine runs, and MAX_POOL_2D, which it refuses).
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

// union BuiltinOptions: the type tag of an operator's options table.
enum : std::uint8_t {
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

// enum TensorType (INT8 only to be refused).
enum : std::int8_t { kFloat32 = 0, kFloat16 = 1, kInt32 = 2, kInt8 = 9 };

// enum Padding.
enum : std::int8_t { kSame = 0, kValid = 1 };

// enum ActivationFunctionType (TANH only to be refused).
enum : std::int8_t { kActNone = 0, kActRelu = 1, kActReluN1To1 = 2, kActRelu6 = 3, kActTanh = 4 };

// The file identifier and the schema version the engine reads.
inline constexpr char kFileIdentifier[] = "TFL3";
inline constexpr std::uint32_t kSchemaVersion = 3;

// Field slots, table by table.

// table Model
enum : unsigned {
  kModelVersion = 0,        // version
  kModelOperatorCodes = 1,  // operator_codes
  kModelSubgraphs = 2,      // subgraphs
  kModelDescription = 3,    // description
  kModelBuffers = 4,        // buffers
};

// table OperatorCode
enum : unsigned {
  kOperatorCodeDeprecatedBuiltinCode = 0,  // deprecated_builtin_code
  kOperatorCodeCustomCode = 1,             // custom_code
  kOperatorCodeVersion = 2,                // version
  kOperatorCodeBuiltinCode = 3,            // builtin_code
};

// table SubGraph
enum : unsigned {
  kSubGraphTensors = 0,    // tensors
  kSubGraphInputs = 1,     // inputs
  kSubGraphOutputs = 2,    // outputs
  kSubGraphOperators = 3,  // operators
  kSubGraphName = 4,       // name
};

// table Tensor
enum : unsigned {
  kTensorShape = 0,   // shape
  kTensorType = 1,    // type
  kTensorBuffer = 2,  // buffer
  kTensorName = 3,    // name
};

// table Buffer
enum : unsigned {
  kBufferData = 0,  // data
};

// table Operator; the union builtin_options takes two slots, its type tag first.
enum : unsigned {
  kOperatorOpcodeIndex = 0,         // opcode_index
  kOperatorInputs = 1,              // inputs
  kOperatorOutputs = 2,             // outputs
  kOperatorBuiltinOptionsType = 3,  // builtin_options_type
  kOperatorBuiltinOptions = 4,      // builtin_options
  kOperatorCustomOptions = 5,       // custom_options
};

// table Conv2DOptions
enum : unsigned {
  kConv2DPadding = 0,          // padding
  kConv2DStrideW = 1,          // stride_w
  kConv2DStrideH = 2,          // stride_h
  kConv2DFusedActivation = 3,  // fused_activation_function
  kConv2DDilationWFactor = 4,  // dilation_w_factor
  kConv2DDilationHFactor = 5,  // dilation_h_factor
};

// table DepthwiseConv2DOptions: as Conv2DOptions, with depth_multiplier before the activation.
enum : unsigned {
  kDepthwiseConv2DPadding = 0,          // padding
  kDepthwiseConv2DStrideW = 1,          // stride_w
  kDepthwiseConv2DStrideH = 2,          // stride_h
  kDepthwiseConv2DDepthMultiplier = 3,  // depth_multiplier
  kDepthwiseConv2DFusedActivation = 4,  // fused_activation_function
  kDepthwiseConv2DDilationWFactor = 5,  // dilation_w_factor
  kDepthwiseConv2DDilationHFactor = 6,  // dilation_h_factor
};

// table Pool2DOptions
enum : unsigned {
  kPool2DPadding = 0,          // padding
  kPool2DStrideW = 1,          // stride_w
  kPool2DStrideH = 2,          // stride_h
  kPool2DFilterWidth = 3,      // filter_width
  kPool2DFilterHeight = 4,     // filter_height
  kPool2DFusedActivation = 5,  // fused_activation_function
};

// tables AddOptions and MulOptions
enum : unsigned {
  kAddFusedActivation = 0,  // AddOptions.fused_activation_function
  kMulFusedActivation = 0,  // MulOptions.fused_activation_function
};

// table ResizeBilinearOptions; slots 0 and 1 (new_height, new_width) are deprecated.
enum : unsigned {
  kResizeBilinearAlignCorners = 2,      // align_corners
  kResizeBilinearHalfPixelCenters = 3,  // half_pixel_centers
};

// table ReducerOptions
enum : unsigned {
  kReducerKeepDims = 0,  // keep_dims
};

}  // namespace trelvo::matte::tflite
