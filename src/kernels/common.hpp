// Types and helpers shared by host code and device kernels. Plain C++: compiles with g++ and nvcc.
#pragma once

#include <cstdint>

#if defined(__CUDACC__)
#define VELMORIN_HD __host__ __device__ __forceinline__
#else
#define VELMORIN_HD inline
#endif

namespace velmorin {

// One record of a compiled algebra program: 12 bytes, no padding, stride 12.
struct Instruction {
  int32_t opcode;
  float value;    // constant for PushConst, 0 otherwise
  int32_t index;  // band slot for LoadBand, -1 otherwise
};
static_assert(sizeof(Instruction) == 12, "Instruction must be 12 bytes");

enum Opcode : int32_t {
  kAdd = 0,
  kSub = 1,
  kMul = 2,
  kDiv = 3,
  kLoadBand = 4,
  kPushConst = 5,
  kGreater = 6,
  kLess = 7,
  kGreaterEqual = 8,
  kLessEqual = 9,
  kEqual = 10,
  kNotEqual = 11,
  kAnd = 12,
  kOr = 13,
  kNot = 14,
  kSelect = 15,
  kInRange = 16,
  kClamp = 17,
  kMin = 18,
  kMax = 19,
  kNeg = 20,
  kSqrt = 21,
  kAbs = 22,
  kLog = 23,
  kExp = 24,
  kLog10 = 25,
  kPow = 26,
  kOpcodeCount = 27,
};

// Depth of the per-pixel evaluation stack; programs needing more are rejected by the compiler.
constexpr int kAlgebraStackDepth = 24;

// One output row of clip spans as the device reads it (8196 bytes).
constexpr int kMaxSpansPerRow = 1024;
struct GpuSpanRow {
  int32_t span_count;
  int32_t spans[kMaxSpansPerRow][2];  // first_col, last_col (inclusive)
};
static_assert(sizeof(GpuSpanRow) == 8196, "GpuSpanRow must be 8196 bytes");

}  // namespace velmorin
