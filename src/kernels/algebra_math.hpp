// Per-pixel stack machine of the algebra kernel, shared by the host and device backends.
#pragma once

#include "common.hpp"
#include "fast_math.hpp"

namespace velmorin::kernels {

// The divisor guard of Div: bit pattern 0x358637BD.
constexpr float kDivEpsilon = 1.0e-6f;

#if defined(__CUDA_ARCH__)
#define VELMORIN_LDG(p) __ldg(p)
#else
#define VELMORIN_LDG(p) (*(p))
#endif

// Stack entries popped by each opcode (0 for pushes and unknown codes).
VELMORIN_HD int opcode_arity(int32_t op) {
  switch (op) {
    case kLoadBand:
    case kPushConst:
      return 0;
    case kNot:
    case kNeg:
    case kSqrt:
    case kAbs:
    case kLog:
    case kExp:
    case kLog10:
      return 1;
    case kSelect:
    case kInRange:
    case kClamp:
      return 3;
    default:
      return (op >= 0 && op < kOpcodeCount) ? 2 : 0;
  }
}

VELMORIN_HD float apply_binary(int32_t op, float a, float b) {
  switch (op) {
    case kAdd:
      return a + b;
    case kSub:
      return a - b;
    case kMul:
      return a * b;
    case kDiv:
      return fast_div(a, b + kDivEpsilon);
    case kGreater:
      return a > b ? 1.0f : 0.0f;
    case kLess:
      return a < b ? 1.0f : 0.0f;
    case kGreaterEqual:
      return a >= b ? 1.0f : 0.0f;
    case kLessEqual:
      return a <= b ? 1.0f : 0.0f;
    case kEqual:
      return a == b ? 1.0f : 0.0f;
    case kNotEqual:
      return a == b ? 0.0f : 1.0f;
    case kAnd:
      return a * b;
    case kOr:
      return dev_max(a, b);
    case kMin:
      return dev_min(a, b);
    case kMax:
      return dev_max(a, b);
    case kPow:
      return fast_pow(a, b);
    default:
      return a;
  }
}

VELMORIN_HD float apply_unary(int32_t op, float b) {
  switch (op) {
    case kNot:
      return 1.0f - b;
    case kNeg:
      return -b;
    case kSqrt:
      return fast_sqrt(b);
    case kAbs:
      return fabsf(b);
    case kLog:
      return fast_log(b);
    case kExp:
      return fast_exp(b);
    case kLog10:
      return fast_log10(b);
    default:
      return b;
  }
}

// x is the deepest of the three entries, y the middle, z the top.
VELMORIN_HD float apply_ternary(int32_t op, float x, float y, float z) {
  switch (op) {
    case kSelect:
      return fmaf(y, x, z * (1.0f - x));  // t * c + f * (1 - c)
    case kInRange:
      return (x >= y && x <= z) ? 1.0f : 0.0f;
    case kClamp:
      return dev_max(y, dev_min(x, z));
    default:
      return x;
  }
}

// Evaluates the program for L adjacent pixels at once. `load(slot, lanes)` fills the L values
// of band slot `slot`. Writes the bottom stack entry (0 when the stack ends empty) to result.
// Programs are validated by the compiler; the bounds tests here only keep a malformed program
// from touching memory outside the stack.
template <int L, class Load>
VELMORIN_HD void run_program(const Instruction* program, int count, Load load, float* result) {
  float stack[kAlgebraStackDepth][L];
  int sp = 0;
  for (int k = 0; k < count; ++k) {
    const int32_t op = VELMORIN_LDG(&program[k].opcode);
    if (op == kLoadBand || op == kPushConst) {
      if (sp >= kAlgebraStackDepth) continue;
      if (op == kLoadBand) {
        load(VELMORIN_LDG(&program[k].index), stack[sp]);
      } else {
        const float v = VELMORIN_LDG(&program[k].value);
        for (int l = 0; l < L; ++l) stack[sp][l] = v;
      }
      ++sp;
      continue;
    }
    const int arity = opcode_arity(op);
    if (arity == 0 || sp < arity) continue;
    if (arity == 1) {
      for (int l = 0; l < L; ++l) stack[sp - 1][l] = apply_unary(op, stack[sp - 1][l]);
    } else if (arity == 2) {
      for (int l = 0; l < L; ++l)
        stack[sp - 2][l] = apply_binary(op, stack[sp - 2][l], stack[sp - 1][l]);
      sp -= 1;
    } else {
      for (int l = 0; l < L; ++l)
        stack[sp - 3][l] = apply_ternary(op, stack[sp - 3][l], stack[sp - 2][l], stack[sp - 1][l]);
      sp -= 2;
    }
  }
  for (int l = 0; l < L; ++l) result[l] = sp > 0 ? stack[0][l] : 0.0f;
}

// Clip mask factor of one pixel: 1 inside one of the row's spans, 0 outside.
VELMORIN_HD float mask_factor(const GpuSpanRow* row, int32_t col) {
  const int count = VELMORIN_LDG(&row->span_count);
  for (int s = 0; s < count; ++s) {
    if (VELMORIN_LDG(&row->spans[s][0]) <= col && col <= VELMORIN_LDG(&row->spans[s][1]))
      return 1.0f;
  }
  return 0.0f;
}

}  // namespace velmorin::kernels
